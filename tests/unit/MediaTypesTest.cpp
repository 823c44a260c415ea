// The records a format is made from and the PCM buffers made from a format: what they refuse
// and how they lay out memory.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "platform/media/AVAudioPCMBuffer.h"
#include "support/SampleBuffers.h"

TEST(AudioFormat, RefusesRecordsThatAreNotPackedNativePCMOfACommonType) {
  const auto good = describePCM(AVAudioPCMFormatFloat32, 48000, 2, true);
  ASSERT_TRUE(AVAudioFormat::initWithStreamDescription(&good));
  std::vector<std::function<void(AudioStreamBasicDescription&)>> spoilers = {
      [](auto& d) { d.mFormatID = 0x61616320; },  // compressed
      [](auto& d) { d.mFormatFlags |= kAudioFormatFlagIsBigEndian; },
      [](auto& d) { d.mFormatFlags |= kAudioFormatFlagIsSignedInteger; },  // float and integer
      [](auto& d) { d.mBitsPerChannel = 24; },
      [](auto& d) { d.mChannelsPerFrame = 0; },
      [](auto& d) { d.mSampleRate = 0.0; },
      [](auto& d) { d.mSampleRate = std::numeric_limits<double>::quiet_NaN(); },
      [](auto& d) { d.mFramesPerPacket = 2; },
      [](auto& d) { d.mBytesPerFrame = 4; },
      [](auto& d) { d.mBytesPerPacket = 16; },
  };
  for (std::size_t i = 0; i < spoilers.size(); ++i) {
    auto spoiled = good;
    spoilers[i](spoiled);
    EXPECT_FALSE(AVAudioFormat::initWithStreamDescription(&spoiled)) << "case " << i;
  }
  EXPECT_FALSE(AVAudioFormat::initWithStreamDescription(nullptr));
  EXPECT_FALSE(AVAudioFormat::initWithCommonFormat(AVAudioOtherFormat, 48000, 2, true));
  EXPECT_FALSE(AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatInt16, 48000, 65, true));
  EXPECT_FALSE(AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatInt16, -1, 2, true));
}

TEST(PCMBuffer, HasOneBufferWhenInterleavedOrMonoAndOnePerChannelOtherwise) {
  struct Case {
    unsigned channels;
    bool interleaved;
    UInt32 buffers;
    UInt32 channelsPerBuffer;
  };
  for (const Case c : {Case{2, true, 1, 2}, Case{1, false, 1, 1}, Case{3, false, 3, 1}}) {
    auto make = [&c] {
      return AVAudioPCMBuffer::initWithPCMFormat(
          AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatFloat32, 48000, c.channels,
                                              c.interleaved),
          100);
    };
    // Leaves dirty memory behind for the next buffer to be given, as a running program would.
    auto dirty = make();
    for (UInt32 i = 0; i < dirty->bufferCount(); ++i) {
      std::memset(dirty->buffers()[i].mData, 0x5A, dirty->bufferCapacityBytes());
    }
    dirty.reset();
    const auto buffer = make();
    ASSERT_TRUE(buffer);
    ASSERT_EQ(buffer->audioBufferList()->mNumberBuffers, c.buffers);
    buffer->setFrameLength(70);
    for (UInt32 i = 0; i < c.buffers; ++i) {
      const AudioBuffer& b = buffer->buffers()[i];
      EXPECT_EQ(b.mNumberChannels, c.channelsPerBuffer);
      EXPECT_EQ(b.mDataByteSize, 70U * 4 * c.channelsPerBuffer);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.mData) % 16, 0U);
      const auto* bytes = static_cast<const unsigned char*>(b.mData);
      for (std::size_t k = 0; k < buffer->bufferCapacityBytes(); ++k) ASSERT_EQ(bytes[k], 0);
      if (i > 0) {
        EXPECT_GE(static_cast<const std::byte*>(b.mData),
                  static_cast<const std::byte*>(buffer->buffers()[i - 1].mData) +
                      buffer->bufferCapacityBytes());
      }
    }
    buffer->setFrameLength(500);
    EXPECT_EQ(buffer->frameLength(), 100U);
  }
}

TEST(PCMBuffer, RefusesAMissingFormatAndOversizedStorage) {
  EXPECT_FALSE(AVAudioPCMBuffer::initWithPCMFormat(nullptr, 10));
  const auto format = AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatFloat64, 48000, 8, true);
  EXPECT_FALSE(AVAudioPCMBuffer::initWithPCMFormat(format, 2'000'000));
}
