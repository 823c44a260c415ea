#include "platform/media/AudioBufferListStorage.h"

AudioBufferListStorage::AudioBufferListStorage(UInt32 numberBuffers)
    : size_(AudioBufferListByteSize(numberBuffers)),
      bytes_(std::make_unique<std::byte[]>(size_)) {  // zeroed, and aligned for the list
  list()->mNumberBuffers = numberBuffers;
}
