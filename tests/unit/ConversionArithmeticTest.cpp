// The arithmetic under the converter: the decimator's output must not depend on how the input is
// cut into calls, and floats become 16-bit samples by one rule on every path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/media/AVAudioConverter.h"
#include "platform/media/conversion/FirDecimator.h"

namespace {

std::vector<float> noiseAndTones(std::size_t frames) {
  std::vector<float> in(frames);
  std::uint32_t state = 12345;
  for (std::size_t i = 0; i < frames; ++i) {
    state = state * 1664525U + 1013904223U;
    const float noise = static_cast<float>(state >> 8) / 16777216.0F - 0.5F;
    in[i] = 0.4F * std::sin(0.05F * static_cast<float>(i)) + 0.3F * noise;
  }
  // One infinite frame: the outputs its taps reach are not finite, and the same ones, however
  // the input is cut.
  in[frames / 2] = std::numeric_limits<float>::infinity();
  return in;
}

std::vector<float> decimateInCalls(FirDecimator::Kernel kernel, std::uint32_t factor,
                                   const std::vector<float>& in,
                                   const std::vector<std::size_t>& cuts) {
  auto decimator = FirDecimator::create(16000 * factor, 16000, kernel);
  std::vector<float> out;
  std::size_t at = 0;
  for (std::size_t call = 0; at < in.size(); ++call) {
    const std::size_t frames = std::min(cuts[call % cuts.size()], in.size() - at);
    decimator->process(in.data() + at, static_cast<std::uint32_t>(frames), out);
    at += frames;
  }
  return out;
}

// The 16-bit value a float stands for: scaled, NaN as silence, clamped, ties to even.
std::int16_t expectedInt16(float sample) {
  if (std::isnan(sample)) return 0;
  const double scaled = std::clamp(static_cast<double>(sample) * 32768.0, -32768.0, 32767.0);
  return static_cast<std::int16_t>(std::nearbyint(scaled));
}

}  // namespace

TEST(DecimatorArithmetic, OutputIsTheSameHoweverTheInputIsCut) {
  const std::vector<float> in = noiseAndTones(9600);
  for (const auto kernel : {FirDecimator::Kernel::kWidest, FirDecimator::Kernel::kPortable})
    for (std::uint32_t factor = 2; factor <= 8; ++factor) {
      const std::vector<float> whole = decimateInCalls(kernel, factor, in, {in.size()});
      // An output falls due on the first frame and on every factor-th one after it.
      ASSERT_EQ(whole.size(), (in.size() + factor - 1) / factor);
      for (const std::vector<std::size_t>& cuts : std::vector<std::vector<std::size_t>>{
               {1}, {7}, {120}, {480}, {4801}, {3, 130, 1, 500, 64, 2}}) {
        SCOPED_TRACE(testing::Message() << "kernel " << static_cast<int>(kernel) << " factor "
                                        << factor << " first cut " << cuts[0]);
        const std::vector<float> cut = decimateInCalls(kernel, factor, in, cuts);
        ASSERT_EQ(cut.size(), whole.size());
        for (std::size_t i = 0; i < cut.size(); ++i) {
          ASSERT_EQ(std::memcmp(&cut[i], &whole[i], sizeof(float)), 0)
              << "output " << i << ": " << cut[i] << " for " << whole[i];
        }
      }
    }
}

TEST(Int16Writing, EveryLengthRoundsClampsAndSilencesNaNAlike) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::nanf("");
  const float lsb = 1.0F / 32768.0F;
  const std::vector<float> values = {0.5F * lsb, 1.5F * lsb, -2.5F * lsb,    nan,   inf,
                                     -inf,       1.0F,       -1.0F,          2.0F,  -1.5F,
                                     0.25F,      -0.7F,      32767.4F * lsb, 1e-9F, -0.0F,
                                     0.123456F,  -3.5F * lsb};
  const auto floats = AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatFloat32, 16000, 1, true);
  const auto shorts = AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatInt16, 16000, 1, true);
  // Every length up to the list's, so that each value lands both in the vectors and in the tail.
  for (std::size_t length = 1; length <= values.size(); ++length) {
    SCOPED_TRACE(testing::Message() << "length " << length);
    const auto input = AVAudioPCMBuffer::initWithPCMFormat(floats, 32);
    input->setFrameLength(static_cast<AVAudioFrameCount>(length));
    auto* in = static_cast<float*>(input->buffers()[0].mData);
    for (std::size_t i = 0; i < length; ++i) in[i] = values[(i + length) % values.size()];
    const auto output = AVAudioPCMBuffer::initWithPCMFormat(shorts, 32);
    bool given = false;
    AVAudioConverter::initFromFormat(floats, shorts)
        ->convertToBuffer(*output, nullptr, [&](AVAudioPacketCount, auto* status) {
          *status =
              given ? AVAudioConverterInputStatus_NoDataNow : AVAudioConverterInputStatus_HaveData;
          given = true;
          return input;
        });
    ASSERT_EQ(output->frameLength(), length);
    for (std::size_t i = 0; i < length; ++i) {
      EXPECT_EQ(output->int16ChannelData()[0][i], expectedInt16(in[i])) << "value " << in[i];
    }
  }
}
