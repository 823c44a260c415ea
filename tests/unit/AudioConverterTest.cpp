// The converter on its own: the error it answers to a buffer of another format, keeping input
// that does not fit, and the formats, layouts, channel counts and rates it takes or refuses.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/media/AVAudioConverter.h"
#include "support/SampleBuffers.h"

namespace {

AVAudioFormatRef formatOf(const SampleLayout& layout, unsigned channels) {
  return AVAudioFormat::initWithCommonFormat(layout.type, layout.sampleRate, channels,
                                             layout.interleaved);
}

const SampleLayout kMono16k{AVAudioPCMFormatInt16, 16000.0, true};
const SampleLayout kFloat48k{AVAudioPCMFormatFloat32, 48000.0, true};

// An input block that hands over the given buffers one by one, then answers `last`.
struct ScriptedInput {
  std::vector<AVAudioPCMBufferRef> buffers;
  AVAudioConverterInputStatus last = AVAudioConverterInputStatus_NoDataNow;
  std::size_t asked = 0;

  AVAudioConverterInputBlock block() {
    return [this](AVAudioPacketCount, AVAudioConverterInputStatus* status) {
      const std::size_t index = asked++;
      *status = index < buffers.size() ? AVAudioConverterInputStatus_HaveData : last;
      return index < buffers.size() ? buffers[index] : AVAudioPCMBufferRef{};
    };
  }
};

struct Converted {
  AVAudioConverterOutputStatus status;
  ChannelSamples samples;
};

Converted convertOnce(AVAudioConverter& converter, AVAudioFrameCount capacity,
                      const AVAudioConverterInputBlock& input) {
  const auto output = AVAudioPCMBuffer::initWithPCMFormat(converter.outputFormat(), capacity);
  const auto status = converter.convertToBuffer(*output, nullptr, input);
  return {status, readPCMBuffer(*output)};
}

}  // namespace

TEST(AudioConverterStatus, InputOrOutputOfAnotherFormatIsAnError) {
  const auto converter =
      AVAudioConverter::initFromFormat(formatOf(kFloat48k, 2), formatOf(kMono16k, 1));
  ScriptedInput wrongInput{{makePCMBuffer(sineChannels({}, 1, 480), kFloat48k)}};
  const auto output = AVAudioPCMBuffer::initWithPCMFormat(converter->outputFormat(), 200);
  NSErrorRef error;
  EXPECT_EQ(converter->convertToBuffer(*output, &error, wrongInput.block()),
            AVAudioConverterOutputStatus_Error);
  ASSERT_TRUE(error);
  EXPECT_EQ(output->frameLength(), 0U);

  const auto wrongOutput = AVAudioPCMBuffer::initWithPCMFormat(formatOf(kFloat48k, 1), 200);
  ScriptedInput unused;
  EXPECT_EQ(converter->convertToBuffer(*wrongOutput, nullptr, unused.block()),
            AVAudioConverterOutputStatus_Error);
  EXPECT_EQ(unused.asked, 0U);
}

TEST(AudioConverterInput, WhatDoesNotFitIsKeptForTheNextCall) {
  const auto tone = sineChannels({440, 0.5, 16000}, 1, 100);
  const auto same = AVAudioConverter::initFromFormat(formatOf(kMono16k, 1), formatOf(kMono16k, 1));
  ScriptedInput input{{makePCMBuffer(tone, kMono16k)}};
  std::vector<double> delivered;
  for (int call = 0; call < 5; ++call) {
    const auto part = convertOnce(*same, 30, input.block());
    delivered.insert(delivered.end(), part.samples[0].begin(), part.samples[0].end());
  }
  EXPECT_EQ(delivered, readPCMBuffer(*makePCMBuffer(tone, kMono16k))[0]);

  // Rate conversion keeps its surplus too: small outputs add up to one large one.
  const auto input48k = makePCMBuffer(sineChannels({}, 1, 480), kFloat48k);
  auto down = [&] {
    return AVAudioConverter::initFromFormat(input48k->format(), formatOf(kMono16k, 1));
  };
  const auto small = down();
  ScriptedInput once{{input48k}};
  std::vector<double> pieces;
  for (int call = 0; call < 5; ++call) {
    const auto part = convertOnce(*small, 50, once.block());
    pieces.insert(pieces.end(), part.samples[0].begin(), part.samples[0].end());
  }
  ScriptedInput whole{{input48k}};
  EXPECT_EQ(pieces, convertOnce(*down(), 1000, whole.block()).samples[0]);
}

