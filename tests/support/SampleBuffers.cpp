#include "support/SampleBuffers.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>

#include "audio/SampleBufferUnpacking.h"

namespace {

std::vector<std::byte> interleave(const ChannelSamples& samples) {
  std::vector<float> values;
  for (std::size_t f = 0; f < samples[0].size(); ++f) {
    for (const auto& channel : samples) values.push_back(channel[f]);
  }
  std::vector<std::byte> bytes(values.size() * sizeof(float));
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

}  // namespace

ChannelSamples sineChannels(unsigned channels, std::size_t frames, double frequency, double rate,
                            std::size_t first) {
  std::vector<float> wave(frames);
  for (std::size_t f = 0; f < frames; ++f) {
    wave[f] = static_cast<float>(
        0.5 * std::sin(2.0 * std::numbers::pi * frequency * static_cast<double>(first + f) / rate));
  }
  return ChannelSamples(channels, wave);
}

CMSampleBufferRef makeSampleBuffer(const ChannelSamples& samples, bool planar, double rate) {
  const auto channels = static_cast<UInt32>(samples.size());
  AudioStreamBasicDescription d{};
  d.mSampleRate = rate;
  d.mFormatID = kAudioFormatLinearPCM;
  d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked |
                   (planar ? kAudioFormatFlagIsNonInterleaved : 0);
  d.mBytesPerPacket = d.mBytesPerFrame = planar ? 4 : 4 * channels;
  d.mFramesPerPacket = 1;
  d.mChannelsPerFrame = channels;
  d.mBitsPerChannel = 32;
  std::vector<CMBlockBuffer::Region> regions;
  if (!planar) regions.push_back({channels, interleave(samples)});
  for (const auto& channel : planar ? samples : ChannelSamples{}) {
    regions.push_back({1, interleave({channel})});
  }
  return std::make_shared<CMSampleBuffer>(std::make_shared<const CMAudioFormatDescription>(d),
                                          static_cast<CMItemCount>(samples[0].size()),
                                          std::make_shared<CMBlockBuffer>(std::move(regions)));
}

AVAudioPCMBufferRef makePCMBuffer(const ChannelSamples& samples, double rate) {
  return toAVAudioPCMBuffer(makeSampleBuffer(samples, false, rate));
}

ChannelSamples readPCMBuffer(const AVAudioPCMBuffer& buffer) {
  const std::size_t channels = buffer.format()->channelCount();
  const bool interleaved = buffer.format()->isInterleaved();
  ChannelSamples samples(channels, std::vector<float>(buffer.frameLength()));
  for (std::size_t c = 0; c < channels; ++c) {
    const auto* base = static_cast<const float*>(buffer.buffers()[interleaved ? 0 : c].mData);
    for (std::size_t f = 0; f < buffer.frameLength(); ++f) {
      samples[c][f] = base[interleaved ? f * channels + c : f];
    }
  }
  return samples;
}

std::vector<float> decodeInt16(const std::vector<std::byte>& bytes) {
  std::vector<std::int16_t> values(bytes.size() / 2);
  std::memcpy(values.data(), bytes.data(), values.size() * 2);
  std::vector<float> numbers;
  for (const auto value : values) numbers.push_back(value / 32768.0F);
  return numbers;
}
