// Both filter kernels, the wide one this processor picks and the portable one every x86-64
// runs, against the filter's promise for 48 to 16 kHz: flat passband, deep stopband, and the
// same output whatever the fragment size.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/media/conversion/FirDecimator.h"
#include "support/SampleBuffers.h"

namespace {

using Kernel = FirDecimator::Kernel;

// A mono tone at 48 kHz filtered in fragments of `chunk` frames.
std::vector<float> decimate(Kernel kernel, double frequency, std::uint32_t chunk) {
  const auto tone = sineChannels({frequency, 0.5, 48000.0}, 1, 48000)[0];
  const std::vector<float> in(tone.begin(), tone.end());
  const auto decimator = FirDecimator::create(48000, 16000, kernel);
  std::vector<float> out;
  for (std::uint32_t at = 0; at < in.size(); at += chunk) {
    decimator->process(in.data() + at, std::min<std::uint32_t>(chunk, in.size() - at), out);
  }
  return out;
}

// Past the first 100 outputs, by when the 207 taps hold no more of the silence before the tone.
double rmsOnceFilled(const std::vector<float>& values) {
  double energy = 0.0;
  for (std::size_t i = 100; i < values.size(); ++i) energy += values[i] * values[i];
  return std::sqrt(energy / static_cast<double>(values.size() - 100));
}

}  // namespace

TEST(FirDecimator, EachKernelPassesTheBandStopsAliasesAndIgnoresFragmentSizes) {
  for (const Kernel kernel : {Kernel::kWidest, Kernel::kPortable}) {
    SCOPED_TRACE(kernel == Kernel::kWidest ? "widest kernel" : "portable kernel");
    const auto passed = decimate(kernel, 1000.0, 480);
    ASSERT_EQ(passed.size(), 16000U);
    EXPECT_NEAR(rmsOnceFilled(passed), 0.5 / std::sqrt(2.0), 0.002);
    EXPECT_LT(rmsOnceFilled(decimate(kernel, 12000.0, 480)), 0.5e-5);  // -100 dB
    const auto whole = decimate(kernel, 1000.0, 48000);
    const auto odd = decimate(kernel, 1000.0, 37);
    for (std::size_t i = 0; i < passed.size(); ++i) {
      ASSERT_NEAR(whole[i], passed[i], 1e-6) << "output " << i;
      ASSERT_NEAR(odd[i], passed[i], 1e-6) << "output " << i;
    }
  }
}

TEST(FirDecimator, BothKernelsGiveTheSameOutput) {
  const auto widest = decimate(Kernel::kWidest, 1000.0, 480);
  const auto portable = decimate(Kernel::kPortable, 1000.0, 480);
  ASSERT_EQ(widest.size(), portable.size());
  for (std::size_t i = 0; i < widest.size(); ++i) ASSERT_NEAR(widest[i], portable[i], 1e-6) << i;
}
