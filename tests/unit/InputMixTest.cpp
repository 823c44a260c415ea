// The sum of a sink's inputs: aligned as the sink renders them, never held back by an input
// that stopped, an input that joins starting at the present, values left for the 16-bit
// conversion to clip. Driven by a clock passed in, never by sleeping.
#include <gtest/gtest.h>

#include <vector>

#include "platform/soundserver/InputMix.h"

namespace {

constexpr std::uint64_t kMs = 1000;
constexpr std::uint32_t kChannels = 2;
constexpr InputMix::Input kA = 11, kB = 12, kC = 13;

// Frames whose left channel counts up from `first` by `step` and whose right is its negative,
// so that any frame out of place or any channel swapped shows.
std::vector<float> frames(float first, std::size_t count, float step = 0.0F) {
  std::vector<float> samples;
  for (std::size_t i = 0; i < count; ++i) {
    samples.push_back(first + step * static_cast<float>(i));
    samples.push_back(-samples.back());
  }
  return samples;
}

struct Mix {
  InputMix mix{{.channels = kChannels,
                .rate = 0,  // each input taken at its own pace: no clock to keep to here
                .waitMicros = 20 * kMs,
                .maxLeadFrames = 6,
                .silenceSlackFrames = 3,
                .fadeInFrames = 0}};
  std::vector<float> out;

