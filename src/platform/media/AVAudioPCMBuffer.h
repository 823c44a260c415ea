// A buffer of PCM audio in one format, with its own zero-filled storage and buffer list.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/media/AVAudioFormat.h"
#include "platform/media/AudioBufferListStorage.h"

using AVAudioFrameCount = UInt32;
using AVAudioPacketCount = UInt32;

class AVAudioPCMBuffer;
using AVAudioPCMBufferRef = std::shared_ptr<AVAudioPCMBuffer>;

class AVAudioPCMBuffer {
 public:
  // Buffers larger than this are refused rather than allocated.
  static constexpr std::size_t kMaxStorageBytes = std::size_t{16} << 20;

  // A buffer with room for `frameCapacity` frames, all zero, frame length 0; nothing when the
  // format is missing or the storage would exceed kMaxStorageBytes.
  static AVAudioPCMBufferRef initWithPCMFormat(AVAudioFormatRef format,
                                               AVAudioFrameCount frameCapacity);

  const AVAudioFormatRef& format() const { return format_; }
  AVAudioFrameCount frameCapacity() const { return frameCapacity_; }
  AVAudioFrameCount frameLength() const { return frameLength_; }
  // Sets the valid frames (at most the capacity) and the byte sizes in the buffer list.
  void setFrameLength(AVAudioFrameCount frameLength);

  AudioBufferList* mutableAudioBufferList() { return bufferList_.list(); }
  // The buffers of the buffer list as an array of bufferCount() entries.
  AudioBuffer* buffers() { return bufferList_.buffers(); }
  const AudioBuffer* buffers() const { return bufferList_.buffers(); }
  UInt32 bufferCount() const { return format_->bufferCount(); }

  // The channel pointers for 16-bit integer formats (one pointer when interleaved); nothing
  // otherwise.
  std::int16_t* const* int16ChannelData() const;

  AVAudioPCMBuffer(AVAudioFormatRef format, AVAudioFrameCount frameCapacity);

 private:
  AVAudioFormatRef format_;
  AVAudioFrameCount frameCapacity_;
  AVAudioFrameCount frameLength_ = 0;
  std::unique_ptr<std::byte[]> storage_;
  AudioBufferListStorage bufferList_;
  std::int16_t* int16Channel_ = nullptr;      // the one 16-bit buffer's samples
  std::vector<std::int16_t*> int16Channels_;  // or those of each, when there are more
};
