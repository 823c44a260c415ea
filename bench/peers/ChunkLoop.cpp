#include "ChunkLoop.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Reads until `size` bytes arrived or the input ended; returns what arrived.
std::size_t readFully(void* data, std::size_t size) {
  auto* bytes = static_cast<char*>(data);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(STDIN_FILENO, bytes + got, size - got);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  return got;
}

bool writeFully(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The same rounding and clipping the program uses, so only the resampler differs.
std::int16_t toS16(float sample) {
  return static_cast<std::int16_t>(std::lrintf(std::clamp(sample * 32768.0F, -32768.0F, 32767.0F)));
}

bool writeFrames(const std::vector<float>& frames, bool asFloat) {
  if (asFloat) return writeFully(frames.data(), frames.size() * sizeof(float));
  std::vector<std::int16_t> pcm(frames.size());
  std::transform(frames.begin(), frames.end(), pcm.begin(), toS16);
  return writeFully(pcm.data(), pcm.size() * sizeof(std::int16_t));
}

void averageChannels(const std::vector<float>& interleaved, std::size_t frames,
                     std::size_t channels, std::vector<float>& mono) {
  mono.resize(frames);
  const float scale = 1.0F / static_cast<float>(channels);
  for (std::size_t i = 0; i < frames; ++i) {
    float sum = 0.0F;
    for (std::size_t c = 0; c < channels; ++c) sum += interleaved[i * channels + c];
    mono[i] = sum * scale;
  }
}

}  // namespace

bool runChunkLoop(PeerResampler& resampler, const ChunkLoopOptions& options) {
  const std::size_t frameBytes = options.channels * sizeof(float);
  std::vector<float> interleaved(options.chunkFrames * options.channels);
  std::vector<float> mono;
  std::vector<float> out;
  std::uint64_t framesIn = 0;
  std::uint64_t framesOut = 0;
  for (;;) {
    const std::size_t frames =
        readFully(interleaved.data(), options.chunkFrames * frameBytes) / frameBytes;
    if (frames == 0) break;
    averageChannels(interleaved, frames, options.channels, mono);
    out.clear();
    resampler.process(mono.data(), frames, out);
    if (!writeFrames(out, options.floatOutput)) return false;
    framesIn += frames;
    framesOut += out.size();
    if (options.heldBackLog != nullptr) {
      const auto heldBack =
          static_cast<long long>(framesIn / options.decimation) - static_cast<long long>(framesOut);
      std::fprintf(options.heldBackLog, "%lld\n", heldBack);
    }
  }
  out.clear();
  resampler.flush(out);
  return writeFrames(out, options.floatOutput);
}
