// Changes the sample rate of interleaved float frames with speexdsp's resampler, keeping its
// filter state from one call to the next.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/media/conversion/RateStage.h"

struct SpeexResamplerState_;

class SpeexRateConverter final : public RateStage {
 public:
  static constexpr int kQuality = 6;

  // Nothing when speexdsp refuses the rates or channel count.
  static std::unique_ptr<SpeexRateConverter> create(std::uint32_t channels, std::uint32_t inRate,
                                                    std::uint32_t outRate);

  // Converts all `frames` frames of `in`, appending what comes out to `out`.
  void process(const float* in, std::uint32_t frames, std::vector<float>& out) override;

  // For a rate that follows a clock: input frames per output frame as `num` / `den`, changed
  // smoothly, the filter's state kept.
  void setRatio(std::uint32_t num, std::uint32_t den);
  // The first output starts with the first input frame, not with the filter's delay of zeros.
  void startWithoutDelay();

  struct StateDeleter {
    void operator()(SpeexResamplerState_* state) const;
  };
  using State = std::unique_ptr<SpeexResamplerState_, StateDeleter>;

  SpeexRateConverter(State state, std::uint32_t channels, std::uint32_t inRate,
                     std::uint32_t outRate);

 private:
  State state_;
  std::uint32_t channels_;
  std::uint32_t inRate_;
  std::uint32_t outRate_;
};