  // The left channel of what is due at `at`.
  std::vector<float> take(std::uint64_t at) {
    out.clear();
    const std::size_t count = mix.mix(at, out);
    EXPECT_EQ(out.size(), count * kChannels);
    std::vector<float> left;
    for (std::size_t i = 0; i < out.size(); i += kChannels) {
      EXPECT_EQ(out[i + 1], -out[i]) << "channels out of place at frame " << i / kChannels;
      left.push_back(out[i]);
    }
    return left;
  }
};

using Left = std::vector<float>;

TEST(InputMixTest, ACycleIsMixedOnceEveryInputHasDeliveredItAndBeyondFullScaleAsItIs) {
  Mix m;
  m.mix.add(kA, frames(0.25F, 2), 0);
  m.mix.add(kB, frames(0.5F, 2), 0);
  EXPECT_EQ(m.take(0), (Left{0.75F, 0.75F}));
  // The next cycle, each input in its own wake-up (PipeWire): nothing until both are there.
  m.mix.add(kA, frames(0.75F, 2), 10 * kMs);
  EXPECT_EQ(m.take(10 * kMs), Left{});
  EXPECT_EQ(m.mix.nextDeadline(10 * kMs), 20 * kMs) << "B is waited for until then";
  m.mix.add(kB, frames(0.5F, 1), 11 * kMs);
  m.mix.addSilence(kB, 1, 11 * kMs);  // a hole
  EXPECT_EQ(m.take(11 * kMs), (Left{1.25F, 0.75F}));
  EXPECT_EQ(m.mix.nextDeadline(11 * kMs), std::nullopt);
  // A's last sound was at 10 ms; its silence since holds B back only until that sound is a
  // wait old, and past the slack only while A still sends.
  m.mix.addSilence(kA, 2, 15 * kMs);
  m.mix.add(kB, frames(0.5F, 7), 15 * kMs);
  EXPECT_EQ(m.take(15 * kMs), (Left{0.5F, 0.5F}));
  EXPECT_EQ(m.mix.nextDeadline(15 * kMs), 30 * kMs) << "the alarm counts from A's silence";
  EXPECT_EQ(m.take(30 * kMs), (Left{0.5F, 0.5F, 0.5F}));
  EXPECT_EQ(m.mix.nextDeadline(30 * kMs), 35 * kMs);
  EXPECT_EQ(m.take(35 * kMs), (Left{0.5F, 0.5F}));
}

TEST(InputMixTest, AnInputThatJoinsStartsAtThePresentAndMovesNoOtherInTime) {
  Mix m;
  Left out;
  for (std::uint64_t cycle = 0; cycle < 4; ++cycle) {
    const std::uint64_t at = cycle * 10 * kMs;
    m.mix.add(kA, frames(static_cast<float>(3 * cycle), 3, 1.0F), at);
    // C joins after A, with a frame more than the cycle's (what queued while it started).
    if (cycle >= 2) m.mix.add(kC, frames(100.0F, cycle == 2 ? 4 : 3), at);
    if (cycle >= 1) m.mix.add(kB, frames(0.0F, 3), at + 1 * kMs);
    const Left due = m.take(at + 1 * kMs);
    out.insert(out.end(), due.begin(), due.end());
  }
  // A's frames 0-11 where they were; B joined at frame 3 and C at frame 6, each at the first
  // frame not yet mixed; C's extra frame always waits for the next cycle of the others.
  EXPECT_EQ(out, (Left{0, 1, 2, 3, 4, 5, 106, 107, 108, 109, 110, 111}));
  m.mix.quiet(kC);
  m.mix.add(kA, frames(12.0F, 1), 40 * kMs);
  m.mix.add(kB, frames(0.0F, 1), 40 * kMs);
  EXPECT_EQ(m.take(40 * kMs), (Left{112}));
}

// An input in digital silence, for longer than a few blocks inside its sound, holds another's
// sound back by no more than the slack, and past it keeps the output to its pace. What it
// delivers at its own phase for frames already mixed is dropped while it is silence (the
// output keeps the clock) and starts at the present once it has sound (nothing is lost).
TEST(InputMixTest, AnInputInSilenceHoldsNothingBackAndKeepsItsPlace) {
  struct Step {
    InputMix::Input input;
    std::vector<float> samples;
    Left due;
    const char* what;
  };
  const Step steps[] = {
      {kA, frames(0.0F, 3), {0, 0, 0}, "the only input"},
      {kB, frames(0.0F, 3), {0, 0, 0}, "B joins at the present"},
      {kA, frames(0.0F, 3), {}, "A's silence for frames already mixed doubled the output"},
      {kB, frames(1.0F, 4, 1.0F), {1, 2, 3}, "B's sound held back by A's silence, or past it"},
      {kA, frames(10.0F, 3, 1.0F), {14}, "A's late sound lost or misplaced"},
      {kB, frames(5.0F, 3, 1.0F), {16, 18}, "A's sound not waited for"},
      {kA, frames(0.0F, 3), {7}, "A's silence in its place lost"},
      {kB, frames(8.0F, 3, 1.0F), {8, 9}, "A's silence in its place lost"},
      {kB, frames(11.0F, 3, 1.0F), {}, "a short silence inside A's sound lost it its place"},
      {kA, frames(20.0F, 3, 1.0F), {30, 32, 34}, "A's sound after a short silence out of place"},
  };

  Mix m;
  std::uint64_t at = 0;
  for (const Step& step : steps) {
    at += 2 * kMs;  // all within the wait
    m.mix.add(step.input, step.samples, at);
    EXPECT_EQ(m.take(at), step.due) << step.what;
  }
}

// An input stops sending: corked or gone, as the server says (quiet), or silent without a word
// (late, or a server that sends nothing for it). Either way the others go on, and what it
// sends afterwards starts at the present, whole.
TEST(InputMixTest, AnInputThatStopsSendingHoldsTheOthersBackAtMostTheWait) {
  for (const bool toldQuiet : {false, true}) {
    SCOPED_TRACE(toldQuiet ? "told quiet" : "silent without a word");
    Mix m;
    m.mix.add(kA, frames(1.0F, 2), 0);
    m.mix.add(kB, frames(2.0F, 4), 0);  // two frames ahead of A
    EXPECT_EQ(m.take(0), (Left{3, 3}));
    if (toldQuiet) m.mix.quiet(kB);
    m.mix.add(kA, frames(1.0F, 3), 10 * kMs);
    // B's frames already delivered are mixed in their place either way.
    if (toldQuiet) {
      EXPECT_EQ(m.take(10 * kMs), (Left{3, 3, 1}));
    } else {
      EXPECT_EQ(m.take(10 * kMs), (Left{3, 3})) << "B, heard 10 ms ago, is waited for";
      EXPECT_EQ(m.mix.nextDeadline(10 * kMs), 20 * kMs);
      EXPECT_EQ(m.take(19 * kMs), Left{});
      EXPECT_EQ(m.take(20 * kMs), (Left{1}));
    }
    m.mix.add(kA, frames(1.0F, 2), 30 * kMs);
    EXPECT_EQ(m.take(30 * kMs), (Left{1, 1})) << "held back by an input that stopped";
    m.mix.add(kB, frames(5.0F, 2), 35 * kMs);
    m.mix.add(kA, frames(1.0F, 2), 40 * kMs);
    EXPECT_EQ(m.take(40 * kMs), (Left{6, 6})) << "B's late audio lost or misplaced";
    m.mix.add(kA, frames(1.0F, 1), 50 * kMs);
    EXPECT_EQ(m.take(50 * kMs), Left{}) << "B, sending again, is not waited for again";
    // The sink no longer recorded: what is held back goes, and the mix starts afresh.
    m.out.clear();
    EXPECT_EQ(m.mix.flush(m.out), 1U);
    EXPECT_EQ(m.out, frames(1.0F, 1));
    m.mix.add(kA, frames(1.0F, 1), 51 * kMs);
    EXPECT_EQ(m.take(51 * kMs), (Left{1})) << "B, gone with the flush, still waited for";
  }
}

// An input that went, recorded on a connection of its own: its last audio may come after the
// server's word that it went. Waited for that long and no longer, and what comes follows on.
TEST(InputMixTest, AnInputThatWentIsWaitedForOnlyUntilItsTail) {
  for (const bool tailComes : {true, false}) {
    SCOPED_TRACE(tailComes ? "its tail comes" : "nothing more comes");
    Mix m;
    m.mix.add(kA, frames(1.0F, 2), 0);
    m.mix.add(kB, frames(2.0F, 2), 0);
    EXPECT_EQ(m.take(0), (Left{3, 3}));
    m.mix.ending(kB, 4 * kMs);
    m.mix.add(kA, frames(1.0F, 2), 1 * kMs);
    EXPECT_EQ(m.take(1 * kMs), Left{}) << "B's tail not waited for";
    EXPECT_EQ(m.mix.nextDeadline(1 * kMs), 4 * kMs) << "B waited for past its tail";
    if (tailComes) {
      m.mix.add(kB, frames(2.0F, 1), 2 * kMs);
      EXPECT_EQ(m.take(2 * kMs), (Left{3})) << "B's tail not in its place";
    }
    EXPECT_EQ(m.take(4 * kMs), tailComes ? Left{1} : (Left{1, 1}));
    m.mix.add(kA, frames(1.0F, 1), 5 * kMs);
    EXPECT_EQ(m.take(5 * kMs), (Left{1})) << "B, gone, still waited for";
  }
}

// A mix that fades entering sound in over two frames: 1/4, 3/4, then whole.
struct FadingMix {
  InputMix mix{{.channels = kChannels,
                .rate = 0,
                .waitMicros = 20 * kMs,
                .maxLeadFrames = 100,
                .silenceSlackFrames = 3,
                .fadeInFrames = 2}};

