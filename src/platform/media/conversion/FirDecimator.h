// Lowers the sample rate of mono float frames by a whole factor with a linear-phase FIR
// low-pass (Kaiser window), keeping its history from one call to the next.
//
// For 48 kHz to 16 kHz it passes 0-7 kHz flat, stops from 8.5 kHz by about 100 dB, and delays
// by 103 input frames (2.1 ms) while holding nothing back. It serves the capture path's common
// case at a fraction of a general resampler's cost.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/media/conversion/RateStage.h"

class FirDecimator final : public RateStage {
 public:
  // The widest vectors this processor runs, or the portable ones every x86-64 has.
  enum class Kernel { kWidest, kPortable };

  // Nothing unless `inRate` is a whole multiple (2 to 8) of `outRate`.
  static std::unique_ptr<FirDecimator> create(std::uint32_t inRate, std::uint32_t outRate,
                                              Kernel kernel = Kernel::kWidest);

  // Filters `frames` frames of `in`, appending every frame that falls due to `out`.
  void process(const float* in, std::uint32_t frames, std::vector<float>& out) override;

  FirDecimator(std::uint32_t factor, const std::vector<double>& taps, Kernel kernel);

  // Computes `vectors` vectors' worth of consecutive outputs from the phase-split taps and
  // frames; returns how many outputs that is.
  using BlockFilter = std::size_t (*)(const float* taps, std::size_t tapsPerPhase,
                                      const float* phases, std::size_t phaseSpan,
                                      std::uint32_t factor, std::size_t vectors, float* out);

 private:
  void append(const float* in, std::uint32_t frames);
  void makeRoom(std::size_t rowLength);
  void filter(std::size_t count, std::vector<float>& out);
  void dropOldest(std::size_t perRow);
  std::size_t rowLength(std::uint32_t row) const {
    return held_ > row ? (held_ - row + factor_ - 1) / factor_ : 0;
  }

  std::uint32_t factor_;
  std::size_t tapCount_;
  std::size_t tapsPerPhase_;
  // The taps split by input phase: tap factor*q + r at phaseTaps_[r * tapsPerPhase_ + q].
  std::vector<float> phaseTaps_;
  // The frames from the oldest one the next output needs, kept split by phase as they arrive,
  // so that a call copies only its new frames: frame i at phases_[(i % factor) * span_ + i /
  // factor]. Each row has room for the frames plus the zeros a rounded-up block reads.
  std::vector<float> phases_;
  std::size_t span_ = 0;
  std::size_t held_;         // frames in phases_, the first taps-1 of them history
  BlockFilter filterBlock_;  // the widest vectors this processor runs
  std::size_t width_;        // outputs per vector of filterBlock_
};
