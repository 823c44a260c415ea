// Owns the memory of an AudioBufferList with any number of buffers.
#pragma once

#include <memory>

#include "platform/media/CoreAudioTypes.h"

class AudioBufferListStorage {
 public:
  // A zeroed list with room for `numberBuffers` buffers; mNumberBuffers is set to that count.
  explicit AudioBufferListStorage(UInt32 numberBuffers);

  AudioBufferList* list() { return reinterpret_cast<AudioBufferList*>(bytes_.get()); }
  const AudioBufferList* list() const {
    return reinterpret_cast<const AudioBufferList*>(bytes_.get());
  }
  std::size_t byteSize() const { return size_; }

  // The buffers as a plain array, so that indexing past the declared one is well defined.
  AudioBuffer* buffers() { return list()->mBuffers; }
  const AudioBuffer* buffers() const { return list()->mBuffers; }

 private:
  std::size_t size_;
  std::unique_ptr<std::byte[]> bytes_;
};