  std::vector<float> take(std::uint64_t at) {
    std::vector<float> out;
    mix.mix(at, out);
    return out;
  }
};

// Sound that enters the mix in its middle is faded in, across blocks, on every channel; sound
// that comes whole from silence, or goes on in its place, is left as it is.
TEST(InputMixTest, SoundEnteringInItsMiddleIsFadedIn) {
  FadingMix fading;
  InputMix& mix = fading.mix;
  const auto take = [&](std::uint64_t at) {
    Left left;
    const std::vector<float> out = fading.take(at);
    for (std::size_t i = 0; i < out.size(); i += kChannels) {
      EXPECT_EQ(out[i + 1], -out[i]);
      left.push_back(out[i]);
    }
    return left;
  };
  // A raised cosine over two frames: 1/4, 3/4, then whole.
  mix.add(kA, frames(1.0F, 1), 0);
  mix.add(kA, frames(1.0F, 3), 0);
  EXPECT_EQ(take(0), (Left{0.25F, 0.75F, 1.0F, 1.0F})) << "a new input's sound began with a step";
  // B from silence, its sound rising from below the step: as it came.
  Left whole = frames(0.0F, 1);
  const Left rising = frames(0.0005F, 2, 0.5F);
  whole.insert(whole.end(), rising.begin(), rising.end());
  mix.add(kB, whole, 0);
  mix.add(kA, frames(0.0F, 3), 0);
  EXPECT_EQ(take(0), (Left{0.0F, 0.0005F, 0.5005F})) << "a sound that came whole was faded";
  // C's first blocks are silence, longer than a hand-over; the sound after them began with a
  // step.
  mix.add(kC, frames(0.0F, 4), 1 * kMs);
  mix.add(kC, frames(1.0F, 2), 1 * kMs);
  mix.add(kA, frames(0.0F, 6), 1 * kMs);
  mix.add(kB, frames(0.0F, 6), 1 * kMs);
  EXPECT_EQ(take(1 * kMs), (Left{0, 0, 0, 0, 0.25F, 0.75F})) << "cut in after silence, unfaded";
  // B falls behind by two frames, then sends sound for them: moved to the present, faded.
  mix.add(kA, frames(0.0F, 2), 5 * kMs);
  mix.add(kB, frames(0.0F, 1), 25 * kMs);
  EXPECT_EQ(take(25 * kMs), (Left{0.0F, 0.0F}));
  mix.add(kB, frames(1.0F, 2), 26 * kMs);
  mix.add(kA, frames(0.0F, 2), 26 * kMs);
  EXPECT_EQ(take(26 * kMs), (Left{0.25F, 0.75F})) << "late sound moved to the present unfaded";
}

// A new input whose right channel the server starts later than its left (PipeWire 1.4 now and
// then, by a graph cycle): each channel fades in from its own first sound, within a block or
// in the next, and a channel that goes on in its place is left as it is.
TEST(InputMixTest, EachChannelFadesInFromItsOwnFirstSound) {
  FadingMix fading;
  InputMix& mix = fading.mix;
  const auto take = [&](std::uint64_t at) { return fading.take(at); };
  mix.add(kA, std::vector<float>{1, 0, 1, 0, 1, 0, 1, 1}, 0);
  EXPECT_EQ(take(0), (std::vector<float>{0.25F, 0, 0.75F, 0, 1, 0, 1, 0.25F}))
      << "the late channel stepped in, or the early one was faded twice";
  mix.add(kA, std::vector<float>{1, 1, 1, 1}, 1 * kMs);
  EXPECT_EQ(take(1 * kMs), (std::vector<float>{1, 0.75F, 1, 1}));
  mix.add(kB, std::vector<float>{1, 0, 1, 0}, 2 * kMs);
  mix.add(kA, std::vector<float>{0, 0, 0, 0}, 2 * kMs);
  EXPECT_EQ(take(2 * kMs), (std::vector<float>{0.25F, 0, 0.75F, 0}));
  mix.add(kB, std::vector<float>{1, 1, 1, 1, 1, 1}, 3 * kMs);
  mix.add(kA, std::vector<float>{0, 0, 0, 0, 0, 0}, 3 * kMs);
  EXPECT_EQ(take(3 * kMs), (std::vector<float>{1, 0.25F, 1, 0.75F, 1, 1}))
      << "a channel whose sound began a block later stepped in";
}

// B starts ahead of A (what queued while its stream started): its lead is levelled once it
// lasted the wait, by dropping the digital silence at its head, and never exceeds the bound.
TEST(InputMixTest, ALastingLeadLosesItsSilenceAndStaysWithinTheBound) {
  Mix m;  // a bound of 6 frames
  m.mix.add(kA, frames(1.0F, 1), 0);
  m.mix.add(kB, frames(0.0F, 6), 0);
  m.mix.add(kB, frames(7.0F, 1), 0);
  EXPECT_EQ(m.take(0), (Left{1}));
  m.mix.add(kA, frames(1.0F, 1), 10 * kMs);
  EXPECT_EQ(m.take(10 * kMs), (Left{1})) << "a lead levelled before it lasted the wait";
  m.mix.add(kA, frames(1.0F, 2), 25 * kMs);
  EXPECT_EQ(m.take(25 * kMs), (Left{1, 1}));
  m.mix.add(kA, frames(1.0F, 1), 30 * kMs);
  m.mix.add(kB, frames(2.0F, 10, 1.0F), 30 * kMs);  // sound 2, 3, ..., 11
  EXPECT_EQ(m.take(30 * kMs), (Left{8})) << "the silence at the head of a lasting lead kept";
  m.mix.add(kA, frames(1.0F, 1), 35 * kMs);
  EXPECT_EQ(m.take(35 * kMs), (Left{7})) << "a lead beyond the bound kept, or cut elsewhere";
}

}  // namespace
