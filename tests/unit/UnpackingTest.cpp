// Turning a captured sample into a PCM buffer of its own format.
#include <gtest/gtest.h>

#include <cstring>

#include "audio/SampleBufferUnpacking.h"
#include "support/SampleBuffers.h"

// Planar samples need one buffer per channel, a list sized by asking the sample first. Data
// that runs short of the frame count leaves silence, not what the memory held before.
TEST(Unpacking, CopiesEachLayoutAndLeavesWhatTheDataDoesNotReachSilent) {
  for (const bool planar : {false, true}) {
    SCOPED_TRACE(planar ? "planar" : "interleaved");
    ChannelSamples samples = sineChannels(1, 480);
    samples.push_back(sineChannels(1, 480, 1000.0)[0]);
    auto whole = toAVAudioPCMBuffer(makeSampleBuffer(samples, planar));
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->format()->isInterleaved(), !planar);
    EXPECT_EQ(readPCMBuffer(*whole), samples);
    // Leaves dirty memory behind for the next buffer, as a running program would.
    for (UInt32 i = 0; i < whole->bufferCount(); ++i) {
      std::memset(whole->buffers()[i].mData, 0x5A, whole->buffers()[i].mDataByteSize);
    }
    whole.reset();
    for (auto& channel : samples) channel.resize(100);
    const auto part = makeSampleBuffer(samples, planar);
    const auto padded = toAVAudioPCMBuffer(
        std::make_shared<CMSampleBuffer>(part->formatDescription(), 480, part->dataBuffer()));
    ASSERT_TRUE(padded);
    for (auto& channel : samples) channel.resize(480, 0.0F);
    EXPECT_EQ(readPCMBuffer(*padded), samples);
  }
}
