// Captured media samples: a format description, a frame count and audio data held in a
// block buffer, with the calls that read them.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/media/CoreAudioTypes.h"

using CMItemCount = std::int64_t;

// The default allocator; the only one there is.
struct CFAllocator {};
using CFAllocatorRef = const CFAllocator*;
extern const CFAllocatorRef kCFAllocatorDefault;

inline constexpr OSStatus kCMSampleBufferError_RequiredParameterMissing = -12731;
inline constexpr OSStatus kCMSampleBufferError_ArrayTooSmall = -12737;
inline constexpr OSStatus kCMSampleBufferError_BufferHasNoSampleSizes = -12735;
inline constexpr OSStatus kCMSampleBufferError_InvalidMediaFormat = -12743;
inline constexpr UInt32 kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment = 1U << 0;

// A description of audio samples: their stream-format record.
class CMAudioFormatDescription {
 public:
  explicit CMAudioFormatDescription(const AudioStreamBasicDescription& asbd) : asbd_(asbd) {}
  const AudioStreamBasicDescription& streamBasicDescription() const { return asbd_; }

 private:
  AudioStreamBasicDescription asbd_;
};
using CMFormatDescriptionRef = std::shared_ptr<const CMAudioFormatDescription>;

// The memory behind a sample's audio: one region per audio buffer, each 16-byte aligned.
class CMBlockBuffer {
 public:
  struct Region {
    UInt32 numberChannels;
    std::vector<std::byte> bytes;
  };
  explicit CMBlockBuffer(std::vector<Region> regions);

  std::size_t regionCount() const { return regions_.size(); }
  // Bytes of audio in all regions.
  std::size_t byteSize() const;
  // Fills `buffer` to describe region `index`; an empty region has no data pointer.
  void describeRegion(std::size_t index, AudioBuffer& buffer);

 private:
  std::vector<Region> regions_;
};
using CMBlockBufferRef = std::shared_ptr<CMBlockBuffer>;

class CMSampleBuffer {
 public:
  CMSampleBuffer(CMFormatDescriptionRef format, CMItemCount numSamples, CMBlockBufferRef data,
                 bool valid = true);

  bool isValid() const { return valid_; }
  const CMFormatDescriptionRef& formatDescription() const { return format_; }
  CMItemCount numSamples() const { return numSamples_; }
  const CMBlockBufferRef& dataBuffer() const { return data_; }

 private:
  CMFormatDescriptionRef format_;
  CMItemCount numSamples_;
  CMBlockBufferRef data_;
  bool valid_;
};
using CMSampleBufferRef = std::shared_ptr<CMSampleBuffer>;

bool CMSampleBufferIsValid(const CMSampleBufferRef& sbuf);
CMFormatDescriptionRef CMSampleBufferGetFormatDescription(const CMSampleBufferRef& sbuf);
const AudioStreamBasicDescription* CMAudioFormatDescriptionGetStreamBasicDescription(
    const CMFormatDescriptionRef& desc);
CMItemCount CMSampleBufferGetNumSamples(const CMSampleBufferRef& sbuf);

// Fills `bufferListOut` (when given) to point into the sample's audio and hands back a
// reference on the memory behind it. `bufferListSizeNeededOut` (when given) receives the size
// a list needs for this sample. A list smaller than that gives
// kCMSampleBufferError_ArrayTooSmall.
OSStatus CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
    const CMSampleBufferRef& sbuf, std::size_t* bufferListSizeNeededOut,
    AudioBufferList* bufferListOut, std::size_t bufferListSize,
    CFAllocatorRef blockBufferStructureAllocator, CFAllocatorRef blockBufferBlockAllocator,
    UInt32 flags, CMBlockBufferRef* blockBufferOut);
