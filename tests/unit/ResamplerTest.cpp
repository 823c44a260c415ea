// The program's conversion to 16 kHz mono int16: continuous across buffer borders, each buffer
// handed over at once, and floats made 16-bit by one rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "audio/Resampler.h"
#include "support/SampleBuffers.h"

namespace {

// Every output sample of a second of stereo tone converted in buffers of `chunk` frames; each
// buffer must give its share of the output at once (a third of its frames, give or take a
// rounding).
std::vector<float> convertInChunks(std::size_t chunk) {
  Resampler resampler;
  std::vector<float> out;
  for (std::size_t at = 0; at < 48000; at += chunk) {
    const std::size_t count = std::min<std::size_t>(chunk, 48000 - at);
    const auto block = resampler.convert(makePCMBuffer(sineChannels(2, count, 440.0, 48000.0, at)));
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

// The 16-bit value a float stands for: scaled, NaN as silence, clamped, ties to even.
std::int16_t expectedInt16(float sample) {
  if (std::isnan(sample)) return 0;
  const double scaled = std::clamp(static_cast<double>(sample) * 32768.0, -32768.0, 32767.0);
  return static_cast<std::int16_t>(std::nearbyint(scaled));
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

TEST(Resampler, EveryLengthRoundsClampsAndSilencesNaNAlike) {
  const float inf = std::numeric_limits<float>::infinity();
  const float lsb = 1.0F / 32768.0F;
  const std::vector<float> values = {0.5F * lsb, 1.5F * lsb, -2.5F * lsb,    std::nanf(""), inf,
                                     -inf,       1.0F,       -1.0F,          2.0F,          -1.5F,
                                     0.25F,      -0.7F,      32767.4F * lsb, 1e-9F,         -0.0F,
                                     0.123456F,  -3.5F * lsb};
  Resampler resampler;
  // Every length up to the list's, so that each value lands both in the vectors and in the tail.
  for (std::size_t length = 1; length <= values.size(); ++length) {
    SCOPED_TRACE(testing::Message() << "length " << length);
    std::vector<float> in(length);
    for (std::size_t i = 0; i < length; ++i) in[i] = values[(i + length) % values.size()];
    const auto block = resampler.convert(makePCMBuffer({in}, 16000.0));  // no rate change
    ASSERT_TRUE(block);
    const auto out = decodeInt16(*block);
    ASSERT_EQ(out.size(), length);
    for (std::size_t i = 0; i < length; ++i) {
      EXPECT_EQ(out[i] * 32768.0F, expectedInt16(in[i])) << "value " << in[i];
    }
  }
}
