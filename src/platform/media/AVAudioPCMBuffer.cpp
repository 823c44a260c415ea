#include "platform/media/AVAudioPCMBuffer.h"

#include <algorithm>

namespace {

// Each buffer starts on a 16-byte boundary, as the platform's buffers do.
std::size_t alignedBufferBytes(const AVAudioFormat& format, AVAudioFrameCount frames) {
  const std::size_t bytes = std::size_t{format.bytesPerFrame()} * frames;
  return (bytes + 15) & ~std::size_t{15};
}

}  // namespace

AVAudioPCMBufferRef AVAudioPCMBuffer::initWithPCMFormat(AVAudioFormatRef format,
                                                        AVAudioFrameCount frameCapacity) {
  if (!format) return nullptr;
  const std::size_t perBuffer = std::size_t{format->bytesPerFrame()} * frameCapacity;
  if (perBuffer * format->bufferCount() > kMaxStorageBytes) return nullptr;
  return std::make_shared<AVAudioPCMBuffer>(std::move(format), frameCapacity);
}

AVAudioPCMBuffer::AVAudioPCMBuffer(AVAudioFormatRef format, AVAudioFrameCount frameCapacity)
    : format_(std::move(format)),
      frameCapacity_(frameCapacity),
      // Zero-filled, so audio a sample does not supply reads as silence; operator new[]
      // aligns it for any sample type.
      storage_(std::make_unique<std::byte[]>(alignedBufferBytes(*format_, frameCapacity_) *
                                             format_->bufferCount())),
      bufferList_(format_->bufferCount()) {
  const std::size_t stride = alignedBufferBytes(*format_, frameCapacity_);
  std::byte* base = storage_.get();
  const UInt32 channelsPerBuffer = format_->isInterleaved() ? format_->channelCount() : 1;
  for (UInt32 i = 0; i < bufferCount(); ++i) {
    buffers()[i].mNumberChannels = channelsPerBuffer;
    buffers()[i].mData = base + stride * i;
    if (format_->commonFormat() != AVAudioPCMFormatInt16) continue;
    if (bufferCount() == 1) {
      int16Channel_ = static_cast<std::int16_t*>(buffers()[i].mData);
    } else {
      int16Channels_.push_back(static_cast<std::int16_t*>(buffers()[i].mData));
    }
  }
  setFrameLength(0);
}

void AVAudioPCMBuffer::setFrameLength(AVAudioFrameCount frameLength) {
  frameLength_ = std::min(frameLength, frameCapacity_);
  const UInt32 bytes = format_->bytesPerFrame() * frameLength_;
  for (UInt32 i = 0; i < bufferCount(); ++i) buffers()[i].mDataByteSize = bytes;
}

std::int16_t* const* AVAudioPCMBuffer::int16ChannelData() const {
  if (int16Channel_ != nullptr) return &int16Channel_;
  return int16Channels_.empty() ? nullptr : int16Channels_.data();
}
