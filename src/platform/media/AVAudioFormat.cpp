#include "platform/media/AVAudioFormat.h"

#include <cmath>

namespace {

UInt32 bytesOf(AVAudioCommonFormat format) {
  switch (format) {
    case AVAudioPCMFormatFloat32:
    case AVAudioPCMFormatInt32:
      return 4;
    case AVAudioPCMFormatFloat64:
      return 8;
    case AVAudioPCMFormatInt16:
      return 2;
    default:
      return 0;
  }
}

bool isFloat(AVAudioCommonFormat format) {
  return format == AVAudioPCMFormatFloat32 || format == AVAudioPCMFormatFloat64;
}

bool usableRate(double sampleRate) {
  return std::isfinite(sampleRate) && sampleRate > 0.0;
}

bool usableChannels(UInt32 channels) {
  return channels >= 1 && channels <= AVAudioFormat::kMaxChannels;
}

AVAudioCommonFormat commonFormatOf(const AudioStreamBasicDescription& d) {
  const bool floating = (d.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
  const bool signedInt = (d.mFormatFlags & kAudioFormatFlagIsSignedInteger) != 0;
  if (floating && !signedInt) {
    if (d.mBitsPerChannel == 32) return AVAudioPCMFormatFloat32;
    if (d.mBitsPerChannel == 64) return AVAudioPCMFormatFloat64;
  }
  if (signedInt && !floating) {
    if (d.mBitsPerChannel == 16) return AVAudioPCMFormatInt16;
    if (d.mBitsPerChannel == 32) return AVAudioPCMFormatInt32;
  }
  return AVAudioOtherFormat;
}

}  // namespace

AVAudioFormat::AVAudioFormat(AVAudioCommonFormat format,
                             const AudioStreamBasicDescription& description)
    : commonFormat_(format), description_(description) {}

AVAudioFormatRef AVAudioFormat::initWithCommonFormat(AVAudioCommonFormat format, double sampleRate,
                                                     AVAudioChannelCount channels,
                                                     bool interleaved) {
  const UInt32 sampleBytes = bytesOf(format);
  if (sampleBytes == 0 || !usableRate(sampleRate) || !usableChannels(channels)) return nullptr;
  const bool oneBuffer = interleaved || channels == 1;
  AudioStreamBasicDescription d{};
  d.mSampleRate = sampleRate;
  d.mFormatID = kAudioFormatLinearPCM;
  d.mFormatFlags = (isFloat(format) ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger) |
                   kAudioFormatFlagIsPacked | (oneBuffer ? 0 : kAudioFormatFlagIsNonInterleaved);
  d.mBytesPerFrame = oneBuffer ? sampleBytes * channels : sampleBytes;
  d.mBytesPerPacket = d.mBytesPerFrame;
  d.mFramesPerPacket = 1;
  d.mChannelsPerFrame = channels;
  d.mBitsPerChannel = sampleBytes * 8;
  return std::make_shared<const AVAudioFormat>(format, d);
}

AVAudioFormatRef AVAudioFormat::initWithStreamDescription(const AudioStreamBasicDescription* asbd) {
  if (asbd == nullptr || asbd->mFormatID != kAudioFormatLinearPCM) return nullptr;
  if ((asbd->mFormatFlags & kAudioFormatFlagIsBigEndian) != 0) return nullptr;
  const AVAudioCommonFormat format = commonFormatOf(*asbd);
  const bool nonInterleaved = (asbd->mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
  auto made =
      initWithCommonFormat(format, asbd->mSampleRate, asbd->mChannelsPerFrame, !nonInterleaved);
  if (!made) return nullptr;
  // The record must agree with itself: one frame per packet, and frame sizes that match.
  const auto& expected = *made->streamDescription();
  if (asbd->mFramesPerPacket != 1 || asbd->mBytesPerFrame != expected.mBytesPerFrame ||
      asbd->mBytesPerPacket != expected.mBytesPerPacket) {
    return nullptr;
  }
  return made;
}

bool AVAudioFormat::isEqual(const AVAudioFormat& other) const {
  return commonFormat_ == other.commonFormat_ && sampleRate() == other.sampleRate() &&
         channelCount() == other.channelCount() && isInterleaved() == other.isInterleaved();
}
