#include "platform/soundserver/FragmentSamples.h"

#include <vector>

namespace {

AudioStreamBasicDescription float32Interleaved(const pa_sample_spec& sampleSpec) {
  const auto bytesPerFrame = static_cast<UInt32>(sizeof(float) * sampleSpec.channels);
  return AudioStreamBasicDescription{
      .mSampleRate = static_cast<Float64>(sampleSpec.rate),
      .mFormatID = kAudioFormatLinearPCM,
      .mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
      .mBytesPerPacket = bytesPerFrame,
      .mFramesPerPacket = 1,
      .mBytesPerFrame = bytesPerFrame,
      .mChannelsPerFrame = sampleSpec.channels,
      .mBitsPerChannel = 32,
      .mReserved = 0,
  };
}

}  // namespace

FragmentSamples::FragmentSamples(const pa_sample_spec& sampleSpec)
    : bytesPerFrame_(pa_frame_size(&sampleSpec)),
      channels_(sampleSpec.channels),
      format_(std::make_shared<const CMAudioFormatDescription>(float32Interleaved(sampleSpec))) {}

pa_sample_spec FragmentSamples::specFor(const SCStreamConfigurationRef& configuration) {
  pa_sample_spec sampleSpec{};
  sampleSpec.format = PA_SAMPLE_FLOAT32LE;
  const long rate = configuration ? configuration->sampleRate() : 0;
  const long channels = configuration ? configuration->channelCount() : 0;
  sampleSpec.rate = rate > 0 && rate <= PA_RATE_MAX ? static_cast<std::uint32_t>(rate) : 0;
  sampleSpec.channels =
      channels > 0 && channels <= PA_CHANNELS_MAX ? static_cast<std::uint8_t>(channels) : 0;
  return sampleSpec;
}

CMSampleBufferRef FragmentSamples::fromAudio(std::span<const std::byte> fragment) const {
  if (bytesPerFrame_ == 0) return nullptr;
  // libpulse queues recorded audio in whole frames, so a remainder never occurs in practice;
  // should one come, the partial frame is left out rather than shifting every later frame.
  const std::size_t whole = fragment.size() - fragment.size() % bytesPerFrame_;
  const std::span<const std::byte> frames = fragment.first(whole);
  return make(std::vector<std::byte>(frames.begin(), frames.end()));
}

CMSampleBufferRef FragmentSamples::fromHole(std::size_t bytes) const {
  if (bytesPerFrame_ == 0) return nullptr;
  // All-zero bytes are 0.0f in IEEE 754: silence.
  return make(std::vector<std::byte>(bytes - bytes % bytesPerFrame_));
}

CMSampleBufferRef FragmentSamples::make(std::vector<std::byte> bytes) const {
  const auto frames = static_cast<CMItemCount>(bytes.size() / bytesPerFrame_);
  if (frames == 0) return nullptr;
  std::vector<CMBlockBuffer::Region> regions;
  regions.push_back(CMBlockBuffer::Region{channels_, std::move(bytes)});
  return std::make_shared<CMSampleBuffer>(format_, frames,
                                          std::make_shared<CMBlockBuffer>(std::move(regions)));
}