TEST(AudioConverterFormats, EveryTypeLayoutAndChannelCountMixesToMono) {
  for (auto type : {AVAudioPCMFormatInt16, AVAudioPCMFormatInt32, AVAudioPCMFormatFloat32,
                    AVAudioPCMFormatFloat64}) {
    for (bool interleaved : {true, false}) {
      for (unsigned channels = 1; channels <= 8; ++channels) {
        SCOPED_TRACE(testing::Message() << "type " << type << " interleaved " << interleaved
                                        << " channels " << channels);
        // Channel c carries a constant level, so the mix is their average.
        ChannelSamples levels;
        double sum = 0.0;
        for (unsigned c = 0; c < channels; ++c) {
          levels.emplace_back(64, 0.1 * (c + 1) - 0.35);
          sum += 0.1 * (c + 1) - 0.35;
        }
        const SampleLayout layout{type, 16000.0, interleaved};
        const auto converter =
            AVAudioConverter::initFromFormat(formatOf(layout, channels), formatOf(kMono16k, 1));
        ASSERT_TRUE(converter);
        ScriptedInput once{{makePCMBuffer(levels, layout)}};
        const auto mono = convertOnce(*converter, 64, once.block()).samples[0];
        ASSERT_EQ(mono.size(), 64U);
        for (double value : mono) ASSERT_NEAR(value, sum / channels, 1.5 / 32768.0);
      }
    }
  }
}

TEST(AudioConverterFormats, RatesFrom8kTo384kConvertToTheRightLength) {
  for (double rate : {8000.0, 11025.0, 22050.0, 44100.0, 48000.0, 96000.0, 192000.0, 384000.0}) {
    SCOPED_TRACE(testing::Message() << "rate " << rate);
    const SampleLayout layout{AVAudioPCMFormatFloat32, rate, true};
    const auto converter =
        AVAudioConverter::initFromFormat(formatOf(layout, 2), formatOf(kMono16k, 1));
    ASSERT_TRUE(converter);
    const auto tone = sineChannels({440.0, 0.5, rate}, 2, static_cast<std::size_t>(rate / 5));
    ScriptedInput once{{makePCMBuffer(tone, layout)}};
    const auto out = convertOnce(*converter, 4000, once.block()).samples[0];
    ASSERT_NEAR(static_cast<double>(out.size()), 3200.0, 2.0);
    double energy = 0.0;
    for (std::size_t i = 1600; i < out.size(); ++i) energy += out[i] * out[i];
    EXPECT_NEAR(std::sqrt(energy / static_cast<double>(out.size() - 1600)), 0.5 / std::sqrt(2.0),
                0.02);
  }
}

TEST(AudioConverterFormats, UnsupportedFormatsGiveNoConverter) {
  const auto out = formatOf(kMono16k, 1);
  const AudioStreamBasicDescription other = describePCM(AVAudioPCMFormatInt16, 16000, 1, true);
  const std::vector<AVAudioFormatRef> refused = {
      nullptr,
      formatOf({AVAudioPCMFormatFloat32, 7999.0, true}, 1),
      formatOf({AVAudioPCMFormatFloat32, 384001.0, true}, 1),
      formatOf({AVAudioPCMFormatFloat32, 44100.5, true}, 1),
      formatOf(kFloat48k, 9),
      std::make_shared<const AVAudioFormat>(AVAudioOtherFormat, other),
  };
  for (std::size_t i = 0; i < refused.size(); ++i) {
    EXPECT_FALSE(AVAudioConverter::initFromFormat(refused[i], out)) << "case " << i;
  }
  EXPECT_FALSE(AVAudioConverter::initFromFormat(formatOf(kFloat48k, 2), formatOf(kFloat48k, 3)));
  EXPECT_FALSE(AVAudioConverter::initFromFormat(formatOf(kFloat48k, 2), nullptr));
}
