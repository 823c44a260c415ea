#include "platform/soundserver/EntryFade.h"

#include <cmath>
#include <numbers>

namespace {

// About -60 dBFS: what a sound that arrives whole starts with, from silence, stays below.
bool loud(float sample) {
  constexpr float kStep = 1.0F / 1024;
  return std::abs(sample) > kStep;
}

}  // namespace

EntryFade::EntryFade(std::uint32_t channels, std::size_t fadeFrames)
    : channels_(channels), fadeFrames_(fadeFrames) {}

void EntryFade::pass(std::span<float> samples, bool starts, bool young) {
  const std::size_t count = channels_.size();
  for (std::size_t channel = 0; channel < count; ++channel) {
    Channel& state = channels_[channel];
    // Past its entry, with no fade running, a channel has nothing to look for: most blocks.
    if (!starts && !state.faded && (state.sounded || !young)) continue;
    std::optional<std::size_t> first;  // the frame of this channel's first sound here
    for (std::size_t at = channel; at < samples.size(); at += count) {
      if (samples[at] != 0.0F) {
        first = at / count;
        break;
      }
    }
    // A new input's first blocks may be digital silence (a wave's zero crossing split off on
    // its own, a fragment of silence before a sound cut in): its first sound still enters.
    const bool entering = starts || (!state.sounded && young);
    if (first) state.sounded = true;
    if (entering && first && loud(samples[*first * count + channel])) state.faded = 0;
    if (state.faded) fade(state, samples, channel, entering && first ? *first : 0);
  }
}

void EntryFade::fade(Channel& state, std::span<float> samples, std::size_t channel,
                     std::size_t from) const {
  const std::size_t count = channels_.size();
  for (std::size_t at = from * count + channel; at < samples.size() && *state.faded < fadeFrames_;
       at += count) {
    // A raised cosine: no step in level or in slope.
    const double gain =
        0.5 - 0.5 * std::cos(std::numbers::pi * double(++*state.faded) / double(fadeFrames_ + 1));
    samples[at] *= static_cast<float>(gain);
  }
  if (*state.faded >= fadeFrames_) state.faded.reset();
}
