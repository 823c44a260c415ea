// The rule that keeps a recording level with the wall clock: silence only in true gaps, real
// audio dropped only where it comes late for time filled with silence, time never handed on
// twice beyond a fragment.
#include <gtest/gtest.h>

#include "platform/soundserver/RecordingTiming.h"
#include "platform/soundserver/SilenceClock.h"

namespace {

constexpr std::uint64_t kMs = 1000;
constexpr SilenceClock::Rule kRule{
    .rate = 48000, .fragmentFrames = 480, .stallAfterMicros = 30 * kMs};

// A clock started at 0 that had audio every 10 ms until `until`, as a running sink sends it.
SilenceClock steadyUntil(std::uint64_t until, SilenceClock::Rule rule = kRule) {
  SilenceClock clock(rule);
  clock.start(0);
  for (std::uint64_t at = 10 * kMs; at <= until; at += 10 * kMs) clock.audioArrived(480, at);
  return clock;
}

TEST(SilenceClockTest, SteadyAudioJitterAndAudioAheadOfTheClockGetNoSilence) {
  SilenceClock clock = steadyUntil(1000 * kMs);
  EXPECT_EQ(clock.takeSilenceDue(1029 * kMs), 0U);
  // Late by 25 ms, then two fragments at once: no silence slipped in between.
  EXPECT_EQ(clock.audioArrived(960, 1035 * kMs), 0U);
  EXPECT_EQ(clock.takeSilenceDue(1040 * kMs), 0U);
  // A second's burst at once (a new stream's start) puts the count ahead of the clock: all of
  // it counts, and no silence is due until the clock has caught up with it.
  EXPECT_EQ(clock.audioArrived(48000, 1040 * kMs), 0U);
  EXPECT_EQ(clock.takeSilenceDue(2000 * kMs), 0U);
}

// PipeWire's pulse server on a loaded two-core machine was seen handing over 240 ms of
// monitor audio late, in one burst; the service's own rule must wait for it, not fill it.
TEST(SilenceClockTest, ServiceRuleWaitsOutAServerHeldUpByALoadedMachine) {
  const RecordingTiming timing;
  SilenceClock clock = steadyUntil(
      1000 * kMs, {.rate = 48000,
                   .fragmentFrames = static_cast<std::uint32_t>(48 * timing.fragment / kMs),
                   .stallAfterMicros = timing.stallAfter});
  for (std::uint64_t at = 1010 * kMs; at < 1300 * kMs; at += 10 * kMs) {
    EXPECT_EQ(clock.takeSilenceDue(at), 0U) << "silence cut into late audio at " << at;
  }
  EXPECT_EQ(clock.audioArrived(std::uint64_t{30} * 480, 1300 * kMs), 0U) << "held-up audio dropped";
  EXPECT_EQ(clock.takeSilenceDue(1310 * kMs), 0U);
  EXPECT_GT(clock.takeSilenceDue(2000 * kMs), 0U) << "a real gap, once it lasted, unfilled";
}

TEST(SilenceClockTest, GapIsFilledToOneFragmentShortOfTheClockAndAudioLateForItSkipped) {
  SilenceClock clock = steadyUntil(100 * kMs);  // 4800 frames, level with the clock
  const std::uint64_t silence = clock.takeSilenceDue(355 * kMs);
  // Due at 355 ms: 17040 frames; one fragment short of that, down to whole fragments: 16320.
  EXPECT_EQ(4800U + silence, 16320U);
  EXPECT_EQ(clock.takeSilenceDue(355 * kMs), 0U) << "handed on twice";
  // A minute-long gap asked about every 10 ms keeps pace with the clock.
  std::uint64_t total = 4800 + silence;
  for (std::uint64_t at = 360 * kMs; at <= 60'000 * kMs; at += 10 * kMs) {
    total += clock.takeSilenceDue(at);
  }
  EXPECT_LE(total, 60U * 48000);
  EXPECT_GE(total, 60U * 48000 - 2 * 480);
  // A server held still all that time then hands over at once the two seconds it kept: that
  // time was filled with silence already, so the audio is skipped as far as it would put the
  // output ahead of the clock.
  std::uint64_t skipped = 0;
  for (int n = 0; n < 200; ++n) skipped += clock.audioArrived(480, 60'001 * kMs);
  EXPECT_EQ(total + std::uint64_t{200} * 480 - skipped, std::uint64_t{60'001} * 48)
      << "not level with the clock";
  // Audio later than a stall after the last silence is the server's present: never skipped.
  EXPECT_EQ(clock.audioArrived(48000, 60'040 * kMs), 0U);
}

// With nothing playing there is no late audio to wait for: the silence is due at once, still
// one fragment short of the clock, and no audio that follows it is taken for late.
TEST(SilenceClockTest, NothingPlayingGetsSilenceWithoutWaitingOutAStall) {
  SilenceClock clock = steadyUntil(100 * kMs);
  EXPECT_EQ(clock.takeSilenceDue(125 * kMs), 0U) << "a stall not yet waited out";
  // 6000 frames due, 4800 handed on: 720 up to a fragment short, in whole fragments.
  EXPECT_EQ(clock.takeSilenceDue(125 * kMs, true), 480U);
  EXPECT_EQ(clock.takeSilenceDue(125 * kMs, true), 0U) << "handed on twice";
  // A stream that starts then, with what queued while it started: new audio, not late.
  EXPECT_EQ(clock.audioArrived(960, 126 * kMs), 0U) << "a new stream's start skipped";
}

}  // namespace
