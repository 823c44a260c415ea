#include "platform/media/conversion/SampleCoding.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

template <typename T>
float toFloat(T sample);
template <>
float toFloat(float sample) {
  return sample;
}
template <>
float toFloat(double sample) {
  return static_cast<float>(sample);
}
template <>
float toFloat(std::int16_t sample) {
  return static_cast<float>(sample) * (1.0F / 32768.0F);
}
template <>
float toFloat(std::int32_t sample) {
  return static_cast<float>(static_cast<double>(sample) * (1.0 / 2147483648.0));
}

template <typename T>
T fromFloat(float sample);
template <>
float fromFloat(float sample) {
  return sample;
}
template <>
double fromFloat(float sample) {
  return sample;
}
template <>
std::int16_t fromFloat(float sample) {
  const float scaled = std::clamp(sample * 32768.0F, -32768.0F, 32767.0F);
  return static_cast<std::int16_t>(std::lrintf(scaled));
}
template <>
std::int32_t fromFloat(float sample) {
  const double scaled =
      std::clamp(static_cast<double>(sample) * 2147483648.0, -2147483648.0, 2147483647.0);
  return static_cast<std::int32_t>(std::lrint(scaled));
}

// Where sample (frame, channel) lives: the buffer and the step between frames.
struct ChannelView {
  const void* data;
  std::size_t offset;
  std::size_t stride;
};

ChannelView viewOf(const AVAudioPCMBuffer& buffer, UInt32 channel) {
  const UInt32 channels = buffer.format()->channelCount();
  if (buffer.format()->isInterleaved()) return {buffer.buffers()[0].mData, channel, channels};
  return {buffer.buffers()[channel].mData, 0, 1};
}

// The capture service's own layout, interleaved float32, read in one pass per frame.
void readInterleavedFloat(const AVAudioPCMBuffer& buffer, UInt32 workChannels,
                          std::vector<float>& work) {
  const UInt32 channels = buffer.format()->channelCount();
  const AVAudioFrameCount frames = buffer.frameLength();
  const auto* in = static_cast<const float*>(buffer.buffers()[0].mData);
  const std::size_t start = work.size();
  work.resize(start + std::size_t{frames} * workChannels);
  float* out = work.data() + start;
  if (workChannels == channels) {
    std::memcpy(out, in, std::size_t{frames} * channels * sizeof(float));
    return;
  }
  if (channels == 2) {  // the usual case, written so that it vectorises
    for (AVAudioFrameCount f = 0; f < frames; ++f) {
      out[f] = (in[2 * std::size_t{f}] + in[2 * std::size_t{f} + 1]) * 0.5F;
    }
    return;
  }
  const float scale = 1.0F / static_cast<float>(channels);
  for (AVAudioFrameCount f = 0; f < frames; ++f) {
    float sum = 0.0F;
    for (UInt32 c = 0; c < channels; ++c) sum += in[std::size_t{f} * channels + c];
    out[f] = sum * scale;
  }
}

template <typename T>
void readTyped(const AVAudioPCMBuffer& buffer, UInt32 workChannels, std::vector<float>& work) {
  const UInt32 channels = buffer.format()->channelCount();
  const AVAudioFrameCount frames = buffer.frameLength();
  const std::size_t start = work.size();
  work.resize(start + std::size_t{frames} * workChannels, 0.0F);
  float* out = work.data() + start;
  const bool mixing = workChannels != channels;
  const float scale = mixing ? 1.0F / static_cast<float>(channels) : 1.0F;
  for (UInt32 c = 0; c < channels; ++c) {
    const ChannelView view = viewOf(buffer, c);
    const T* in = static_cast<const T*>(view.data) + view.offset;
    float* target = out + (mixing ? 0 : c);
    for (AVAudioFrameCount f = 0; f < frames; ++f) {
      target[std::size_t{f} * workChannels] += toFloat(in[std::size_t{f} * view.stride]) * scale;
    }
  }
}

