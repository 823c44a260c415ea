#include "tools/sample-path/StdinSamples.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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
    : input_(std::size_t{1} << 20),
      bytesPerFrame_(channels * 4),
      framesPerSample_(framesPerSample) {
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

bool StdinSamples::refill() {
  // Keep whatever partial sample is left, then top up.
  const std::size_t left = inputEnd_ - inputFrom_;
  std::memmove(input_.data(), input_.data() + inputFrom_, left);
  inputFrom_ = 0;
  inputEnd_ = left + readFully(input_.data() + left, input_.size() - left);
  return inputEnd_ > left;
}

CMSampleBufferRef StdinSamples::next() {
  const std::size_t sampleBytes = std::size_t{framesPerSample_} * bytesPerFrame_;
  if (inputEnd_ - inputFrom_ < sampleBytes) refill();
  const std::size_t available = std::min(sampleBytes, inputEnd_ - inputFrom_);
  const std::size_t frames = available / bytesPerFrame_;
  if (frames == 0) return nullptr;
  const auto* from = input_.data() + inputFrom_;
  std::vector<std::byte> bytes(from, from + frames * bytesPerFrame_);
  inputFrom_ += frames * bytesPerFrame_;
  auto block = std::make_shared<CMBlockBuffer>(
      std::vector<CMBlockBuffer::Region>{{bytesPerFrame_ / 4, std::move(bytes)}});
  return std::make_shared<CMSampleBuffer>(format_, static_cast<CMItemCount>(frames),
                                          std::move(block));
}
