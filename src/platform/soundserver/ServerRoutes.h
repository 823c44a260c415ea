// What the server says of its sinks and of the recordings its modules make, kept up to date
// from its events: each sink's monitor, and which streams are copies (PlaybackCopies).
// Recordings that belong to a client (an application's, this program's own) are asked about
// once and forgotten: they never make a copy.
#pragma once

#include <pulse/introspect.h>
#include <pulse/subscribe.h>

#include <functional>

#include "platform/soundserver/PlaybackCopies.h"
#include "platform/soundserver/PulseRequests.h"

class ServerRoutes {
 public:
  struct Events {
    std::function<void()> changed;        // a sink or a module's recording came or went
    std::function<void()> requestFailed;  // the server took no request
  };

  ServerRoutes(pa_context* context, Events events);

  // Lists the sinks and recordings there are; later ones come as events.
  void begin();
  // A sink or source-output event of the server's subscription.
  void onEvent(pa_subscription_event_type_t facility, pa_subscription_event_type_t kind,
               std::uint32_t index);

  const PlaybackCopies& copies() const { return copies_; }
  // Who made a stream, from the fields the server reports for it.
  static PlaybackCopies::Owner ownerOf(std::uint32_t module, const pa_proplist* properties);

 private:
  static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* userdata);
  static void onRecordingInfo(pa_context* context, const pa_source_output_info* info, int eol,
                              void* userdata);
  void ask(pa_operation* asked);
  void changedIf(bool changed);

  pa_context* context_;
  Events events_;
  PlaybackCopies copies_;
  PulseRequests asked_;
};
