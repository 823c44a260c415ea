// An audio format: sample type, rate, channel count and layout of linear PCM.
#pragma once

#include <memory>

#include "platform/media/CoreAudioTypes.h"

using AVAudioChannelCount = UInt32;

enum AVAudioCommonFormat : unsigned {
  AVAudioOtherFormat = 0,
  AVAudioPCMFormatFloat32 = 1,
  AVAudioPCMFormatFloat64 = 2,
  AVAudioPCMFormatInt16 = 3,
  AVAudioPCMFormatInt32 = 4,
};

class AVAudioFormat;
using AVAudioFormatRef = std::shared_ptr<const AVAudioFormat>;

class AVAudioFormat {
 public:
  // Formats with more channels than this are refused.
  static constexpr AVAudioChannelCount kMaxChannels = 64;

  // A format of one of the common sample types, or nothing when the arguments describe none.
  static AVAudioFormatRef initWithCommonFormat(AVAudioCommonFormat format, double sampleRate,
                                               AVAudioChannelCount channels, bool interleaved);
  // The format a stream description describes, or nothing when it is not packed native-endian
  // linear PCM of a common sample type.
  static AVAudioFormatRef initWithStreamDescription(const AudioStreamBasicDescription* asbd);

  AVAudioCommonFormat commonFormat() const { return commonFormat_; }
  double sampleRate() const { return description_.mSampleRate; }
  AVAudioChannelCount channelCount() const { return description_.mChannelsPerFrame; }
  bool isInterleaved() const {
    return !(description_.mFormatFlags & kAudioFormatFlagIsNonInterleaved);
  }
  const AudioStreamBasicDescription* streamDescription() const { return &description_; }

  UInt32 bytesPerSample() const { return description_.mBitsPerChannel / 8; }
  // Bytes of one frame in one buffer: all channels when interleaved, one otherwise.
  UInt32 bytesPerFrame() const { return description_.mBytesPerFrame; }
  // Buffers that hold a frame: one when interleaved (or mono), one per channel otherwise.
  UInt32 bufferCount() const { return isInterleaved() ? 1 : channelCount(); }

  bool isEqual(const AVAudioFormat& other) const;
  bool operator==(const AVAudioFormat& other) const { return isEqual(other); }

  AVAudioFormat(AVAudioCommonFormat format, const AudioStreamBasicDescription& description);

 private:
  AVAudioCommonFormat commonFormat_;
  AudioStreamBasicDescription description_;
};
