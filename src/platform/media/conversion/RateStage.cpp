#include "platform/media/conversion/RateStage.h"

#include "platform/media/conversion/FirDecimator.h"
#include "platform/media/conversion/SpeexRateConverter.h"

std::unique_ptr<RateStage> makeRateStage(std::uint32_t channels, std::uint32_t inRate,
                                         std::uint32_t outRate) {
  if (channels == 1) {
    if (auto decimator = FirDecimator::create(inRate, outRate)) return decimator;
  }
  return SpeexRateConverter::create(channels, inRate, outRate);
}
