// Owns the memory of an AudioBufferList with any number of buffers.
#pragma once

#include <memory>

#include "platform/media/CoreAudioTypes.h"

class AudioBufferListStorage {
 public:
  // A zeroed list with room for `numberBuffers` buffers; mNumberBuffers is set to that count.
  explicit AudioBufferListStorage(UInt32 numberBuffers);

  AudioBufferList* list() {
    return bytes_ ? reinterpret_cast<AudioBufferList*>(bytes_.get()) : &oneBuffer_;
  }
  const AudioBufferList* list() const {
    return bytes_ ? reinterpret_cast<const AudioBufferList*>(bytes_.get()) : &oneBuffer_;
  }
  std::size_t byteSize() const { return size_; }

  // The buffers as a plain array, so that indexing past the declared one is well defined.
  AudioBuffer* buffers() { return list()->mBuffers; }
  const AudioBuffer* buffers() const { return list()->mBuffers; }

 private:
  std::size_t size_;
  std::unique_ptr<std::byte[]> bytes_;  // lists of more than one buffer
  // A list of one buffer, the common case, lives here: a buffer or sample per fragment then
  // costs no allocation for its list.
  AudioBufferList oneBuffer_{};
};
