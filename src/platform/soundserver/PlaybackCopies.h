// Which streams of the server's sinks only carry on audio the server has already rendered into
// another sink, and so must not be recorded a second time: a loopback of a sink's monitor, the
// stream a remapping, equaliser or echo-cancelling sink plays into its master, a combined sink's
// streams into its slaves, PipeWire's filter-chain and loopback nodes.
//
// Such a stream belongs to no client: a module of the server made it. PulseAudio names that
// module as its owner, and the same module owns the sink it renders, or the recording of a sink's
// monitor it plays on; PipeWire's pulse server ties a filter's two sides by `node.link-group`
// instead (its echo canceller names no owner at all). So a stream without a client whose owner
// also owns a sink, or a recording of a monitor, is a copy. A loopback of a real source (a
// microphone played to the speakers, a network receiver) records no monitor: what it plays is
// heard, and it is recorded like any application's stream.
//
// Pure: fed with what the server reports, answers from that alone.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

class PlaybackCopies {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;  // the server's invalid index

  // Who made a stream or a sink: the owner module, the link group, either may be unknown.
  struct Owner {
    std::uint32_t module = kNone;
    std::string linkGroup;
    bool sameAs(const Owner& other) const;
  };
  struct Input {
    std::uint32_t client = kNone;
    Owner owner;
  };

  // Each answers whether what a copy is changed: the inputs are then judged again.
  bool sinkSeen(std::uint32_t sink, const Owner& owner, std::uint32_t monitorSource);
  bool sinkGone(std::uint32_t sink);
  // A recording made by a module (one without a client); others never make copies. PipeWire
  // links a recording to its source some cycles after announcing it, and tells no client when:
  // one that says it records a sink (`stream.capture.sink`) records its monitor.
  bool recordingSeen(std::uint32_t recording, const Owner& owner, std::uint32_t source,
                     bool recordsASink);
  bool recordingGone(std::uint32_t recording);

  bool isCopy(const Input& input) const;
  // The monitor source of `sink`, once the sink is known.
  std::optional<std::uint32_t> monitorOf(std::uint32_t sink) const;

 private:
  struct Sink {
    Owner owner;
    std::uint32_t monitorSource;
  };
  struct Recording {
    Owner owner;
    std::uint32_t source;
    bool recordsASink;
  };

  bool isMonitor(std::uint32_t source) const;

  std::map<std::uint32_t, Sink> sinks_;
  std::map<std::uint32_t, Recording> recordings_;
};
