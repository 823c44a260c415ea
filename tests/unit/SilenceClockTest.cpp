// The rule that keeps a recording level with the wall clock: silence only in true gaps, real
// audio dropped only where it comes late for time already filled with silence, time never
// handed on twice beyond a fragment.
#include <gtest/gtest.h>

#include "platform/soundserver/PulseCaptureService.h"
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
  const auto& timing = PulseCaptureService::kDefaultTiming.recording;
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

TEST(SilenceClockTest, GapIsFilledToOneFragmentShortOfTheClockInWholeFragments) {
  SilenceClock clock = steadyUntil(100 * kMs);  // 4800 frames, level with the clock
  const std::uint64_t silence = clock.takeSilenceDue(355 * kMs);
  EXPECT_EQ(silence % 480, 0U);
  // Due at 355 ms: 17040 frames; one fragment short of that, rounded down to fragments.
  EXPECT_LE(4800U + silence, 17040U - 480U);
  EXPECT_GT(4800U + silence, 17040U - 2 * 480U);
  EXPECT_EQ(clock.takeSilenceDue(355 * kMs), 0U) << "handed on twice";
  // A minute-long gap asked about every 10 ms keeps pace with the clock.
  std::uint64_t total = 4800 + silence;
  for (std::uint64_t at = 360 * kMs; at <= 60'000 * kMs; at += 10 * kMs) {
    total += clock.takeSilenceDue(at);
  }
  EXPECT_LE(total, 60U * 48000);
  EXPECT_GE(total, 60U * 48000 - 2 * 480);
}

// A server held still for five seconds, audio before it level with the clock plus `lead`,
// hands over `fragments` of what its sink rendered meanwhile at once, `late` after the last
// silence.
struct Backlog {
  std::uint64_t silence = 0;  // filled in while it was still
  std::uint64_t skipped = 0;  // of the backlog
  std::int64_t ahead = 0;     // frames handed on beyond the clock afterwards, lead included
};
Backlog freezeThenBacklog(std::uint64_t lead, std::uint64_t late, std::uint64_t fragments) {
  SilenceClock clock = steadyUntil(100 * kMs);  // 4800 frames, level with the clock
  EXPECT_EQ(clock.audioArrived(lead, 100 * kMs), 0U);
  Backlog result;
  std::uint64_t at = 110 * kMs;
  for (; at <= 5100 * kMs; at += 10 * kMs) result.silence += clock.takeSilenceDue(at);
  const std::uint64_t goesOn = at - 10 * kMs + late;
  for (std::uint64_t n = 0; n < fragments; ++n) result.skipped += clock.audioArrived(480, goesOn);
  const std::uint64_t handedOn = 4800 + lead + result.silence + fragments * 480 - result.skipped;
  result.ahead = static_cast<std::int64_t>(handedOn) - static_cast<std::int64_t>(goesOn * 48 / kMs);
  // Audio from then on, for the present, is never skipped.
  EXPECT_EQ(clock.audioArrived(480, goesOn + 10 * kMs), 0U);
  return result;
}

// What the server hands over for time already filled with silence is skipped, as far as it
// would put the output ahead of the clock, and no further: a lead that real audio made before
// stays. Audio later than a stall after the silence is the server's present, never skipped.
TEST(SilenceClockTest, AudioForTimeFilledWithSilenceIsSkippedOnlyAsItGoesOn) {
  const Backlog capped = freezeThenBacklog(0, 1 * kMs, 200);  // a server keeps two seconds
  EXPECT_GT(capped.skipped, 0U);
  EXPECT_EQ(capped.ahead, 0) << "not level with the clock";
  const Backlog whole = freezeThenBacklog(4800, 1 * kMs, 500);
  EXPECT_EQ(whole.skipped, whole.silence) << "skipped other than the silence filled in";
  EXPECT_EQ(freezeThenBacklog(0, 40 * kMs, 500).skipped, 0U) << "audio for the present dropped";
}

}  // namespace
