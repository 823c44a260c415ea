#include "audio/SampleBufferUnpacking.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

#include "platform/media/AudioBufferListStorage.h"

namespace {

constexpr std::size_t kOneBufferListSize = sizeof(AudioBufferList);

// The sample's audio list with a reference that keeps its memory alive, or nothing. Tries a
// one-buffer list first, which is what interleaved audio needs, and sizes the list to the
// sample when that is too small.
struct RetainedAudio {
  AudioBufferListStorage list;
  CMBlockBufferRef blockBuffer;
};

std::optional<RetainedAudio> retainAudio(const CMSampleBufferRef& sampleBuffer) {
  RetainedAudio audio{AudioBufferListStorage(1), nullptr};
  audio.list.list()->mNumberBuffers = 0;
  std::size_t sizeNeeded = 0;
  OSStatus status = CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
      sampleBuffer, &sizeNeeded, audio.list.list(), kOneBufferListSize, kCFAllocatorDefault,
      kCFAllocatorDefault, kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment,
      &audio.blockBuffer);
  if (status == kCMSampleBufferError_ArrayTooSmall && sizeNeeded > kOneBufferListSize) {
    const auto buffers = static_cast<UInt32>((sizeNeeded - offsetof(AudioBufferList, mBuffers)) /
                                             sizeof(AudioBuffer));
    audio.list = AudioBufferListStorage(buffers);
    status = CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
        sampleBuffer, &sizeNeeded, audio.list.list(), audio.list.byteSize(), kCFAllocatorDefault,
        kCFAllocatorDefault, kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment,
        &audio.blockBuffer);
  }
  if (status != 0) return std::nullopt;
  return audio;
}

// Copies each source buffer into the matching buffer of the PCM buffer, as far as both reach.
void copyAudio(const AudioBufferListStorage& source, AVAudioPCMBuffer& pcm) {
  const UInt32 count = std::min(source.list()->mNumberBuffers, pcm.bufferCount());
  for (UInt32 i = 0; i < count; ++i) {
    const AudioBuffer& from = source.buffers()[i];
    AudioBuffer& to = pcm.buffers()[i];
    if (from.mData == nullptr || to.mData == nullptr) continue;
    std::memcpy(to.mData, from.mData, std::min(to.mDataByteSize, from.mDataByteSize));
  }
}

}  // namespace

AVAudioPCMBufferRef toAVAudioPCMBuffer(const CMSampleBufferRef& sampleBuffer) {
  const CMFormatDescriptionRef description = CMSampleBufferGetFormatDescription(sampleBuffer);
  if (!description) return nullptr;
  const AudioStreamBasicDescription* record =
      CMAudioFormatDescriptionGetStreamBasicDescription(description);
  if (record == nullptr) return nullptr;
  const AudioStreamBasicDescription streamDescription = *record;
  const AVAudioFormatRef format = AVAudioFormat::initWithStreamDescription(&streamDescription);
  if (!format) return nullptr;

  const CMItemCount frames = CMSampleBufferGetNumSamples(sampleBuffer);
  if (frames < 1 || frames > std::numeric_limits<AVAudioFrameCount>::max()) return nullptr;
  AVAudioPCMBufferRef pcm =
      AVAudioPCMBuffer::initWithPCMFormat(format, static_cast<AVAudioFrameCount>(frames));
  if (!pcm) return nullptr;
  pcm->setFrameLength(static_cast<AVAudioFrameCount>(frames));

  std::optional<RetainedAudio> audio = retainAudio(sampleBuffer);
  if (!audio) return nullptr;
  copyAudio(audio->list, *pcm);
  return pcm;  // the block buffer reference goes with `audio`
}
