// The converter on its own: input that does not fit kept for the next call, and every sample
// type, layout, channel count and rate it takes mixed to mono at the right level and length.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <utility>

#include "platform/media/AVAudioConverter.h"
#include "support/SampleBuffers.h"

namespace {

AVAudioFormatRef mono16k() {
  return AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatFloat32, 16000.0, 1, true);
}

// `input` handed over once, then converted into `calls` outputs of `capacity` frames.
std::vector<float> convertInPieces(AVAudioConverter& converter, const AVAudioPCMBufferRef& input,
                                   AVAudioFrameCount capacity, int calls) {
  bool given = false;
  const auto block = [&](AVAudioPacketCount, AVAudioConverterInputStatus* status) {
    *status = given ? AVAudioConverterInputStatus_NoDataNow : AVAudioConverterInputStatus_HaveData;
    return std::exchange(given, true) ? nullptr : input;
  };
  std::vector<float> out;
  for (int call = 0; call < calls; ++call) {
    const auto output = AVAudioPCMBuffer::initWithPCMFormat(converter.outputFormat(), capacity);
    converter.convertToBuffer(*output, nullptr, block);
    const auto part = readPCMBuffer(*output)[0];
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

void put(AVAudioPCMBuffer& buffer, UInt32 channel, AVAudioFrameCount frame, double level) {
  const AVAudioFormat& format = *buffer.format();
  const bool interleaved = format.isInterleaved();
  const std::size_t index = interleaved ? frame * format.channelCount() + channel : frame;
  auto* at = static_cast<std::byte*>(buffer.buffers()[interleaved ? 0 : channel].mData) +
             index * format.bytesPerSample();
  const auto write = [at](auto value) { std::memcpy(at, &value, sizeof value); };
  const AVAudioCommonFormat type = format.commonFormat();
  if (type == AVAudioPCMFormatInt16) write(static_cast<std::int16_t>(std::lround(level * 32767)));
  if (type == AVAudioPCMFormatInt32)
    write(static_cast<std::int32_t>(std::lround(level * 0x7fffffff)));
  if (type == AVAudioPCMFormatFloat32) write(static_cast<float>(level));
  if (type == AVAudioPCMFormatFloat64) write(level);
}

}  // namespace

TEST(AudioConverter, InputThatDoesNotFitIsKeptForTheNextCall) {
  for (const double rate : {16000.0, 48000.0}) {  // passed through, and through the rate stage
    SCOPED_TRACE(rate);
    const auto input = makePCMBuffer(sineChannels(1, 480, 440.0, rate), rate);
    const auto make = [&] { return AVAudioConverter::initFromFormat(input->format(), mono16k()); };
    const auto whole = convertInPieces(*make(), input, 1000, 1);
    EXPECT_EQ(convertInPieces(*make(), input, 30, 20), whole);
  }
}

// Channel c holds a constant level, so once the filter has filled the mix is their average.
TEST(AudioConverter, EachTypeLayoutChannelCountAndRateMixesToMonoAt16k) {
  struct Case {
    AVAudioCommonFormat type;
    bool interleaved;
    UInt32 channels;
    double rate;
  };
  for (const auto& [type, interleaved, channels, rate] :
       {Case{AVAudioPCMFormatInt16, false, 3, 8000.0},
        Case{AVAudioPCMFormatInt32, true, 8, 44100.0},
        Case{AVAudioPCMFormatFloat64, false, 1, 384000.0},
        Case{AVAudioPCMFormatFloat32, false, 2, 48000.0},
        Case{AVAudioPCMFormatInt16, true, 5, 96000.0}}) {
    SCOPED_TRACE(testing::Message() << "type " << type << " interleaved " << interleaved
                                    << " channels " << channels << " rate " << rate);
    const auto format = AVAudioFormat::initWithCommonFormat(type, rate, channels, interleaved);
    const auto frames = static_cast<AVAudioFrameCount>(rate / 10);
    const auto input = AVAudioPCMBuffer::initWithPCMFormat(format, frames);
    input->setFrameLength(frames);
    double sum = 0.0;
    for (UInt32 c = 0; c < channels; ++c) {
      sum += 0.1 * (c + 1) - 0.35;
      for (AVAudioFrameCount f = 0; f < frames; ++f) put(*input, c, f, 0.1 * (c + 1) - 0.35);
    }
    const auto converter = AVAudioConverter::initFromFormat(format, mono16k());
    ASSERT_TRUE(converter);
    const auto mono = convertInPieces(*converter, input, 2000, 1);
    ASSERT_NEAR(static_cast<double>(mono.size()), 1600.0, 2.0);
    for (std::size_t i = 800; i < mono.size(); ++i) ASSERT_NEAR(mono[i], sum / channels, 2e-3) << i;
  }
}