// Contiguous floats to contiguous 16-bit samples, as fromFloat<std::int16_t> does one at a
// time: the output's common case, eight at once where the processor allows.
void writeContiguousInt16(const float* in, AVAudioFrameCount frames, std::int16_t* out) {
  AVAudioFrameCount f = 0;
#if defined(__SSE2__)
  const __m128 scale = _mm_set1_ps(32768.0F);
  const __m128 low = _mm_set1_ps(-32768.0F);
  const __m128 high = _mm_set1_ps(32767.0F);
  auto scaled = [&](const float* from) {
    const __m128 x = _mm_mul_ps(_mm_loadu_ps(from), scale);
    // NaN becomes 0 as the one-at-a-time path makes it; the operand order of max and min
    // would otherwise let it through to the conversion.
    const __m128 number = _mm_and_ps(x, _mm_cmpord_ps(x, x));
    // Rounds to nearest, ties to even, under the current rounding mode, as lrintf does.
    return _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(number, low), high));
  };
  for (; f + 8 <= frames; f += 8) {
    const __m128i packed = _mm_packs_epi32(scaled(in + f), scaled(in + f + 4));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + f), packed);
  }
#endif
  for (; f < frames; ++f) out[f] = fromFloat<std::int16_t>(in[f]);
}

template <typename T>
void writeTyped(const float* work, UInt32 workChannels, AVAudioFrameCount frames,
                AVAudioPCMBuffer& buffer, AVAudioFrameCount at) {
  const UInt32 channels = buffer.format()->channelCount();
  for (UInt32 c = 0; c < channels; ++c) {
    const ChannelView view = viewOf(buffer, c);
    T* out =
        static_cast<T*>(const_cast<void*>(view.data)) + view.offset + std::size_t{at} * view.stride;
    const float* in = work + (workChannels == 1 ? 0 : c);
    if constexpr (std::is_same_v<T, std::int16_t>) {
      if (workChannels == 1 && view.stride == 1) {
        writeContiguousInt16(in, frames, out);
        continue;
      }
    }
    for (AVAudioFrameCount f = 0; f < frames; ++f) {
      out[std::size_t{f} * view.stride] = fromFloat<T>(in[std::size_t{f} * workChannels]);
    }
  }
}

}  // namespace

void readFrames(const AVAudioPCMBuffer& buffer, UInt32 workChannels, std::vector<float>& work) {
  switch (buffer.format()->commonFormat()) {
    case AVAudioPCMFormatFloat32:
      if (buffer.format()->isInterleaved()) return readInterleavedFloat(buffer, workChannels, work);
      return readTyped<float>(buffer, workChannels, work);
    case AVAudioPCMFormatFloat64:
      return readTyped<double>(buffer, workChannels, work);
    case AVAudioPCMFormatInt16:
      return readTyped<std::int16_t>(buffer, workChannels, work);
    case AVAudioPCMFormatInt32:
      return readTyped<std::int32_t>(buffer, workChannels, work);
    default:
      return;
  }
}

void writeFrames(const float* work, UInt32 workChannels, AVAudioFrameCount frames,
                 AVAudioPCMBuffer& buffer, AVAudioFrameCount at) {
  switch (buffer.format()->commonFormat()) {
    case AVAudioPCMFormatFloat32:
      return writeTyped<float>(work, workChannels, frames, buffer, at);
    case AVAudioPCMFormatFloat64:
      return writeTyped<double>(work, workChannels, frames, buffer, at);
    case AVAudioPCMFormatInt16:
      return writeTyped<std::int16_t>(work, workChannels, frames, buffer, at);
    case AVAudioPCMFormatInt32:
      return writeTyped<std::int32_t>(work, workChannels, frames, buffer, at);
    default:
      return;
  }
}

void copyFrames(const AVAudioPCMBuffer& from, AVAudioFrameCount fromFrame, AVAudioPCMBuffer& to,
                AVAudioFrameCount toFrame, AVAudioFrameCount frames) {
  const std::size_t frameBytes = from.format()->bytesPerFrame();
  for (UInt32 i = 0; i < from.bufferCount(); ++i) {
    const auto* source = static_cast<const std::byte*>(from.buffers()[i].mData);
    auto* target = static_cast<std::byte*>(to.buffers()[i].mData);
    std::memcpy(target + frameBytes * toFrame, source + frameBytes * fromFrame,
                frameBytes * frames);
  }
}
