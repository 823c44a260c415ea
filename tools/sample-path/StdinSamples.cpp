#include "tools/sample-path/StdinSamples.h"

#include <unistd.h>

#include <cerrno>

namespace {

// Reads until `size` bytes arrived or the input ended; returns what arrived.
std::size_t readFully(std::byte* data, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(STDIN_FILENO, data + got, size - got);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  return got;
}

}  // namespace

StdinSamples::StdinSamples(double rate, UInt32 channels, UInt32 framesPerSample)
    : bytesPerFrame_(channels * 4), framesPerSample_(framesPerSample) {
  AudioStreamBasicDescription asbd{};
  asbd.mSampleRate = rate;
  asbd.mFormatID = kAudioFormatLinearPCM;
  asbd.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
  asbd.mBytesPerPacket = bytesPerFrame_;
  asbd.mFramesPerPacket = 1;
  asbd.mBytesPerFrame = bytesPerFrame_;
  asbd.mChannelsPerFrame = channels;
  asbd.mBitsPerChannel = 32;
  format_ = std::make_shared<const CMAudioFormatDescription>(asbd);
}

CMSampleBufferRef StdinSamples::next() {
  std::vector<std::byte> bytes(std::size_t{framesPerSample_} * bytesPerFrame_);
  const std::size_t frames = readFully(bytes.data(), bytes.size()) / bytesPerFrame_;
  if (frames == 0) return nullptr;
  bytes.resize(frames * bytesPerFrame_);
  auto block = std::make_shared<CMBlockBuffer>(
      std::vector<CMBlockBuffer::Region>{{bytesPerFrame_ / 4, std::move(bytes)}});
  return std::make_shared<CMSampleBuffer>(format_, static_cast<CMItemCount>(frames),
                                          std::move(block));
}
