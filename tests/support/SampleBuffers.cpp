#include "support/SampleBuffers.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>

namespace {

std::size_t bytesOf(AVAudioCommonFormat type) {
  return type == AVAudioPCMFormatInt16 ? 2 : type == AVAudioPCMFormatFloat64 ? 8 : 4;
}

void encodeOne(double value, AVAudioCommonFormat type, std::byte* to) {
  auto put = [to](auto sample) { std::memcpy(to, &sample, sizeof sample); };
  switch (type) {
    case AVAudioPCMFormatInt16:
      return put(static_cast<std::int16_t>(std::lround(value * 32767.0)));
    case AVAudioPCMFormatInt32:
      return put(static_cast<std::int32_t>(std::llround(value * 2147483647.0)));
    case AVAudioPCMFormatFloat64:
      return put(value);
    default:
      return put(static_cast<float>(value));
  }
}

double decodeOne(AVAudioCommonFormat type, const std::byte* from) {
  auto get = [from](auto sample) {
    std::memcpy(&sample, from, sizeof sample);
    return sample;
  };
  switch (type) {
    case AVAudioPCMFormatInt16:
      return get(std::int16_t{}) / 32768.0;
    case AVAudioPCMFormatInt32:
      return get(std::int32_t{}) / 2147483648.0;
    case AVAudioPCMFormatFloat64:
      return get(double{});
    default:
      return get(float{});
  }
}

}  // namespace

ChannelSamples sineChannels(const Tone& tone, unsigned channels, std::size_t frames,
                            std::size_t firstFrame) {
  std::vector<double> wave(frames);
  for (std::size_t f = 0; f < frames; ++f) {
    const double t = static_cast<double>(firstFrame + f) / tone.sampleRate;
    wave[f] = tone.amplitude * std::sin(2.0 * std::numbers::pi * tone.frequency * t);
  }
  return ChannelSamples(channels, wave);
}

ChannelSamples sliceFrames(const ChannelSamples& samples, std::size_t first, std::size_t count) {
  ChannelSamples slice;
  for (const auto& channel : samples) {
    const auto begin = channel.begin() + static_cast<std::ptrdiff_t>(first);
    slice.emplace_back(begin, begin + static_cast<std::ptrdiff_t>(count));
  }
  return slice;
}

AudioStreamBasicDescription describePCM(AVAudioCommonFormat type, double rate, unsigned channels,
                                        bool interleaved) {
  const bool floating = type == AVAudioPCMFormatFloat32 || type == AVAudioPCMFormatFloat64;
  const auto sampleBytes = static_cast<UInt32>(bytesOf(type));
  const bool oneBuffer = interleaved || channels == 1;
  AudioStreamBasicDescription d{};
  d.mSampleRate = rate;
  d.mFormatID = kAudioFormatLinearPCM;
  d.mFormatFlags = (floating ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger) |
                   kAudioFormatFlagIsPacked | (oneBuffer ? 0 : kAudioFormatFlagIsNonInterleaved);
  d.mBytesPerFrame = oneBuffer ? sampleBytes * channels : sampleBytes;
  d.mBytesPerPacket = d.mBytesPerFrame;
  d.mFramesPerPacket = 1;
  d.mChannelsPerFrame = channels;
  d.mBitsPerChannel = sampleBytes * 8;
  return d;
}

std::vector<CMBlockBuffer::Region> encodeRegions(const ChannelSamples& samples,
                                                 AVAudioCommonFormat type, bool interleaved) {
  const std::size_t channels = samples.size();
  const std::size_t frames = channels == 0 ? 0 : samples[0].size();
  const std::size_t size = bytesOf(type);
  std::vector<CMBlockBuffer::Region> regions;
  if (interleaved) {
    regions.push_back(
        {static_cast<UInt32>(channels), std::vector<std::byte>(frames * channels * size)});
    for (std::size_t f = 0; f < frames; ++f) {
      for (std::size_t c = 0; c < channels; ++c) {
        encodeOne(samples[c][f], type, regions[0].bytes.data() + (f * channels + c) * size);
      }
    }
    return regions;
  }
  for (const auto& channel : samples) {
    regions.push_back({1, std::vector<std::byte>(frames * size)});
    for (std::size_t f = 0; f < frames; ++f) {
      encodeOne(channel[f], type, regions.back().bytes.data() + f * size);
    }
  }
  return regions;
}

CMSampleBufferRef makeSampleBuffer(const ChannelSamples& samples, const SampleLayout& layout) {
  const auto channels = static_cast<unsigned>(samples.size());
  auto description = std::make_shared<const CMAudioFormatDescription>(
      describePCM(layout.type, layout.sampleRate, channels, layout.interleaved));
  auto data = std::make_shared<CMBlockBuffer>(
      encodeRegions(samples, layout.type, layout.interleaved || channels == 1));
  return std::make_shared<CMSampleBuffer>(std::move(description),
                                          static_cast<CMItemCount>(samples.at(0).size()), data);
}

CMSampleBufferRef captureToneSample(std::size_t index) {
  constexpr std::size_t kFrames = 480;
  return makeSampleBuffer(sineChannels(Tone{}, 2, kFrames, index * kFrames), SampleLayout{});
}

AVAudioPCMBufferRef makePCMBuffer(const ChannelSamples& samples, const SampleLayout& layout) {
  const auto channels = static_cast<unsigned>(samples.size());
  const auto frames = static_cast<AVAudioFrameCount>(samples.at(0).size());
  auto format = AVAudioFormat::initWithCommonFormat(layout.type, layout.sampleRate, channels,
                                                    layout.interleaved);
  auto buffer = AVAudioPCMBuffer::initWithPCMFormat(format, frames);
  if (!buffer) return nullptr;
  buffer->setFrameLength(frames);
  const auto regions = encodeRegions(samples, layout.type, format->bufferCount() == 1);
  for (std::size_t i = 0; i < regions.size(); ++i) {
    std::memcpy(buffer->buffers()[i].mData, regions[i].bytes.data(), regions[i].bytes.size());
  }
  return buffer;
}

ChannelSamples readPCMBuffer(const AVAudioPCMBuffer& buffer) {
  const AVAudioFormat& format = *buffer.format();
  const std::size_t channels = format.channelCount();
  const std::size_t size = format.bytesPerSample();
  ChannelSamples samples(channels, std::vector<double>(buffer.frameLength()));
  for (std::size_t c = 0; c < channels; ++c) {
    const bool interleaved = format.isInterleaved();
    const auto* base = static_cast<const std::byte*>(buffer.buffers()[interleaved ? 0 : c].mData);
    for (std::size_t f = 0; f < buffer.frameLength(); ++f) {
      const std::size_t at = interleaved ? (f * channels + c) * size : f * size;
      samples[c][f] = decodeOne(format.commonFormat(), base + at);
    }
  }
  return samples;
}

std::vector<double> decodeInt16(const std::vector<std::byte>& bytes) {
  std::vector<double> values(bytes.size() / 2);
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = decodeOne(AVAudioPCMFormatInt16, bytes.data() + 2 * i);
  }
  return values;
}
