#include "platform/media/conversion/SpeexRateConverter.h"

#include <speex/speex_resampler.h>

std::unique_ptr<SpeexRateConverter> SpeexRateConverter::create(std::uint32_t channels,
                                                               std::uint32_t inRate,
                                                               std::uint32_t outRate) {
  int error = RESAMPLER_ERR_SUCCESS;
  State state(speex_resampler_init(channels, inRate, outRate, kQuality, &error));
  if (!state || error != RESAMPLER_ERR_SUCCESS) return nullptr;
  return std::make_unique<SpeexRateConverter>(std::move(state), channels, inRate, outRate);
}

void SpeexRateConverter::StateDeleter::operator()(SpeexResamplerState_* state) const {
  speex_resampler_destroy(state);
}

SpeexRateConverter::SpeexRateConverter(State state, std::uint32_t channels, std::uint32_t inRate,
                                       std::uint32_t outRate)
    : state_(std::move(state)), channels_(channels), inRate_(inRate), outRate_(outRate) {}

void SpeexRateConverter::process(const float* in, std::uint32_t frames, std::vector<float>& out) {
  while (frames > 0) {
    // Room for everything these frames can give, plus the filter's rounding.
    const auto room =
        static_cast<std::uint32_t>((std::uint64_t{frames} * outRate_ + inRate_ - 1) / inRate_ + 2);
    const std::size_t start = out.size();
    out.resize(start + std::size_t{room} * channels_);
    std::uint32_t used = frames;
    std::uint32_t made = room;
    speex_resampler_process_interleaved_float(state_.get(), in, &used, out.data() + start, &made);
    out.resize(start + std::size_t{made} * channels_);
    if (used == 0 && made == 0) return;  // cannot progress; never seen, but never spin
    in += std::size_t{used} * channels_;
    frames -= used;
  }
}

void SpeexRateConverter::setRatio(std::uint32_t num, std::uint32_t den) {
  speex_resampler_set_rate_frac(state_.get(), num, den, inRate_, outRate_);
}

void SpeexRateConverter::startWithoutDelay() {
  speex_resampler_skip_zeros(state_.get());
}
