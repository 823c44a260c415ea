#include "platform/soundserver/ShareableContentQuery.h"

#include <pulse/rtclock.h>

#include <algorithm>
#include <utility>

#include "platform/soundserver/PulseError.h"

ShareableContentQuery::ShareableContentQuery(PulseLoop& loop, pa_usec_t timeout,
                                             SCShareableContent::CompletionHandler completion)
    : PulseOperation(loop),
      timeout_(timeout),
      connection_(loop),
      deadline_(loop, [this] { finish(nullptr, pulseError(PA_ERR_TIMEOUT)); }),
      completion_(std::move(completion)) {}

void ShareableContentQuery::begin() {
  // A server that accepts the connection but never answers must not hold the caller forever.
  deadline_.setAt(pa_rtclock_now() + timeout_);
  connection_.open({
      .ready =
          [this] {
            pa_operation* asked = pa_context_get_server_info(
                connection_.context(), &ShareableContentQuery::onServerInfo, this);
            if (asked == nullptr) return finish(nullptr, contextError(connection_.context()));
            pa_operation_unref(asked);
          },
      .ended = [this](NSErrorRef error) { finish(nullptr, std::move(error)); },
  });
}

void ShareableContentQuery::onServerInfo(pa_context* context, const pa_server_info* info,
                                         void* userdata) {
  auto& self = *static_cast<ShareableContentQuery*>(userdata);
  if (info == nullptr) return self.finish(nullptr, contextError(context));
  // A server without sinks has no default sink name.
  if (info->default_sink_name != nullptr) self.defaultSink_ = info->default_sink_name;
  self.askForSinks();
}

void ShareableContentQuery::askForSinks() {
  pa_operation* asked = pa_context_get_sink_info_list(connection_.context(),
                                                      &ShareableContentQuery::onSinkInfo, this);
  if (asked == nullptr) return finish(nullptr, contextError(connection_.context()));
  pa_operation_unref(asked);
}

void ShareableContentQuery::onSinkInfo(pa_context* context, const pa_sink_info* info, int eol,
                                       void* userdata) {
  auto& self = *static_cast<ShareableContentQuery*>(userdata);
  if (eol < 0) return self.finish(nullptr, contextError(context));
  if (eol > 0) {
    return self.finish(std::make_shared<const SCShareableContent>(self.displaysDefaultFirst()),
                       nullptr);
  }
  if (info != nullptr && info->name != nullptr) {
    self.sinks_.push_back(std::make_shared<const SCDisplay>(info->index, info->name));
  }
}

std::vector<SCDisplayRef> ShareableContentQuery::displaysDefaultFirst() const {
  std::vector<SCDisplayRef> displays = sinks_;
  const auto isDefault = [this](const SCDisplayRef& sink) { return sink->name() == defaultSink_; };
  std::stable_partition(displays.begin(), displays.end(), isDefault);
  return displays;
}

void ShareableContentQuery::finish(SCShareableContentRef content, NSErrorRef error) {
  if (!completion_) return;
  deadline_.clear();
  connection_.close();
  // The handler only fulfils a promise, so calling it under the loop's lock cannot deadlock;
  // and were it to call the service again, the service never waits for its own loop.
  std::exchange(completion_, nullptr)(std::move(content), std::move(error));
  retire();
}
