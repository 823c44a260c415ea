#include "audio/Resampler.h"

#include <cmath>
#include <cstdlib>

#include "shell/globals.h"

namespace {

constexpr AVAudioFrameCount kCapacityMarginFrames = 16;

AVAudioFormatRef makeOutputFormat() {
  AVAudioFormatRef format =
      AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatInt16, TARGET_SAMPLE_RATE, 1, true);
  if (!format) std::abort();
  return format;
}

}  // namespace

Resampler::Resampler() : outFormat(makeOutputFormat()) {}

AVAudioFrameCount Resampler::outputCapacity(double inputRate, AVAudioFrameCount inputFrames) {
  const double ratio = TARGET_SAMPLE_RATE / inputRate;
  const double estimate = ratio * static_cast<double>(inputFrames);
  // Captured audio lies far inside this range; outside it the arithmetic has no meaning.
  if (!std::isfinite(estimate) || estimate <= -1.0 || estimate >= 4294967296.0) std::abort();
  const auto truncated = static_cast<std::uint64_t>(estimate);
  if (truncated + kCapacityMarginFrames > 0xFFFFFFFFULL) std::abort();
  return static_cast<AVAudioFrameCount>(truncated) + kCapacityMarginFrames;
}

std::optional<ByteBlock> Resampler::convert(const AVAudioPCMBufferRef& buffer) {
  if (!converter || !converter->inputFormat()->isEqual(*buffer->format())) {
    converter = AVAudioConverter::initFromFormat(buffer->format(), outFormat);
  }
  if (!converter) return std::nullopt;

  const AVAudioFrameCount capacity =
      outputCapacity(buffer->format()->sampleRate(), buffer->frameLength());
  const AVAudioPCMBufferRef output = AVAudioPCMBuffer::initWithPCMFormat(outFormat, capacity);
  if (!output) return std::nullopt;

  // The buffer is handed over once per conversion; asked again, there is nothing new yet.
  // Handing it over again would make a converter that fills its output repeat the audio.
  bool handedOver = false;
  NSErrorRef error;
  const AVAudioConverterOutputStatus status = converter->convertToBuffer(
      *output, &error,
      [&buffer, &handedOver](AVAudioPacketCount, AVAudioConverterInputStatus* outStatus) {
        if (handedOver) {
          *outStatus = AVAudioConverterInputStatus_NoDataNow;
          return AVAudioPCMBufferRef{};
        }
        handedOver = true;
        *outStatus = AVAudioConverterInputStatus_HaveData;
        return buffer;
      });
  if (status == AVAudioConverterOutputStatus_Error || error) return std::nullopt;

  std::int16_t* const* channels = output->int16ChannelData();
  if (channels == nullptr) return std::nullopt;
  const AVAudioFrameCount frames = output->frameLength();
  if (frames == 0) return std::nullopt;
  const auto* bytes = reinterpret_cast<const std::byte*>(channels[0]);
  return ByteBlock(bytes, bytes + std::size_t{frames} * sizeof(std::int16_t));
}
