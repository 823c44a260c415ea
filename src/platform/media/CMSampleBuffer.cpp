#include "platform/media/CMSampleBuffer.h"

namespace {
constexpr CFAllocator defaultAllocator{};
}  // namespace

const CFAllocatorRef kCFAllocatorDefault = &defaultAllocator;

CMBlockBuffer::CMBlockBuffer(std::vector<Region> regions) : regions_(std::move(regions)) {}

std::size_t CMBlockBuffer::byteSize() const {
  std::size_t total = 0;
  for (const Region& region : regions_) total += region.bytes.size();
  return total;
}

void CMBlockBuffer::describeRegion(std::size_t index, AudioBuffer& buffer) {
  Region& region = regions_[index];
  buffer.mNumberChannels = region.numberChannels;
  buffer.mDataByteSize = static_cast<UInt32>(region.bytes.size());
  buffer.mData = region.bytes.empty() ? nullptr : region.bytes.data();
}

CMSampleBuffer::CMSampleBuffer(CMFormatDescriptionRef format, CMItemCount numSamples,
                               CMBlockBufferRef data, bool valid)
    : format_(std::move(format)), numSamples_(numSamples), data_(std::move(data)), valid_(valid) {}

bool CMSampleBufferIsValid(const CMSampleBufferRef& sbuf) {
  return sbuf && sbuf->isValid();
}

CMFormatDescriptionRef CMSampleBufferGetFormatDescription(const CMSampleBufferRef& sbuf) {
  return sbuf ? sbuf->formatDescription() : nullptr;
}

const AudioStreamBasicDescription* CMAudioFormatDescriptionGetStreamBasicDescription(
    const CMFormatDescriptionRef& desc) {
  return desc ? &desc->streamBasicDescription() : nullptr;
}

CMItemCount CMSampleBufferGetNumSamples(const CMSampleBufferRef& sbuf) {
  return sbuf ? sbuf->numSamples() : 0;
}

OSStatus CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
    const CMSampleBufferRef& sbuf, std::size_t* bufferListSizeNeededOut,
    AudioBufferList* bufferListOut, std::size_t bufferListSize,
    CFAllocatorRef /*blockBufferStructureAllocator*/, CFAllocatorRef /*blockBufferBlockAllocator*/,
    UInt32 /*flags: every region is already 16-byte aligned*/, CMBlockBufferRef* blockBufferOut) {
  if (!sbuf) return kCMSampleBufferError_RequiredParameterMissing;
  const CMBlockBufferRef& data = sbuf->dataBuffer();
  if (!data || data->regionCount() == 0) return kCMSampleBufferError_BufferHasNoSampleSizes;
  const auto count = static_cast<UInt32>(data->regionCount());
  const std::size_t needed = AudioBufferListByteSize(count);
  if (bufferListSizeNeededOut != nullptr) *bufferListSizeNeededOut = needed;
  if (bufferListOut == nullptr) return 0;
  if (bufferListSize < needed) return kCMSampleBufferError_ArrayTooSmall;
  if (blockBufferOut == nullptr) return kCMSampleBufferError_RequiredParameterMissing;
  bufferListOut->mNumberBuffers = count;
  AudioBuffer* buffers = bufferListOut->mBuffers;
  for (UInt32 i = 0; i < count; ++i) data->describeRegion(i, buffers[i]);
  *blockBufferOut = data;
  return 0;
}
