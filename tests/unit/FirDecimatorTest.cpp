// Both filter kernels, the wide one this processor picks and the portable one every x86-64
// runs: the same output however the input is cut into calls, for every whole factor, and for
// 48 to 16 kHz the filter's promise (flat passband, deep stopband) and the same output as
// each other.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/media/conversion/FirDecimator.h"
#include "support/SampleBuffers.h"

namespace {

using Kernel = FirDecimator::Kernel;

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

std::vector<float> decimateInCalls(Kernel kernel, std::uint32_t factor,
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

// A second of a mono tone at 48 kHz, filtered in fragments of `chunk` frames.
std::vector<float> decimateTone(Kernel kernel, double frequency, std::size_t chunk) {
  return decimateInCalls(kernel, 3, sineChannels(1, 48000, frequency)[0], {chunk});
}

// Past the first 100 outputs, by when the 207 taps hold no more of the silence before the tone.
double rmsOnceFilled(const std::vector<float>& values) {
  double energy = 0.0;
  for (std::size_t i = 100; i < values.size(); ++i) energy += values[i] * values[i];
  return std::sqrt(energy / static_cast<double>(values.size() - 100));
}

}  // namespace

TEST(FirDecimator, OutputIsTheSameHoweverTheInputIsCut) {
  const std::vector<float> in = noiseAndTones(9600);
  for (const auto kernel : {Kernel::kWidest, Kernel::kPortable})
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

TEST(FirDecimator, EachKernelPassesTheBandStopsAliasesAndAgreesWithTheOther) {
  const auto reference = decimateTone(Kernel::kWidest, 1000.0, 48000);
  EXPECT_NEAR(rmsOnceFilled(reference), 0.5 / std::sqrt(2.0), 0.002);
  for (const Kernel kernel : {Kernel::kWidest, Kernel::kPortable}) {
    SCOPED_TRACE(kernel == Kernel::kWidest ? "widest kernel" : "portable kernel");
    EXPECT_LT(rmsOnceFilled(decimateTone(kernel, 12000.0, 480)), 0.5e-5);  // -100 dB
    const auto out = decimateTone(kernel, 1000.0, 37);
    ASSERT_EQ(out.size(), reference.size());
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_NEAR(out[i], reference[i], 1e-6) << i;
  }
}
