// Formats, PCM buffers and the CoreMedia calls that read a sample's audio list.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "platform/media/AVAudioPCMBuffer.h"
#include "platform/media/CMSampleBuffer.h"
#include "support/SampleBuffers.h"

namespace {

bool sameRecord(const AudioStreamBasicDescription& a, const AudioStreamBasicDescription& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST(AudioFormat, RecordMatchesTheTypeAndLayoutAndSurvivesARoundTrip) {
  for (auto type : {AVAudioPCMFormatInt16, AVAudioPCMFormatInt32, AVAudioPCMFormatFloat32,
                    AVAudioPCMFormatFloat64}) {
    for (unsigned channels : {1U, 2U, 6U}) {
      for (bool interleaved : {true, false}) {
        SCOPED_TRACE(testing::Message() << type << "/" << channels << "/" << interleaved);
        const auto format = AVAudioFormat::initWithCommonFormat(type, 44100, channels, interleaved);
        ASSERT_TRUE(format);
        EXPECT_TRUE(sameRecord(*format->streamDescription(),
                               describePCM(type, 44100, channels, interleaved)));
        EXPECT_EQ(format->isInterleaved(), interleaved || channels == 1);
        const auto back = AVAudioFormat::initWithStreamDescription(format->streamDescription());
        ASSERT_TRUE(back);
        EXPECT_TRUE(back->isEqual(*format));
        EXPECT_EQ(back->commonFormat(), type);
      }
    }
  }
}

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

TEST(AudioFormat, EqualityLooksAtTypeRateChannelsAndLayout) {
  const auto base = AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatFloat32, 48000, 2, true);
  EXPECT_TRUE(*base ==
              *AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatFloat32, 48000, 2, true));
  EXPECT_FALSE(*base ==
               *AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatInt32, 48000, 2, true));
  EXPECT_FALSE(*base ==
               *AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatFloat32, 44100, 2, true));
  EXPECT_FALSE(*base ==
               *AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatFloat32, 48000, 1, true));
  EXPECT_FALSE(*base ==
               *AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatFloat32, 48000, 2, false));
  // Mono has one layout only.
  EXPECT_TRUE(*AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatInt16, 8000, 1, true) ==
              *AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatInt16, 8000, 1, false));
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

TEST(PCMBuffer, Int16ChannelDataOnlyForInt16) {
  auto make = [](AVAudioCommonFormat type, bool interleaved) {
    return AVAudioPCMBuffer::initWithPCMFormat(
        AVAudioFormat::initWithCommonFormat(type, 16000, 2, interleaved), 10);
  };
  const auto planar = make(AVAudioPCMFormatInt16, false);
  ASSERT_NE(planar->int16ChannelData(), nullptr);
  EXPECT_EQ(planar->int16ChannelData()[1], planar->buffers()[1].mData);
  const auto interleaved = make(AVAudioPCMFormatInt16, true);
  ASSERT_NE(interleaved->int16ChannelData(), nullptr);
  EXPECT_EQ(interleaved->int16ChannelData()[0], interleaved->buffers()[0].mData);
  EXPECT_EQ(make(AVAudioPCMFormatFloat32, true)->int16ChannelData(), nullptr);
  EXPECT_EQ(make(AVAudioPCMFormatInt32, false)->int16ChannelData(), nullptr);
}

TEST(PCMBuffer, RefusesAMissingFormatAndOversizedStorage) {
  EXPECT_FALSE(AVAudioPCMBuffer::initWithPCMFormat(nullptr, 10));
  const auto format = AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatFloat64, 48000, 8, true);
  EXPECT_FALSE(AVAudioPCMBuffer::initWithPCMFormat(format, 2'000'000));
}

TEST(SampleBufferAudioList, SizesAndStatuses) {
  EXPECT_EQ(sizeof(AudioBufferList), 24U);
  EXPECT_EQ(AudioBufferListByteSize(2), 40U);
  const auto planar =
      makeSampleBuffer(sineChannels({}, 2, 480), {AVAudioPCMFormatInt16, 48000, false});
  std::size_t needed = 0;
  AudioBufferList one{};
  CMBlockBufferRef block;
  auto get = [&](const CMSampleBufferRef& sample, AudioBufferList* list, std::size_t size,
                 CMBlockBufferRef* out) {
    return CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
        sample, &needed, list, size, kCFAllocatorDefault, kCFAllocatorDefault, 0, out);
  };
  EXPECT_EQ(get(planar, &one, sizeof one, &block), kCMSampleBufferError_ArrayTooSmall);
  EXPECT_EQ(needed, 40U);
  EXPECT_FALSE(block);
  EXPECT_EQ(get(planar, nullptr, 0, nullptr), 0);  // asks for the size only
  EXPECT_EQ(get(nullptr, &one, sizeof one, &block), kCMSampleBufferError_RequiredParameterMissing);
  const auto noData = std::make_shared<CMSampleBuffer>(planar->formatDescription(), 480, nullptr);
  EXPECT_EQ(get(noData, &one, sizeof one, &block), kCMSampleBufferError_BufferHasNoSampleSizes);

  const auto interleaved = makeSampleBuffer(sineChannels({}, 2, 480), {});
  ASSERT_EQ(get(interleaved, &one, sizeof one, &block), 0);
  EXPECT_EQ(needed, 24U);
  EXPECT_EQ(block, interleaved->dataBuffer());
  EXPECT_EQ(one.mNumberBuffers, 1U);
  EXPECT_EQ(one.mBuffers[0].mDataByteSize, 480U * 8);
  EXPECT_EQ(one.mBuffers[0].mNumberChannels, 2U);
}

TEST(SampleBufferAudioList, ValidityAndAccessorsToleratesNothingGiven) {
  const auto sample = makeSampleBuffer(sineChannels({}, 1, 10), {});
  EXPECT_TRUE(CMSampleBufferIsValid(sample));
  EXPECT_EQ(CMSampleBufferGetNumSamples(sample), 10);
  sample->invalidate();
  EXPECT_FALSE(CMSampleBufferIsValid(sample));
  EXPECT_FALSE(CMSampleBufferIsValid(nullptr));
  EXPECT_EQ(CMSampleBufferGetNumSamples(nullptr), 0);
  EXPECT_FALSE(CMSampleBufferGetFormatDescription(nullptr));
  EXPECT_EQ(CMAudioFormatDescriptionGetStreamBasicDescription(nullptr), nullptr);
}
