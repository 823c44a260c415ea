// The rate-changing step of a conversion: interleaved float frames in, frames at the new rate
// out, with filter state kept from one call to the next.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

class RateStage {
 public:
  virtual ~RateStage() = default;
  // Converts all `frames` frames of `in`, appending what comes out to `out`.
  virtual void process(const float* in, std::uint32_t frames, std::vector<float>& out) = 0;
};

// The cheapest stage that meets the converter's quality: a FIR decimator for mono audio whose
// rate falls by a whole factor, speexdsp's resampler otherwise. Nothing when neither can.
std::unique_ptr<RateStage> makeRateStage(std::uint32_t channels, std::uint32_t inRate,
                                         std::uint32_t outRate);
