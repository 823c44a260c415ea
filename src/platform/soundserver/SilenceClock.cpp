#include "platform/soundserver/SilenceClock.h"

void SilenceClock::start(std::uint64_t now) {
  origin_ = now;
  lastAudio_ = now;
  handedOn_ = 0;
}

void SilenceClock::audioArrived(std::uint64_t frames, std::uint64_t now) {
  handedOn_ += frames;
  lastAudio_ = now;
}

std::uint64_t SilenceClock::takeSilenceDue(std::uint64_t now, bool nothingPlaying) {
  if (rule_.fragmentFrames == 0 || (!nothingPlaying && !stalled(now))) return 0;
  const std::uint64_t target = framesDueAt(now);
  if (target < handedOn_ + 2ULL * rule_.fragmentFrames) return 0;
  // One fragment short of the clock, for the latency resuming audio arrives with.
  const std::uint64_t missing = target - rule_.fragmentFrames - handedOn_;
  const std::uint64_t silence = missing - missing % rule_.fragmentFrames;
  handedOn_ += silence;
  return silence;
}

std::uint64_t SilenceClock::framesDueAt(std::uint64_t now) const {
  if (now <= origin_) return 0;
  // No overflow for a year of running at 48 kHz: 3.2e13 us * 48000 = 1.5e18 < 1.8e19.
  return (now - origin_) * rule_.rate / 1'000'000ULL;
}
