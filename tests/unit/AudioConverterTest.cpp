// The converter on its own: input that does not fit kept for the next call, and every sample
// type, layout, channel count and rate it takes mixed to mono at the right level and length.
#include <gtest/gtest.h>

#include <utility>

#include "platform/media/AVAudioConverter.h"
#include "support/SampleBuffers.h"

namespace {

// `input` handed over once, then converted into `calls` outputs of `capacity` frames.
std::vector<AVAudioPCMBufferRef> convertInPieces(const AVAudioFormatRef& to,
                                                 const AVAudioPCMBufferRef& input,
                                                 AVAudioFrameCount capacity, int calls = 1) {
  const auto converter = AVAudioConverter::initFromFormat(input->format(), to);
  bool given = false;
  const auto block = [&](AVAudioPacketCount, AVAudioConverterInputStatus* status) {
    *status = given ? AVAudioConverterInputStatus_NoDataNow : AVAudioConverterInputStatus_HaveData;
    return std::exchange(given, true) ? nullptr : input;
  };
  std::vector<AVAudioPCMBufferRef> outputs;
  for (int call = 0; call < calls && converter; ++call) {
    outputs.push_back(AVAudioPCMBuffer::initWithPCMFormat(to, capacity));
    converter->convertToBuffer(*outputs.back(), nullptr, block);
  }
  return outputs;
}

// Float32 mono at 16 kHz, the outputs one after another.
std::vector<float> convertToMono16k(const AVAudioPCMBufferRef& input, AVAudioFrameCount capacity,
                                    int calls = 1) {
  std::vector<float> out;
  const auto mono16k = AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatFloat32, 16000, 1, true);
  for (const auto& output : convertInPieces(mono16k, input, capacity, calls)) {
    const auto part = readPCMBuffer(*output)[0];
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

}  // namespace

TEST(AudioConverter, InputThatDoesNotFitIsKeptForTheNextCall) {
  for (const double rate : {16000.0, 48000.0}) {  // passed through, and through the rate stage
    SCOPED_TRACE(rate);
    const auto input = makePCMBuffer(sineChannels(1, 480, 440.0, rate), rate);
    EXPECT_EQ(convertToMono16k(input, 30, 20), convertToMono16k(input, 1000));
  }
}

// Channel c holds a constant level, so once the filter has filled the mix is their average.
// The input is written in the case's type and layout by the converter's own writing.
TEST(AudioConverter, EachTypeLayoutChannelCountAndRateMixesToMonoAt16k) {
  struct Case {
    AVAudioCommonFormat type;
    bool interleaved;
    UInt32 channels;
    double rate;
  };
  for (const auto& [type, interleaved, channels, rate] :
       {Case{AVAudioPCMFormatFloat32, true, 2, 48000.0},  // as the capture service delivers it
        Case{AVAudioPCMFormatInt16, false, 3, 8000.0},
        Case{AVAudioPCMFormatInt32, true, 8, 44100.0},
        Case{AVAudioPCMFormatFloat64, false, 1, 384000.0},
        Case{AVAudioPCMFormatFloat32, false, 2, 48000.0},
        Case{AVAudioPCMFormatInt16, true, 5, 96000.0}}) {
    SCOPED_TRACE(testing::Message() << "type " << type << " interleaved " << interleaved
                                    << " channels " << channels << " rate " << rate);
    const auto frames = static_cast<AVAudioFrameCount>(rate / 10);
    ChannelSamples levels;
    float sum = 0.0F;
    for (UInt32 c = 0; c < channels; ++c) {
      levels.emplace_back(frames, 0.1F * static_cast<float>(c + 1) - 0.35F);
      sum += levels.back()[0];
    }
    const auto format = AVAudioFormat::initWithCommonFormat(type, rate, channels, interleaved);
    const auto typed = convertInPieces(format, makePCMBuffer(levels, rate), frames);
    ASSERT_EQ(typed.size(), 1U);
    const auto mono = convertToMono16k(typed[0], 2000);
    ASSERT_NEAR(static_cast<double>(mono.size()), 1600.0, 2.0);
    for (std::size_t i = 800; i < mono.size(); ++i) ASSERT_NEAR(mono[i], sum / channels, 2e-3) << i;
  }
}
