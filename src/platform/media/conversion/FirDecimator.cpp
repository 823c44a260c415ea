#include "platform/media/conversion/FirDecimator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <utility>

namespace {

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

// The filter's one hot loop: kSums vectors of consecutive outputs at once. Output j is the sum
// over phases r and taps q of taps[r][q] * phases[r][j + q]; each tap meets contiguous frames,
// so the work is whole-vector multiply-adds, in as many independent sums as there are vectors.
// Every output lane sees the same operations in the same order whatever kSums is, so the block
// size never changes a result.
template <typename Lanes, std::size_t kSums>
[[gnu::always_inline]] inline void filterBlockWith(const float* taps, std::size_t tapsPerPhase,
                                                   const float* phases, std::size_t phaseSpan,
                                                   std::uint32_t factor, float* out) {
  constexpr std::size_t kWidth = sizeof(Lanes) / sizeof(float);
  Lanes sums[kSums] = {};
  for (std::uint32_t r = 0; r < factor; ++r) {
    const float* tap = taps + r * tapsPerPhase;
    const float* frames = phases + r * phaseSpan;
#pragma GCC unroll 4  // fewer loop steps per multiply-add
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

// Runs blocks of kMostSums vectors while they fit, then one block of exactly the vectors left,
// so that a short call (a 2.5 ms fragment gives 40 outputs) computes no output it throws away
// beyond the last vector's, and still shares each tap among as many sums as it can.
constexpr std::size_t kMostSums = 8;

template <typename Lanes, std::size_t... kSums>
[[gnu::always_inline]] inline void filterRest(std::index_sequence<kSums...>, std::size_t rest,
                                              const float* taps, std::size_t tapsPerPhase,
                                              const float* phases, std::size_t phaseSpan,
                                              std::uint32_t factor, float* out) {
  ((rest == kSums + 1
        ? filterBlockWith<Lanes, kSums + 1>(taps, tapsPerPhase, phases, phaseSpan, factor, out)
        : void()),
   ...);
}

template <typename Lanes>
[[gnu::always_inline]] inline std::size_t filterVectorsWith(
    const float* taps, std::size_t tapsPerPhase, const float* phases, std::size_t phaseSpan,
    std::uint32_t factor, std::size_t vectors, float* out) {
  constexpr std::size_t kWidth = sizeof(Lanes) / sizeof(float);
  std::size_t done = 0;
  for (; vectors - done >= kMostSums; done += kMostSums) {
    filterBlockWith<Lanes, kMostSums>(taps, tapsPerPhase, phases + done * kWidth, phaseSpan, factor,
                                      out + done * kWidth);
  }
  filterRest<Lanes>(std::make_index_sequence<kMostSums - 1>{}, vectors - done, taps, tapsPerPhase,
                    phases + done * kWidth, phaseSpan, factor, out + done * kWidth);
  return vectors * kWidth;
}

using Lanes4 = float __attribute__((vector_size(4 * sizeof(float))));
using Lanes8 = float __attribute__((vector_size(8 * sizeof(float))));

[[gnu::target("avx2,fma")]] std::size_t filterVectorsAvx2(
    const float* taps, std::size_t tapsPerPhase, const float* phases, std::size_t phaseSpan,
    std::uint32_t factor, std::size_t vectors, float* out) {
  return filterVectorsWith<Lanes8>(taps, tapsPerPhase, phases, phaseSpan, factor, vectors, out);
}

std::size_t filterVectorsBaseline(const float* taps, std::size_t tapsPerPhase, const float* phases,
                                  std::size_t phaseSpan, std::uint32_t factor, std::size_t vectors,
                                  float* out) {
  return filterVectorsWith<Lanes4>(taps, tapsPerPhase, phases, phaseSpan, factor, vectors, out);
}

// Copies every `step`-th frame. With the common steps known to the compiler the loop is a
// third cheaper, and this copy touches every input frame.
template <std::uint32_t kStep>
void copyEvery(const float* from, std::size_t count, float* to) {
  for (std::size_t n = 0; n < count; ++n) to[n] = from[n * kStep];
}

void copyEvery(std::uint32_t step, const float* from, std::size_t count, float* to) {
  switch (step) {
    case 2:
      return copyEvery<2>(from, count, to);
    case 3:
      return copyEvery<3>(from, count, to);
    case 4:
      return copyEvery<4>(from, count, to);
    default:
      for (std::size_t n = 0; n < count; ++n) to[n] = from[n * step];
  }
}

// The kernel asked for, and its outputs per vector: the widest vectors this processor runs, or
// the portable ones every x86-64 has.
struct BlockKernel {
  FirDecimator::BlockFilter filter;
  std::size_t width;
};

BlockKernel blockKernel(FirDecimator::Kernel kernel) {
  __builtin_cpu_init();
  if (kernel == FirDecimator::Kernel::kWidest && __builtin_cpu_supports("avx2") &&
      __builtin_cpu_supports("fma")) {
    return {filterVectorsAvx2, 8};
  }
  return {filterVectorsBaseline, 4};
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
      held_(tapCount_ - 1),
      filterBlock_(blockKernel(kernel).filter),
      width_(blockKernel(kernel).width) {
  for (std::size_t k = 0; k < tapCount_; ++k) {
    phaseTaps_[(k % factor_) * tapsPerPhase_ + k / factor_] = static_cast<float>(taps[k]);
  }
  // The history starts as silence.
  span_ = 2 * (tapsPerPhase_ + width_);
  phases_.assign(span_ * factor_, 0.0F);
}

void FirDecimator::process(const float* in, std::uint32_t frames, std::vector<float>& out) {
  append(in, frames);
  if (held_ < tapCount_) return;
  const std::size_t count = (held_ - tapCount_) / factor_ + 1;
  filter(count, out);
  dropOldest(count);
}

// Deals the new frames out to their phase rows, after the frames already held.
void FirDecimator::append(const float* in, std::uint32_t frames) {
  const std::size_t end = held_ + frames;
  // Room for every row's frames and for the zeros the last, rounded-up block reads past them.
  makeRoom(end / factor_ + 1 + width_ + tapsPerPhase_);
  for (std::uint32_t r = 0; r < factor_; ++r) {
    const std::size_t first = held_ + (r + factor_ - held_ % factor_) % factor_;
    if (first >= end) continue;
    const std::size_t count = (end - first + factor_ - 1) / factor_;
    float* row = phases_.data() + r * span_ + first / factor_;
    const float* from = in + (first - held_);
    copyEvery(factor_, from, count, row);
  }
  held_ = end;
}

// Widens the rows to at least `length`, keeping what they hold; once the calls stop
// growing, the rows keep their room and no call allocates.
void FirDecimator::makeRoom(std::size_t length) {
  if (length <= span_) return;
  std::vector<float> wider(length * factor_, 0.0F);
  for (std::uint32_t r = 0; r < factor_; ++r) {
    const float* from = phases_.data() + r * span_;
    std::copy(from, from + rowLength(r), wider.data() + r * length);
  }
  phases_.swap(wider);
  span_ = length;
}

// Computes the `count` outputs the held frames complete.
void FirDecimator::filter(std::size_t count, std::vector<float>& out) {
  const std::size_t vectors = (count + width_ - 1) / width_;
  // Frames past the held ones are zeros: only outputs past `count`, or taps of zero, see them.
  const std::size_t read = vectors * width_ + tapsPerPhase_ - 1;
  for (std::uint32_t r = 0; r < factor_; ++r) {
    float* row = phases_.data() + r * span_;
    std::fill(row + std::min(rowLength(r), read), row + read, 0.0F);
  }
  const std::size_t first = out.size();
  out.resize(first + vectors * width_);
  filterBlock_(phaseTaps_.data(), tapsPerPhase_, phases_.data(), span_, factor_, vectors,
               out.data() + first);
  out.resize(first + count);
}

// Forgets the frames that only outputs already computed needed: `perRow` from each row.
void FirDecimator::dropOldest(std::size_t perRow) {
  for (std::uint32_t r = 0; r < factor_; ++r) {
    float* row = phases_.data() + r * span_;
    std::copy(row + perRow, row + rowLength(r), row);
  }
  held_ -= perRow * factor_;
}
