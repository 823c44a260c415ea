// The inputs of every sink, each recorded through its own InputStream, followed as the server
// reports them: an input that appears, moves between sinks, is corked or uncorked, or goes.
// An input's stream is opened as soon as the input is announced, before its details are
// known, so that a short sound (a notification) is recorded from its start; what the stream
// records is used only once the stream itself has confirmed where it is. An input that only
// carries on what another sink already played (ServerRoutes) is not recorded.
#pragma once

#include <pulse/introspect.h>
#include <pulse/subscribe.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "platform/foundation/NSError.h"
#include "platform/soundserver/InputStream.h"
#include "platform/soundserver/PulseConnection.h"
#include "platform/soundserver/PulseLoop.h"
#include "platform/soundserver/PulseRequests.h"
#include "platform/soundserver/ServerRoutes.h"

class SinkInputs {
 public:
  struct Events {
    // A block from `input`'s stream, or a hole (`data` null) as long as `bytes` of audio.
    std::function<void(std::uint32_t input, const void* data, std::size_t bytes)> audio;
    std::function<void()> caughtUp;                  // after the blocks of one read
    std::function<void(std::uint32_t input)> quiet;  // the input sends nothing for now
    // The input went; the rest of its audio may still come, until `until` (the setup's tail).
    std::function<void(std::uint32_t input, pa_usec_t until)> ending;
    std::function<void()> requestFailed;  // the server took no request
  };
  struct StreamSetup {
    pa_sample_spec sampleSpec;
    pa_usec_t fragment;
    pa_usec_t tail;  // how long the stream of an input that went is still read
  };

  SinkInputs(PulseLoop& loop, pa_context* context, const ServerRoutes& routes, StreamSetup setup,
             Events events);

  // Looks at every input there is, to record it or not; later ones come as events. Again when
  // the routes change: an input may have become a copy, or its sink known.
  void begin();
  // Asks again where every input is. PipeWire's pulse server sends no event when an input is
  // moved to another sink, and the stream attached to it follows it there.
  void recheck();
  // A sink-input event of the server's subscription.
  void onEvent(pa_subscription_event_type_t kind, std::uint32_t input);
  // Whether any input of the sink may be sending: one not corked, or not yet known.
  bool anyPlaying() const;
  // Hands on what every stream's library queue holds.
  void readAvailable();
  // Drops the streams of inputs that went whose tail is up at `now`.
  void dropGone(pa_usec_t now);

 private:
  struct Input {
    std::unique_ptr<InputStream> stream;
    bool known = false;  // its details have come
    bool corked = false;
    std::optional<pa_usec_t> readUntil;  // it went: its stream is read until then
  };

  static void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata);
  static void onInputInfo(pa_context* context, const pa_sink_input_info* info, int eol,
                          void* userdata);
  void ask(pa_operation* asked);
  void inputSeen(const pa_sink_input_info& info);
  bool isCopy(const pa_sink_input_info& info) const;
  void follow(const pa_sink_input_info& info, std::uint32_t monitor);
  void record(std::uint32_t input);
  void prepareSpare();
  void gone(std::uint32_t input);
  void drop(std::uint32_t input);
  void streamFailed(std::uint32_t input);

  PulseLoop& loop_;
  pa_context* context_;
  const ServerRoutes& routes_;
  StreamSetup setup_;
  Events events_;
  std::map<std::uint32_t, Input> inputs_;
  bool serverAsked_ = false;
  // Each stream on a connection of its own (see InputStream), on PipeWire's pulse server.
  bool ownConnections_ = false;
  // There, a connection kept ready for the next input's recording: connecting takes longer
  // than a block of a new sound.
  std::unique_ptr<PulseConnection> spare_;
  PulseRequests asked_;  // last: cancelled before the streams go
};
