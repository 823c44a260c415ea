#include "platform/soundserver/SilenceClock.h"

#include <algorithm>

void SilenceClock::start(std::uint64_t now) {
  origin_ = now;
  lastAudio_ = now;
  handedOn_ = 0;
  lastSilence_ = now;
  silenceToOverlap_ = 0;
}

std::uint64_t SilenceClock::audioArrived(std::uint64_t frames, std::uint64_t now) {
  lastAudio_ = now;
  // What a server held still hands over comes at once as it goes on; audio later than a stall
  // after the last silence is for time after it.
  if (now >= lastSilence_ + rule_.stallAfterMicros) silenceToOverlap_ = 0;
  const std::uint64_t due = framesDueAt(now);
  const std::uint64_t ahead = handedOn_ + frames > due ? handedOn_ + frames - due : 0;
  const std::uint64_t skipped = std::min({ahead, silenceToOverlap_, frames});
  silenceToOverlap_ -= skipped;
  handedOn_ += frames - skipped;
  return skipped;
}

std::uint64_t SilenceClock::takeSilenceDue(std::uint64_t now, bool nothingPlaying) {
  if (rule_.fragmentFrames == 0 || (!nothingPlaying && !stalled(now))) return 0;
  const std::uint64_t target = framesDueAt(now);
  if (target < handedOn_ + 2ULL * rule_.fragmentFrames) return 0;
  // One fragment short of the clock, for the latency resuming audio arrives with.
  const std::uint64_t missing = target - rule_.fragmentFrames - handedOn_;
  const std::uint64_t silence = missing - missing % rule_.fragmentFrames;
  handedOn_ += silence;
  if (nothingPlaying) {
    // No audio was on its way for that time: what comes next is new, for the present.
    silenceToOverlap_ = 0;
  } else {
    silenceToOverlap_ += silence;
    lastSilence_ = now;
  }
  return silence;
}

std::uint64_t SilenceClock::framesDueAt(std::uint64_t now) const {
  if (now <= origin_) return 0;
  // No overflow for a year of running at 48 kHz: 3.2e13 us * 48000 = 1.5e18 < 1.8e19.
  return (now - origin_) * rule_.rate / 1'000'000ULL;
}
