// The program's conversion to 16 kHz mono int16: converter reuse, output sizing, and audio
// that stays continuous across buffer borders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/Resampler.h"
#include "support/SampleBuffers.h"

namespace {

constexpr SampleLayout kCaptured{};  // float32, 48 kHz, interleaved

AVAudioPCMBufferRef toneBuffer(std::size_t frames, const SampleLayout& layout = kCaptured) {
  return makePCMBuffer(sineChannels({440.0, 0.5, layout.sampleRate}, 2, frames), layout);
}

// Converts `samples` in buffers of `chunk` frames and returns every output sample.
std::vector<double> convertInChunks(Resampler& resampler, const ChannelSamples& samples,
                                    std::size_t chunk) {
  std::vector<double> out;
  for (std::size_t at = 0; at < samples[0].size(); at += chunk) {
    const std::size_t count = std::min(chunk, samples[0].size() - at);
    const auto block = resampler.convert(makePCMBuffer(sliceFrames(samples, at, count), kCaptured));
    if (!block) continue;
    const auto values = decodeInt16(*block);
    out.insert(out.end(), values.begin(), values.end());
  }
  return out;
}

double peak(const std::vector<double>& values, std::size_t skip) {
  double most = 0.0;
  for (std::size_t i = skip; i < values.size(); ++i) most = std::max(most, std::abs(values[i]));
  return most;
}

}  // namespace

TEST(ResamplerCapacity, IsTheExpectedFrameCountPlusMargin) {
  EXPECT_EQ(Resampler::outputCapacity(48000.0, 480), 176U);
  EXPECT_EQ(Resampler::outputCapacity(48000.0, 1024), 357U);
  EXPECT_EQ(Resampler::outputCapacity(44100.0, 441), 176U);
  EXPECT_EQ(Resampler::outputCapacity(48000.0, 1), 16U);
}

TEST(ResamplerConverter, IsReusedForOneFormatAndReplacedForAnother) {
  Resampler resampler;
  ASSERT_TRUE(resampler.convert(toneBuffer(480)));
  const AVAudioConverterRef first = resampler.currentConverter();
  ASSERT_TRUE(first);
  ASSERT_TRUE(resampler.convert(toneBuffer(480)));
  EXPECT_EQ(resampler.currentConverter(), first);

  const SampleLayout int16Planar{AVAudioPCMFormatInt16, 48000.0, false};
  ASSERT_TRUE(resampler.convert(toneBuffer(480, int16Planar)));
  ASSERT_NE(resampler.currentConverter(), first);
  EXPECT_EQ(resampler.currentConverter()->inputFormat()->commonFormat(), AVAudioPCMFormatInt16);
  EXPECT_FALSE(resampler.currentConverter()->inputFormat()->isInterleaved());
}

TEST(ResamplerConverter, FailingFormatLeavesNoConverterAndTheNextBufferRetries) {
  Resampler resampler;
  ASSERT_TRUE(resampler.convert(toneBuffer(480)));
  EXPECT_FALSE(resampler.convert(toneBuffer(70, {AVAudioPCMFormatFloat32, 7000.0, true})));
  EXPECT_FALSE(resampler.currentConverter());
  EXPECT_TRUE(resampler.convert(toneBuffer(480)));
  EXPECT_TRUE(resampler.currentConverter());
}

TEST(ResamplerOutput, ZeroFramesGiveNothing) {
  Resampler resampler;
  const auto empty = toneBuffer(480);
  empty->setFrameLength(0);
  EXPECT_FALSE(resampler.convert(empty));
}

TEST(ResamplerOutput, OutputAtTheTargetFormatPassesThroughTwoBytesPerFrame) {
  Resampler resampler;
  const SampleLayout target{AVAudioPCMFormatInt16, 16000.0, true};
  const auto input = makePCMBuffer(sineChannels({440.0, 0.5, 16000.0}, 1, 100), target);
  const auto block = resampler.convert(input);
  ASSERT_TRUE(block);
  ASSERT_EQ(block->size(), 200U);
  EXPECT_EQ(std::memcmp(block->data(), input->buffers()[0].mData, 200), 0);
}

TEST(ResamplerOutput, EachBufferIsHandedOverOnceSo480FramesGiveAbout160) {
  Resampler resampler;
  const auto tone = sineChannels({}, 2, 48000);
  std::size_t total = 0;
  for (std::size_t at = 0; at < 48000; at += 480) {
    const auto block = resampler.convert(makePCMBuffer(sliceFrames(tone, at, 480), kCaptured));
    ASSERT_TRUE(block);
    EXPECT_NEAR(block->size() / 2.0, 160.0, 2.0) << "at frame " << at;
    total += block->size() / 2;
  }
  EXPECT_NEAR(static_cast<double>(total), 16000.0, 2.0);
}

TEST(ResamplerOutput, ToneCutInto480FrameBuffersMatchesTheToneConvertedWhole) {
  const auto tone = sineChannels({}, 2, 48000);
  Resampler whole;
  Resampler cut;
  const auto expected = convertInChunks(whole, tone, 48000);
  const auto actual = convertInChunks(cut, tone, 480);
  ASSERT_NEAR(static_cast<double>(actual.size()), static_cast<double>(expected.size()), 2.0);
  const std::size_t common = std::min(actual.size(), expected.size());
  for (std::size_t i = 0; i < common; ++i) {
    ASSERT_NEAR(actual[i], expected[i], 2.0 / 32768.0) << "at output sample " << i;
  }
  EXPECT_NEAR(peak(actual, 200), 0.5, 0.01);
}

TEST(ResamplerOutput, StereoIsAveraged) {
  auto oneSide = sineChannels({}, 2, 4800);
  std::fill(oneSide[1].begin(), oneSide[1].end(), 0.0);
  Resampler left;
  EXPECT_NEAR(peak(convertInChunks(left, oneSide, 480), 200), 0.25, 0.01);

  auto opposite = sineChannels({}, 2, 4800);
  for (double& value : opposite[1]) value = -value;
  Resampler cancelled;
  const auto silence = convertInChunks(cancelled, opposite, 480);
  EXPECT_GT(silence.size(), 1500U);
  EXPECT_LE(peak(silence, 0), 1.0 / 32768.0);
}
