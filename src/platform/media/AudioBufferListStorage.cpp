#include "platform/media/AudioBufferListStorage.h"

#include <cstring>

namespace {
std::size_t wordsFor(std::size_t bytes) {
  return (bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
}
}  // namespace

AudioBufferListStorage::AudioBufferListStorage(UInt32 numberBuffers)
    : size_(AudioBufferListByteSize(numberBuffers)),
      bytes_(std::make_unique<std::max_align_t[]>(wordsFor(size_))) {
  std::memset(bytes_.get(), 0, size_);  // value-initialisation leaves max_align_t's padding
  list()->mNumberBuffers = numberBuffers;
}
