// What a recording hands on, decided with the time passed in: the audio of the sink's inputs
// summed (InputMix), kept level with the wall clock by silence (SilenceClock). The connection's
// side (EveryOutputRecording) feeds it what the server sends, looks in on it from a timer, and
// delivers what it answers.
//
// Pure: times are microseconds on a monotonic clock, passed in by the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/soundserver/InputMix.h"
#include "platform/soundserver/RecordingTiming.h"
#include "platform/soundserver/SilenceClock.h"

class RecordingOutput {
 public:
  // What a look at the clock decided.
  struct Tick {
    std::uint64_t silenceFrames;  // to hand on now, in fragments
    std::uint64_t nextLookIn;     // microseconds until the next look
  };

  RecordingOutput(std::uint32_t rate, std::uint32_t channels, const RecordingTiming& timing);

  // The clock starts at `now`.
  void start(std::uint64_t now);
  // Where the inputs' audio goes (add, addSilence, quiet).
  InputMix& inputs() { return mix_; }
  const InputMix& inputs() const { return mix_; }

  // The mixed audio due at `now`, less what the clock says was filled with silence already.
  // Valid until the next call.
  std::span<const float> mix(std::uint64_t now);
  // Everything the inputs delivered, whatever is still awaited: the sink is no longer recorded.
  std::span<const float> flush(std::uint64_t now);
  // A look at `now`. `idle`: nothing plays into the sink, so no audio is on its way and the
  // silence it would have sent goes out at once. `serverAway`: the server is being reached again.
  Tick look(std::uint64_t now, bool idle, bool serverAway);

  std::uint32_t fragmentFrames() const { return fragmentFrames_; }

 private:
  std::span<const float> handOn(std::size_t frames, std::uint64_t now);

  std::uint32_t channels_;
  std::uint32_t fragmentFrames_;
  std::uint64_t fragmentMicros_;
  std::uint64_t lookEvery_;
  SilenceClock clock_;
  InputMix mix_;
  std::vector<float> mixed_;  // reused for each piece
  bool stallSeen_ = false;
};
