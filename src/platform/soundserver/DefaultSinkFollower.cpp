#include "platform/soundserver/DefaultSinkFollower.h"

#include <utility>

#include "platform/soundserver/PulseError.h"

DefaultSinkFollower::DefaultSinkFollower(const PulseLoop& loop, RetryRule::Policy findSink,
                                         Events events)
    : events_(std::move(events)),
      findSink_(loop, findSink, {.attempt = [this] { followDefault(); }, .giveUp = [] {}}) {}

void DefaultSinkFollower::attach(pa_context* context) {
  detach();
  context_ = context;
}

void DefaultSinkFollower::detach() {
  asked_.cancelAll();
  findSink_.end();
  target_.clear();
  found_ = PA_INVALID_INDEX;
  context_ = nullptr;
}

void DefaultSinkFollower::onEvent(pa_subscription_event_type_t facility,
                                  pa_subscription_event_type_t kind, std::uint32_t index) {
  if (context_ == nullptr) return;
  // A new default comes as a server change; a sink coming or going may be the one found,
  // or the first one after none. Sink changes (volume, suspension) say nothing about which.
  if (facility == PA_SUBSCRIPTION_EVENT_SINK && kind == PA_SUBSCRIPTION_EVENT_CHANGE) return;
  if (facility == PA_SUBSCRIPTION_EVENT_SINK && kind == PA_SUBSCRIPTION_EVENT_REMOVE &&
      index == found_) {
    // Gone even if a sink of the same name takes its place: that one is looked up afresh.
    forget();
  }
  if (facility == PA_SUBSCRIPTION_EVENT_SERVER || facility == PA_SUBSCRIPTION_EVENT_SINK) {
    followDefault();
  }
}

void DefaultSinkFollower::followDefault() {
  if (context_ == nullptr) return;
  ask(pa_context_get_server_info(context_, &DefaultSinkFollower::onServerInfo, this));
}

void DefaultSinkFollower::onServerInfo(pa_context* /*context*/, const pa_server_info* info,
                                       void* userdata) {
  auto& self = *static_cast<DefaultSinkFollower*>(userdata);
  if (info == nullptr) return self.events_.requestFailed();
  // No default: no sink at all. Silence goes on until one appears and is announced.
  if (info->default_sink_name == nullptr || *info->default_sink_name == '\0') return;
  // Answers come in the order asked, so an older answer never undoes a newer one.
  if (self.target_ == info->default_sink_name) return;
  self.lookUp(info->default_sink_name);
}

void DefaultSinkFollower::lookUp(const std::string& name) {
  if (found_ != PA_INVALID_INDEX) {
    forget();
  }
  target_ = name;
  ask(pa_context_get_sink_info_by_name(context_, name.c_str(), &DefaultSinkFollower::onSinkInfo,
                                       this));
}

void DefaultSinkFollower::onSinkInfo(pa_context* context, const pa_sink_info* info, int eol,
                                     void* userdata) {
  auto& self = *static_cast<DefaultSinkFollower*>(userdata);
  if (eol < 0) {
    // The sink went between being named and being looked up.
    if (self.found_ == PA_INVALID_INDEX) self.events_.notFound(contextError(context));
    return;
  }
  if (eol > 0 || info == nullptr || info->name == nullptr) return;
  // An answer for a sink no longer wanted, or one already found.
  if (self.target_ != info->name || self.found_ != PA_INVALID_INDEX) return;
  if (info->monitor_source_name == nullptr) {
    return self.events_.notFound(pulseError(PA_ERR_NOENTITY));
  }
  self.findSink_.end();
  self.found_ = info->index;
  self.events_.found();
}

void DefaultSinkFollower::retryLater() {
  forget();
  findSink_.failed();
}

void DefaultSinkFollower::forget() {
  target_.clear();
  found_ = PA_INVALID_INDEX;
}

void DefaultSinkFollower::ask(pa_operation* asked) {
  if (!asked_.add(asked)) events_.requestFailed();
}
