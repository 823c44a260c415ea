// The rule that keeps a recording level with the wall clock: silence only in true gaps, real
// audio never dropped, time never handed on twice beyond a fragment.
#include <gtest/gtest.h>

#include "platform/soundserver/PulseCaptureService.h"
#include "platform/soundserver/SilenceClock.h"

namespace {

constexpr std::uint64_t kMs = 1000;
constexpr SilenceClock::Rule kRule{
    .rate = 48000, .fragmentFrames = 480, .stallAfterMicros = 30 * kMs};

// Audio arriving every 10 ms from `from` to `to`, as a running sink sends it.
void steadyAudio(SilenceClock& clock, std::uint64_t from, std::uint64_t to) {
  for (std::uint64_t at = from + 10 * kMs; at <= to; at += 10 * kMs) clock.audioArrived(480, at);
}

TEST(SilenceClockTest, SteadyAudioAndJitterShorterThanAStallGetNoSilence) {
  SilenceClock clock(kRule);
  clock.start(0);
  steadyAudio(clock, 0, 1000 * kMs);
  EXPECT_EQ(clock.takeSilenceDue(1000 * kMs + 29 * kMs), 0U);
  // Late by 25 ms, then two fragments at once: no silence slipped in between.
  clock.audioArrived(960, 1035 * kMs);
  EXPECT_EQ(clock.takeSilenceDue(1040 * kMs), 0U);
}

// PipeWire's pulse server on a loaded two-core machine was seen handing over 240 ms of
// monitor audio late, in one burst; the service's own rule must wait for it, not fill it.
TEST(SilenceClockTest, ServiceRuleWaitsOutAServerHeldUpByALoadedMachine) {
  const auto& timing = PulseCaptureService::kDefaultTiming.recording;
  SilenceClock clock({.rate = 48000,
                      .fragmentFrames = static_cast<std::uint32_t>(48 * timing.fragment / kMs),
                      .stallAfterMicros = timing.stallAfter});
  clock.start(0);
  steadyAudio(clock, 0, 1000 * kMs);
  for (std::uint64_t at = 1010 * kMs; at < 1300 * kMs; at += 10 * kMs) {
    EXPECT_EQ(clock.takeSilenceDue(at), 0U) << "silence cut into late audio at " << at;
  }
  clock.audioArrived(30 * 480, 1300 * kMs);  // the held-up 300 ms, at once
  EXPECT_EQ(clock.takeSilenceDue(1310 * kMs), 0U);
  // A real gap is still filled, once it has lasted.
  EXPECT_GT(clock.takeSilenceDue(2000 * kMs), 0U);
}

TEST(SilenceClockTest, GapIsFilledToOneFragmentShortOfTheClockInWholeFragments) {
  SilenceClock clock(kRule);
  clock.start(0);
  steadyAudio(clock, 0, 100 * kMs);  // 4800 frames, level with the clock
  const std::uint64_t silence = clock.takeSilenceDue(355 * kMs);
  EXPECT_EQ(silence % 480, 0U);
  // Due at 355 ms: 17040 frames; one fragment short of that, rounded down to fragments.
  EXPECT_LE(4800U + silence, 17040U - 480U);
  EXPECT_GT(4800U + silence, 17040U - 2 * 480U);
  // Asked again at once: nothing more.
  EXPECT_EQ(clock.takeSilenceDue(355 * kMs), 0U);
}

TEST(SilenceClockTest, LongGapKeepsPaceWithTheClock) {
  SilenceClock clock(kRule);
  clock.start(0);
  std::uint64_t silence = 0;
  for (std::uint64_t at = 10 * kMs; at <= 60'000 * kMs; at += 10 * kMs) {
    silence += clock.takeSilenceDue(at);
  }
  const std::uint64_t due = 60 * 48000;
  EXPECT_LE(silence, due);
  EXPECT_GE(silence, due - 2 * 480);
}

TEST(SilenceClockTest, AudioAheadOfTheClockIsKeptAndSilenceWaitsForTheClock) {
  SilenceClock clock(kRule);
  clock.start(0);
  // A burst of a second's audio at once, then nothing.
  clock.audioArrived(48000, 10 * kMs);
  EXPECT_EQ(clock.framesHandedOn(), 48000U);
  EXPECT_EQ(clock.takeSilenceDue(500 * kMs), 0U);
  EXPECT_EQ(clock.takeSilenceDue(1000 * kMs), 0U);
  EXPECT_GT(clock.takeSilenceDue(1200 * kMs), 0U);
  EXPECT_LE(clock.framesHandedOn(), 1200U * 48U);
}

TEST(SilenceClockTest, AudioResumingAfterAGapIsNeverDropped) {
  SilenceClock clock(kRule);
  clock.start(0);
  clock.takeSilenceDue(500 * kMs);
  const std::uint64_t before = clock.framesHandedOn();
  clock.audioArrived(4800, 505 * kMs);
  EXPECT_EQ(clock.framesHandedOn(), before + 4800);
  EXPECT_EQ(clock.takeSilenceDue(520 * kMs), 0U);
}

}  // namespace
