// Which sink is the server's default output, as it changes: asked at the start and again
// whenever the server, or its set of sinks, changes. The display the program picked stands
// for the default output by role (the service lists the default sink first and the program
// takes the first display): the capture starts once that sink is found, and a server that has
// no sink at all is one with nothing to record until a default appears.
#pragma once

#include <pulse/introspect.h>
#include <pulse/subscribe.h>

#include <functional>
#include <string>

#include "platform/foundation/NSError.h"
#include "platform/soundserver/PulseLoop.h"
#include "platform/soundserver/PulseRequests.h"
#include "platform/soundserver/PulseRetry.h"

class DefaultSinkFollower {
 public:
  struct Events {
    std::function<void()> found;  // the default, at last or anew
    // The sink named could not be looked up (it went meanwhile, or has no monitor).
    std::function<void(NSErrorRef)> notFound;
    std::function<void()> requestFailed;  // the server took no request
  };

  DefaultSinkFollower(const PulseLoop& loop, RetryRule::Policy findSink, Events events);

  // Asks through `context` from now on; answers to earlier requests are dropped.
  void attach(pa_context* context);
  void detach();

  // Looks up the sink `name`.
  void lookUp(const std::string& name);
  // Asks the server which sink is the default, and looks it up if it is not found already.
  void followDefault();
  // Looks for the default again after a pause, and after longer pauses while that goes on.
  void retryLater();
  // A server or sink event of the subscription.
  void onEvent(pa_subscription_event_type_t facility, pa_subscription_event_type_t kind,
               std::uint32_t index);

 private:
  static void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata);
  static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* userdata);
  void ask(pa_operation* asked);
  void forget();

  pa_context* context_ = nullptr;
  Events events_;
  PulseRetry findSink_;
  PulseRequests asked_;
  // The default sink found or being looked up; empty while there is none.
  std::string target_;
  std::uint32_t found_ = PA_INVALID_INDEX;
};
