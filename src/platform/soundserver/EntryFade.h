// The fade-in of one input's sound where it enters the mix in its middle, channel by channel.
//
// A sound whose start went before the server linked its recording, or that was moved to the
// present, would begin with a step: a click across the spectrum. Each channel is faded in from
// its own first sound, as a player fades a sound in, since a server may start a new
// recording's channels apart (PipeWire 1.4 now and then hands over one channel a graph cycle
// before the other: faded together, the late one would still step in). A sound that arrives
// whole, from silence, starts below the step and is left as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

class EntryFade {
 public:
  EntryFade(std::uint32_t channels, std::size_t fadeFrames);

  // Fades `samples` (interleaved, whole frames) in where they enter. `starts`: they begin at
  // the present, not where the input's last audio ended. `young`: the input is still within
  // its first wait, where a channel's first sound enters however much silence came first.
  void pass(std::span<float> samples, bool starts, bool young);

 private:
  struct Channel {
    bool sounded = false;              // it has delivered more than digital silence
    std::optional<std::size_t> faded;  // frames faded in so far, while a fade-in runs
  };

  // Fades channel `channel` of `samples` from frame `from` on, as far as its fade still runs.
  void fade(Channel& state, std::span<float> samples, std::size_t channel, std::size_t from) const;

  std::vector<Channel> channels_;
  std::size_t fadeFrames_;
};
