// The cost of one captured sample's trip: unpacking, conversion and the write.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "audio/Resampler.h"
#include "audio/SampleBufferUnpacking.h"
#include "shell/globals.h"
#include "shell/output.h"

namespace {

constexpr UInt32 kFrames = 480;

AudioStreamBasicDescription float32Interleaved(double rate, UInt32 channels) {
  AudioStreamBasicDescription asbd{};
  asbd.mSampleRate = rate;
  asbd.mFormatID = kAudioFormatLinearPCM;
  asbd.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
  asbd.mBytesPerPacket = asbd.mBytesPerFrame = 4 * channels;
  asbd.mFramesPerPacket = 1;
  asbd.mChannelsPerFrame = channels;
  asbd.mBitsPerChannel = 32;
  return asbd;
}

// A sample as the capture service delivers it: a 1 kHz tone, 480 frames.
CMSampleBufferRef toneSample(double rate, UInt32 channels) {
  std::vector<float> samples(std::size_t{kFrames} * channels);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = 0.5F * std::sin(2.0F * 3.14159265F * 1000.0F * static_cast<float>(i / channels) /
                                 static_cast<float>(rate));
  }
  std::vector<std::byte> bytes(samples.size() * sizeof(float));
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  auto block = std::make_shared<CMBlockBuffer>(
      std::vector<CMBlockBuffer::Region>{{channels, std::move(bytes)}});
  auto description =
      std::make_shared<const CMAudioFormatDescription>(float32Interleaved(rate, channels));
  return std::make_shared<CMSampleBuffer>(description, kFrames, block);
}

void writeToNull() {
  static const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  stdoutHandle = NSFileHandle::initWithFileDescriptor(devNull);
}

void tripOf(Resampler& resampler, const CMSampleBufferRef& sample) {
  const AVAudioPCMBufferRef pcm = toAVAudioPCMBuffer(sample);
  const std::optional<ByteBlock> block = resampler.convert(pcm);
  if (block) writePCM(*block);
}

// 48 kHz stereo float32, the capture service's format, to the output stream.
void BM_SampleTrip(benchmark::State& state) {
  writeToNull();
  Resampler resampler;
  const CMSampleBufferRef sample = toneSample(48000.0, 2);
  for (auto _ : state) tripOf(resampler, sample);
  state.SetItemsProcessed(state.iterations());
  state.counters["audio_s_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kFrames / 48000.0, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SampleTrip);

// A format change on every sample: the converter is replaced each time.
void BM_SampleTripWithFormatChange(benchmark::State& state) {
  writeToNull();
  Resampler resampler;
  const CMSampleBufferRef samples[] = {toneSample(48000.0, 2), toneSample(44100.0, 2)};
  std::size_t next = 0;
  for (auto _ : state) tripOf(resampler, samples[next++ % 2]);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SampleTripWithFormatChange);

}  // namespace

BENCHMARK_MAIN();
