// What the service hands the program for each fragment a record stream yields, read back the
// way the program reads it. Holes cannot be made to happen on a real server, so they are
// checked here.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "audio/SampleBufferUnpacking.h"
#include "platform/soundserver/FragmentSamples.h"

namespace {

constexpr pa_sample_spec kStereo48k{PA_SAMPLE_FLOAT32LE, 48000, 2};

std::vector<std::byte> bytesOf(const std::vector<float>& values) {
  std::vector<std::byte> bytes(values.size() * sizeof(float));
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

std::vector<float> floatsOf(const AVAudioPCMBuffer& pcm) {
  const AudioBuffer& buffer = pcm.buffers()[0];
  std::vector<float> values(buffer.mDataByteSize / sizeof(float));
  std::memcpy(values.data(), buffer.mData, buffer.mDataByteSize);
  return values;
}

TEST(FragmentSamplesTest, EachSampleOwnsItsCopyOfTheFragment) {
  const FragmentSamples samples(kStereo48k);
  std::vector<std::byte> fragment = bytesOf({0.5F, 0.5F});
  const CMSampleBufferRef sample = samples.fromAudio(fragment);
  // The server reuses its memory once the fragment is dropped.
  std::fill(fragment.begin(), fragment.end(), std::byte{0xFF});
  const AVAudioPCMBufferRef pcm = toAVAudioPCMBuffer(sample);
  ASSERT_TRUE(pcm);
  EXPECT_EQ(floatsOf(*pcm), (std::vector<float>{0.5F, 0.5F}));
}

TEST(FragmentSamplesTest, HoleBecomesSilenceOfTheSameLength) {
  const FragmentSamples samples(kStereo48k);
  const std::size_t tenMilliseconds = 480 * samples.bytesPerFrame();
  const CMSampleBufferRef sample = samples.fromHole(tenMilliseconds);
  ASSERT_TRUE(sample);
  EXPECT_EQ(CMSampleBufferGetNumSamples(sample), 480);
  const AVAudioPCMBufferRef pcm = toAVAudioPCMBuffer(sample);
  ASSERT_TRUE(pcm);
  EXPECT_EQ(floatsOf(*pcm), std::vector<float>(960, 0.0F));
}

TEST(FragmentSamplesTest, OnlyWholeFramesAreHandedOn) {
  const FragmentSamples samples(pa_sample_spec{PA_SAMPLE_FLOAT32LE, 44100, 1});
  std::vector<std::byte> fragment = bytesOf({0.1F, 0.2F});
  fragment.resize(fragment.size() + 3);
  const CMSampleBufferRef sample = samples.fromAudio(fragment);
  ASSERT_TRUE(sample);
  EXPECT_EQ(CMSampleBufferGetNumSamples(sample), 2);
  EXPECT_FALSE(samples.fromAudio(std::vector<std::byte>(3)));
  EXPECT_FALSE(samples.fromHole(0));
}

}  // namespace
