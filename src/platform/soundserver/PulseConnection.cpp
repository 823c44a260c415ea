#include "platform/soundserver/PulseConnection.h"

#include <pulse/proplist.h>

#include <utility>

#include "platform/soundserver/PulseError.h"

namespace {

constexpr const char* kApplicationName = "sysaudio";

// What mixers (pavucontrol, pw-top, `pactl list source-outputs`) show for the recording: the
// server copies these onto every stream of the connection. No media.role on purpose: some
// roles make the server change the audio ("phone" brings in echo cancellation).
pa_context* newContext(const PulseLoop& loop) {
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, kApplicationName);
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "sysaudio");
  pa_proplist_sets(properties, PA_PROP_APPLICATION_VERSION, SYSAUDIO_VERSION);
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, "audio-card");
  pa_context* context = pa_context_new_with_proplist(loop.api(), kApplicationName, properties);
  pa_proplist_free(properties);
  return context;
}

}  // namespace

PulseConnection::PulseConnection(const PulseLoop& loop) : context_(newContext(loop)) {}

PulseConnection::~PulseConnection() {
  close();
  if (context_ != nullptr) pa_context_unref(context_);
}

void PulseConnection::open(Events events) {
  events_ = std::move(events);
  if (context_ == nullptr) return end(pulseError(PA_ERR_INTERNAL));
  pa_context_set_state_callback(context_, &PulseConnection::onStateChange, this);
  // No NOFAIL: a missing server is an answer to report, not something to wait for.
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0) {
    end(contextError(context_));
  }
}

void PulseConnection::close() {
  events_ = {};
  if (context_ == nullptr) return;
  pa_context_set_state_callback(context_, nullptr, nullptr);
  if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) pa_context_disconnect(context_);
}

bool PulseConnection::ready() const {
  return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

void PulseConnection::onStateChange(pa_context* context, void* userdata) {
  auto& self = *static_cast<PulseConnection*>(userdata);
  switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
      if (auto ready = std::exchange(self.events_.ready, nullptr)) ready();
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      self.end(contextError(context));
      break;
    default:
      break;
  }
}

void PulseConnection::end(NSErrorRef error) {
  events_.ready = nullptr;
  // Moved out first: the handler may close or drop this connection.
  if (auto ended = std::exchange(events_.ended, nullptr)) ended(std::move(error));
}
