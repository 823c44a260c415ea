// What a recording decides on each look at the clock, and what it hands on of the mix: silence
// at once while nothing plays, only through a gap seen twice otherwise, fragment by fragment
// through gaps and rarely while audio flows or the server is away; audio late for time already
// filled with silence left out.
#include <gtest/gtest.h>

#include <vector>

#include "platform/soundserver/RecordingOutput.h"

namespace {

constexpr std::uint64_t kMs = 1000;
constexpr std::uint64_t kFragment = 480;  // 10 ms at 48 kHz

struct Look {
  std::uint64_t at;
  bool idle;
  bool serverAway;
  std::uint64_t silenceFrames;
  std::uint64_t nextLookIn;
  const char* what;
};

TEST(RecordingOutputTest, EachLookHandsOnTheSilenceDueAndSetsTheNextOne) {
  const RecordingTiming timing;  // a stall after 500 ms, a look every 100 ms while audio flows
  RecordingOutput output(48000, 2, timing);
  output.start(0);
  const std::vector<float> block(2 * kFragment, 0.5F);
  for (std::uint64_t at = 10 * kMs; at <= 1000 * kMs; at += 10 * kMs) {
    output.inputs().add(1, block, at);
    ASSERT_EQ(output.mix(at).size(), block.size());
  }
  std::uint64_t handedOn = 48000;
  const auto lookAt = [&](const Look& look) {
    const RecordingOutput::Tick tick = output.look(look.at, look.idle, look.serverAway);
    EXPECT_EQ(tick.silenceFrames, look.silenceFrames) << look.what;
    EXPECT_EQ(tick.nextLookIn, look.nextLookIn) << look.what;
    handedOn += tick.silenceFrames;
  };
  const Look gap[] = {
      {1100 * kMs, false, false, 0, 100 * kMs, "audio flowing, or a gap too short to count"},
      {1510 * kMs, false, false, 0, 10 * kMs, "a stall counted on its first look"},
      // Up to a fragment short of the clock, in whole fragments.
      {1520 * kMs, false, false, 51 * kFragment, 10 * kMs, "a gap seen twice not filled"},
      {1530 * kMs, false, true, kFragment, 100 * kMs, "without a server, no look by fragment"},
  };
  for (const Look& look : gap) lookAt(look);
  // The server, held still through the gap, hands over what it kept: the time already filled
  // with silence is left out, oldest first, as far as it would put the output ahead.
  for (int n = 0; n < 50; ++n) output.inputs().add(1, block, 1531 * kMs);
  handedOn += output.mix(1531 * kMs).size() / 2;
  EXPECT_EQ(handedOn, 1531U * 48) << "not level with the clock";
  lookAt({1600 * kMs, true, false, 5 * kFragment, 10 * kMs, "nothing playing: no silence"});
}

}  // namespace
