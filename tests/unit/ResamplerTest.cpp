// The program's conversion to 16 kHz mono int16: continuous across buffer borders, each buffer
// handed over at once, stereo averaged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "audio/Resampler.h"
#include "support/SampleBuffers.h"

namespace {

// Every output sample of a second of stereo tone, the right channel `right` times the left,
// converted in buffers of `chunk` frames; each buffer must give its share of the output at
// once (a third of its frames, give or take a rounding).
std::vector<float> convertInChunks(std::size_t chunk, float right = 1.0F) {
  Resampler resampler;
  std::vector<float> out;
  for (std::size_t at = 0; at < 48000; at += chunk) {
    const std::size_t count = std::min<std::size_t>(chunk, 48000 - at);
    auto tone = sineChannels(2, count, 440.0, 48000.0, at);
    for (float& value : tone[1]) value *= right;
    const auto block = resampler.convert(makePCMBuffer(tone));
    EXPECT_TRUE(block) << "nothing for the buffer at frame " << at;
    if (!block) continue;
    EXPECT_NEAR(block->size() / 2.0, count / 3.0, 2.0) << "at frame " << at;
    const auto values = decodeInt16(*block);
    out.insert(out.end(), values.begin(), values.end());
  }
  return out;
}

float peakAfterTheFilterFilled(const std::vector<float>& values) {
  float most = 0.0F;
  for (std::size_t i = 200; i < values.size(); ++i) most = std::max(most, std::abs(values[i]));
  return most;
}

}  // namespace

TEST(Resampler, ToneCutInto480FrameBuffersMatchesTheToneConvertedWhole) {
  const auto expected = convertInChunks(48000);
  const auto actual = convertInChunks(480);
  ASSERT_NEAR(static_cast<double>(actual.size()), 16000.0, 2.0);
  const std::size_t common = std::min(actual.size(), expected.size());
  for (std::size_t i = 0; i < common; ++i) {
    ASSERT_NEAR(actual[i], expected[i], 2.0 / 32768.0) << "at output sample " << i;
  }
  EXPECT_NEAR(peakAfterTheFilterFilled(actual), 0.5, 0.01);
}

TEST(Resampler, StereoIsAveraged) {
  for (const float right : {0.0F, -1.0F}) {  // the right channel, as a multiple of the left
    SCOPED_TRACE(testing::Message() << "right = " << right << " * left");
    const double tolerance = right == 0.0F ? 0.01 : 1.0 / 32768.0;  // cancelled: exact silence
    EXPECT_NEAR(peakAfterTheFilterFilled(convertInChunks(480, right)), 0.25 * (1 + right),
                tolerance);
  }
}
