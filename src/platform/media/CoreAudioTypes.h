// The CoreAudio records that formats, buffers and samples carry.
#pragma once

#include <cstddef>
#include <cstdint>

using Float64 = double;
using UInt32 = std::uint32_t;
using SInt64 = std::int64_t;
using OSStatus = std::int32_t;

using AudioFormatID = UInt32;
using AudioFormatFlags = UInt32;

inline constexpr AudioFormatID kAudioFormatLinearPCM = 0x6c70636d;  // 'lpcm'

inline constexpr AudioFormatFlags kAudioFormatFlagIsFloat = 1U << 0;
inline constexpr AudioFormatFlags kAudioFormatFlagIsBigEndian = 1U << 1;
inline constexpr AudioFormatFlags kAudioFormatFlagIsSignedInteger = 1U << 2;
inline constexpr AudioFormatFlags kAudioFormatFlagIsPacked = 1U << 3;
inline constexpr AudioFormatFlags kAudioFormatFlagIsNonInterleaved = 1U << 5;

struct AudioStreamBasicDescription {
  Float64 mSampleRate;
  AudioFormatID mFormatID;
  AudioFormatFlags mFormatFlags;
  UInt32 mBytesPerPacket;
  UInt32 mFramesPerPacket;
  UInt32 mBytesPerFrame;
  UInt32 mChannelsPerFrame;
  UInt32 mBitsPerChannel;
  UInt32 mReserved;
};

struct AudioBuffer {
  UInt32 mNumberChannels;
  UInt32 mDataByteSize;
  void* mData;
};

// A list declared with one buffer; lists with more buffers are laid out in a larger block
// (see AudioBufferListStorage) and reach their further buffers through mBuffers as a pointer.
struct AudioBufferList {
  UInt32 mNumberBuffers;
  AudioBuffer mBuffers[1];
};

static_assert(sizeof(AudioBuffer) == 16, "AudioBuffer must keep the platform's layout");
static_assert(sizeof(AudioBufferList) == 24, "a one-buffer list is 24 bytes on 64-bit targets");

// Bytes a list with the given number of buffers occupies.
constexpr std::size_t AudioBufferListByteSize(UInt32 numberBuffers) {
  return offsetof(AudioBufferList, mBuffers) +
         sizeof(AudioBuffer) * (numberBuffers == 0 ? 1 : numberBuffers);
}
