// What the service hands the program for each fragment a record stream yields, read back the
// way the program reads it. Holes cannot be made to happen on a real server, so they are
// checked here.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "audio/SampleBufferUnpacking.h"
#include "platform/soundserver/FragmentSamples.h"
#include "support/SampleBuffers.h"

namespace {

ChannelSamples channelsOf(const CMSampleBufferRef& sample) {
  const AVAudioPCMBufferRef pcm = toAVAudioPCMBuffer(sample);
  return pcm ? readPCMBuffer(*pcm) : ChannelSamples{};
}

TEST(FragmentSamplesTest, FragmentsAreCopiedHolesBecomeSilenceAndOnlyWholeFramesGoOn) {
  const FragmentSamples samples(pa_sample_spec{PA_SAMPLE_FLOAT32LE, 48000, 2});
  const std::vector<float> values = {0.5F, 0.25F, -0.5F, 0.125F};
  std::vector<std::byte> fragment(values.size() * sizeof(float) + 3);  // and part of a frame
  std::memcpy(fragment.data(), values.data(), values.size() * sizeof(float));
  const CMSampleBufferRef sample = samples.fromAudio(fragment);
  // The server reuses its memory once the fragment is dropped.
  std::fill(fragment.begin(), fragment.end(), std::byte{0xFF});
  EXPECT_EQ(channelsOf(sample), (ChannelSamples{{0.5F, -0.5F}, {0.25F, 0.125F}}));

  const CMSampleBufferRef hole = samples.fromHole(480 * samples.bytesPerFrame());
  ASSERT_TRUE(hole);
  EXPECT_EQ(CMSampleBufferGetNumSamples(hole), 480);
  EXPECT_EQ(channelsOf(hole), ChannelSamples(2, std::vector<float>(480, 0.0F)));

  EXPECT_FALSE(samples.fromAudio(std::vector<std::byte>(7)));
  EXPECT_FALSE(samples.fromHole(0));
}

}  // namespace
