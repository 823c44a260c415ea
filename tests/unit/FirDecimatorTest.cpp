// Both filter kernels, the wide one this processor picks and the portable one every x86-64
// runs, against the filter's promise for 48 to 16 kHz: flat passband, deep stopband, and the
// same output as each other; and, for every factor, the same output however the input is cut.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/media/conversion/FirDecimator.h"
#include "support/SampleBuffers.h"

namespace {

using Kernel = FirDecimator::Kernel;

// A mono tone at 48 kHz filtered in fragments of `chunk` frames.
std::vector<float> decimate(Kernel kernel, double frequency, std::uint32_t chunk) {
  const auto in = sineChannels(1, 48000, frequency)[0];
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

TEST(FirDecimator, EachKernelPassesTheBandAndStopsAliases) {
  const auto reference = decimate(Kernel::kWidest, 1000.0, 48000);
  ASSERT_EQ(reference.size(), 16000U);
  EXPECT_NEAR(rmsOnceFilled(reference), 0.5 / std::sqrt(2.0), 0.002);
  for (const Kernel kernel : {Kernel::kWidest, Kernel::kPortable}) {
    SCOPED_TRACE(kernel == Kernel::kWidest ? "widest kernel" : "portable kernel");
    EXPECT_LT(rmsOnceFilled(decimate(kernel, 12000.0, 480)), 0.5e-5);  // -100 dB
    const auto out = decimate(kernel, 1000.0, 37);
    ASSERT_EQ(out.size(), reference.size());
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_NEAR(out[i], reference[i], 1e-6) << i;
  }
}
