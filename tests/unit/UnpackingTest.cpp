// Turning a captured sample into a PCM buffer of its own format.
#include <gtest/gtest.h>

#include "audio/SampleBufferUnpacking.h"
#include "support/SampleBuffers.h"

namespace {

// A sample whose frame count differs from the frames its data holds.
CMSampleBufferRef withFrameCount(const CMSampleBufferRef& sample, CMItemCount frames) {
  return std::make_shared<CMSampleBuffer>(sample->formatDescription(), frames,
                                          sample->dataBuffer());
}

ChannelSamples leftAndRight(std::size_t frames) {
  ChannelSamples samples = sineChannels({440, 0.5, 48000}, 1, frames);
  samples.push_back(sineChannels({1000, -0.25, 48000}, 1, frames)[0]);
  return samples;
}

}  // namespace

TEST(Unpacking, CopiesEveryLayoutChannelByChannel) {
  for (auto layout : {SampleLayout{}, SampleLayout{AVAudioPCMFormatInt16, 44100, false},
                      SampleLayout{AVAudioPCMFormatFloat64, 96000, false}}) {
    SCOPED_TRACE(testing::Message() << layout.type << " interleaved " << layout.interleaved);
    const auto samples = leftAndRight(480);
    const auto pcm = toAVAudioPCMBuffer(makeSampleBuffer(samples, layout));
    ASSERT_TRUE(pcm);
    EXPECT_EQ(pcm->frameLength(), 480U);
    EXPECT_EQ(pcm->frameCapacity(), 480U);
    EXPECT_EQ(pcm->format()->sampleRate(), layout.sampleRate);
    EXPECT_EQ(pcm->format()->isInterleaved(), layout.interleaved);
    EXPECT_EQ(readPCMBuffer(*pcm), readPCMBuffer(*makePCMBuffer(samples, layout)));
  }
}

TEST(Unpacking, ShortDataLeavesTheRestSilentAndLongDataIsCutAtTheFrameCount) {
  const SampleLayout planar{AVAudioPCMFormatFloat32, 48000, false};
  const auto samples = leftAndRight(600);
  const auto shortPcm = toAVAudioPCMBuffer(
      withFrameCount(makeSampleBuffer(sliceFrames(samples, 0, 100), planar), 480));
  ASSERT_TRUE(shortPcm);
  auto expected = sliceFrames(samples, 0, 100);
  for (auto& channel : expected) channel.resize(480, 0.0);
  EXPECT_EQ(readPCMBuffer(*shortPcm), readPCMBuffer(*makePCMBuffer(expected, planar)));

  const auto longPcm = toAVAudioPCMBuffer(withFrameCount(makeSampleBuffer(samples, {}), 480));
  ASSERT_TRUE(longPcm);
  EXPECT_EQ(readPCMBuffer(*longPcm),
            readPCMBuffer(*makePCMBuffer(sliceFrames(samples, 0, 480), {})));
}

TEST(Unpacking, SamplesWithoutFramesFormatOrDataGiveNothing) {
  const auto sample = makeSampleBuffer(leftAndRight(480), {});
  EXPECT_FALSE(toAVAudioPCMBuffer(withFrameCount(sample, 0)));
  EXPECT_FALSE(toAVAudioPCMBuffer(withFrameCount(sample, -1)));
  EXPECT_FALSE(
      toAVAudioPCMBuffer(std::make_shared<CMSampleBuffer>(nullptr, 480, sample->dataBuffer())));
  EXPECT_FALSE(toAVAudioPCMBuffer(
      std::make_shared<CMSampleBuffer>(sample->formatDescription(), 480, nullptr)));
  auto odd = describePCM(AVAudioPCMFormatInt32, 48000, 2, true);
  odd.mBitsPerChannel = 24;
  EXPECT_FALSE(toAVAudioPCMBuffer(std::make_shared<CMSampleBuffer>(
      std::make_shared<const CMAudioFormatDescription>(odd), 480, sample->dataBuffer())));
}
