#include "platform/media/AudioBufferListStorage.h"

AudioBufferListStorage::AudioBufferListStorage(UInt32 numberBuffers)
    : size_(AudioBufferListByteSize(numberBuffers)),
      // zeroed, and aligned for the list
      bytes_(numberBuffers > 1 ? std::make_unique<std::byte[]>(size_) : nullptr) {
  list()->mNumberBuffers = numberBuffers;
}
