#include "platform/media/conversion/FirDecimator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace {

constexpr std::size_t kBlock = 32;  // outputs computed together

// Output band edges relative to the output rate: flat to 7/16, stopped from 8.5/16.
constexpr double kPassEdge = 7.0 / 16.0;
constexpr double kStopEdge = 8.5 / 16.0;
constexpr double kStopbandDb = 100.0;

double besselI0(double x) {
  double sum = 1.0;
  double term = 1.0;
  for (int k = 1; k < 50; ++k) {
    term *= (x / (2.0 * k)) * (x / (2.0 * k));
    sum += term;
  }
  return sum;
}

// A Kaiser-windowed sinc low-pass for input rate = factor * output rate, with unity DC gain.
std::vector<double> designTaps(std::uint32_t factor) {
  const double transition = (kStopEdge - kPassEdge) / factor;  // in cycles per input frame
  const double cutoff = (kPassEdge + kStopEdge) / 2.0 / factor;
  const double beta = 0.1102 * (kStopbandDb - 8.7);
  auto length =
      static_cast<std::size_t>(std::ceil((kStopbandDb - 7.95) / (14.36 * transition)) + 1);
  length |= 1U;  // odd, so the delay is a whole number of frames
  std::vector<double> taps(length);
  const double middle = static_cast<double>(length - 1) / 2.0;
  double sum = 0.0;
  for (std::size_t n = 0; n < length; ++n) {
    const double t = static_cast<double>(n) - middle;
    const double x = 2.0 * cutoff * t * std::numbers::pi;
    const double sinc = t == 0.0 ? 1.0 : std::sin(x) / x;
    const double r = t / middle;
    const double window = besselI0(beta * std::sqrt(1.0 - r * r)) / besselI0(beta);
    taps[n] = 2.0 * cutoff * sinc * window;
    sum += taps[n];
  }
  for (double& tap : taps) tap /= sum;
  return taps;
}

// The filter's one hot loop: kBlock consecutive outputs at once. Output j is the sum over
// phases r and taps q of taps[r][q] * phases[r][j + q]; each tap meets contiguous frames, so
// the work is whole-vector multiply-adds, in as many independent sums as a block has vectors.
template <typename Lanes>
[[gnu::always_inline]] inline void filterBlockWith(const float* taps, std::size_t tapsPerPhase,
                                                   const float* phases, std::size_t phaseSpan,
                                                   std::uint32_t factor, float* out) {
  constexpr std::size_t kWidth = sizeof(Lanes) / sizeof(float);
  constexpr std::size_t kSums = kBlock / kWidth;
  Lanes sums[kSums] = {};
  for (std::uint32_t r = 0; r < factor; ++r) {
    const float* tap = taps + r * tapsPerPhase;
    const float* frames = phases + r * phaseSpan;
    for (std::size_t q = 0; q < tapsPerPhase; ++q) {
      const float h = tap[q];
#pragma GCC unroll 8  // unrolled, the sums stay in registers
      for (std::size_t v = 0; v < kSums; ++v) {
        Lanes x;
        std::memcpy(&x, frames + q + v * kWidth, sizeof x);
        sums[v] += h * x;
      }
    }
  }
  std::memcpy(out, sums, sizeof sums);
}

using Lanes4 = float __attribute__((vector_size(4 * sizeof(float))));
using Lanes8 = float __attribute__((vector_size(8 * sizeof(float))));

[[gnu::target("avx2,fma")]] void filterBlockAvx2(const float* taps, std::size_t tapsPerPhase,
                                                 const float* phases, std::size_t phaseSpan,
                                                 std::uint32_t factor, float* out) {
  filterBlockWith<Lanes8>(taps, tapsPerPhase, phases, phaseSpan, factor, out);
}

void filterBlockBaseline(const float* taps, std::size_t tapsPerPhase, const float* phases,
                         std::size_t phaseSpan, std::uint32_t factor, float* out) {
  filterBlockWith<Lanes4>(taps, tapsPerPhase, phases, phaseSpan, factor, out);
}

FirDecimator::BlockFilter blockFilter(FirDecimator::Kernel kernel) {
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return kernel == FirDecimator::Kernel::kWidest && avx2 ? filterBlockAvx2 : filterBlockBaseline;
}

}  // namespace

std::unique_ptr<FirDecimator> FirDecimator::create(std::uint32_t inRate, std::uint32_t outRate,
                                                   Kernel kernel) {
  if (outRate == 0 || inRate % outRate != 0) return nullptr;
  const std::uint32_t factor = inRate / outRate;
  if (factor < 2 || factor > 8) return nullptr;
  return std::make_unique<FirDecimator>(factor, designTaps(factor), kernel);
}

FirDecimator::FirDecimator(std::uint32_t factor, const std::vector<double>& taps, Kernel kernel)
    : factor_(factor),
      tapCount_(taps.size()),
      tapsPerPhase_((taps.size() + factor - 1) / factor),
      phaseTaps_(tapsPerPhase_ * factor, 0.0F),
      window_(tapCount_ - 1, 0.0F),
      nextOutput_(tapCount_ - 1),
      filterBlock_(blockFilter(kernel)) {
  for (std::size_t k = 0; k < tapCount_; ++k) {
    phaseTaps_[(k % factor_) * tapsPerPhase_ + k / factor_] = static_cast<float>(taps[k]);
  }
}

void FirDecimator::process(const float* in, std::uint32_t frames, std::vector<float>& out) {
  const std::size_t history = tapCount_ - 1;
  window_.insert(window_.end(), in, in + frames);
  const std::size_t available = window_.size();
  if (nextOutput_ < available) {
    const std::size_t count = (available - 1 - nextOutput_) / factor_ + 1;
    filter(nextOutput_ - history, count, out);
    nextOutput_ += count * factor_;
  }
  const std::size_t consumed = available - history;
  window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(consumed));
  nextOutput_ -= consumed;
}

// Computes `count` outputs whose windows start at window_[start], window_[start + factor], ...
void FirDecimator::filter(std::size_t start, std::size_t count, std::vector<float>& out) {
  const std::size_t blocks = (count + kBlock - 1) / kBlock;
  const std::size_t span = blocks * kBlock + tapsPerPhase_;
  // Split the window by phase; frames past its end are zeros that only extra outputs see.
  phases_.resize(span * factor_);
  const std::size_t end = window_.size();
  for (std::uint32_t r = 0; r < factor_; ++r) {
    float* phase = phases_.data() + r * span;
    const std::size_t present = start + r < end ? (end - start - r + factor_ - 1) / factor_ : 0;
    const std::size_t copied = std::min(present, span);
    const float* from = window_.data() + start + r;
    for (std::size_t n = 0; n < copied; ++n) phase[n] = from[n * factor_];
    std::fill(phase + copied, phase + span, 0.0F);
  }
  const std::size_t first = out.size();
  out.resize(first + blocks * kBlock);
  for (std::size_t b = 0; b < blocks; ++b) {
    filterBlock_(phaseTaps_.data(), tapsPerPhase_, phases_.data() + b * kBlock, span, factor_,
                 out.data() + first + b * kBlock);
  }
  out.resize(first + count);
}
