// An input whose sink runs on a clock of its own, brought to the pace of a reference (here the
// wall clock's, or another input's): over an hour its delay stays where it started, a tone
// through it stays clean, and an input on the reference's clock, or one that lost audio once,
// is never resampled. Driven by a clock passed in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <numbers>
#include <optional>
#include <ostream>
#include <vector>

#include "platform/soundserver/InputDrift.h"
#include "support/SampleBuffers.h"

namespace {

constexpr std::uint32_t kRate = 8000;  // mono at a low rate: an hour of audio in a second
constexpr std::uint32_t kBlock = 80;   // 10 ms of the sink's own clock
constexpr double kToneHz = 1000.0;

struct Played {
  std::vector<double> leadMs;  // each second's largest lead, from where the second one was
  std::vector<float> tail;     // the last seconds handed on
  bool resampled = false;
};

// `seconds` of a tone from a sink whose clock runs `ppm` apart, handed over every 10 ms of its
// clock and up to 8 ms late; `lostAt` loses `lostSeconds` of audio from there once.
Played play(double ppm, double seconds, std::optional<double> lostAt = std::nullopt,
            double lostSeconds = 0.0) {
  InputDrift drift({.channels = 1, .rate = kRate});
  Played run;
  const double sinkRate = kRate * (1 + ppm * 1e-6);
  std::uint64_t handedOn = 0;
  std::optional<double> held;
  double windowLead = -1e18;
  std::uint64_t nextSecond = 1'000'000;
  const auto blocks = static_cast<std::uint64_t>(seconds * sinkRate / kBlock);
  for (std::uint64_t n = 0; n < blocks; ++n) {
    const double late = 0.008 * static_cast<double>((n * 7919) % 101) / 100;
    const auto now = static_cast<std::uint64_t>(1e6 * ((n + 1) * kBlock / sinkRate + late));
    const double at = static_cast<double>(now) / 1e6;
    if (lostAt && at >= *lostAt && at < *lostAt + lostSeconds) continue;
    std::vector<float> block = sineChannels(1, kBlock, kToneHz, kRate, n * kBlock)[0];
    const std::vector<float> out = drift.pass(std::move(block), now, 0.0);
    handedOn += out.size();
    windowLead = std::max(windowLead, static_cast<double>(handedOn) - kRate * (now / 1e6));
    if (now >= nextSecond) {
      if (nextSecond == 2'000'000) held = windowLead;
      if (held) run.leadMs.push_back(1000.0 * (windowLead - *held) / kRate);
      windowLead = -1e18;
      nextSecond += 1'000'000;
    }
    if (static_cast<double>(now) / 1e6 > seconds - 2.5)
      run.tail.insert(run.tail.end(), out.begin(), out.end());
  }
  run.resampled = drift.resampling();
  return run;
}

// THD+N of a steady tone: everything but the tone's own bins, against the tone, through a
// window whose side lobes lie far below what is measured.
double thdPlusNoiseDb(const std::vector<float>& samples) {
  const std::size_t n = samples.size();
  std::vector<double> windowed(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double x = 2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n);
    const double blackmanHarris =
        0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) - 0.01168 * std::cos(3 * x);
    windowed[i] = samples[i] * blackmanHarris;
  }
  std::vector<double> power(n / 2);
  for (std::size_t k = 1; k < n / 2; ++k) {  // a plain DFT: a few thousand points, once
    double re = 0;
    double im = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const double phase = 2 * std::numbers::pi * static_cast<double>(k * i % n) / n;
      re += windowed[i] * std::cos(phase);
      im -= windowed[i] * std::sin(phase);
    }
    power[k] = re * re + im * im;
  }
  const auto peak =
      static_cast<std::size_t>(std::max_element(power.begin(), power.end()) - power.begin());
  double tone = 0;
  double rest = 0;
  for (std::size_t k = 1; k < n / 2; ++k)
    (k + 6 >= peak && k <= peak + 6 ? tone : rest) += power[k];
  return 10 * std::log10(rest / tone);
}

struct Clock {
  const char* name;
  double ppm;
  double seconds;
  bool resampled;
};

void PrintTo(const Clock& clock, std::ostream* out) {
  *out << clock.name;
}

class InputDriftTest : public testing::TestWithParam<Clock> {};

TEST_P(InputDriftTest, TheDelayStaysWhereItStartedAndTheToneClean) {
  const Clock& clock = GetParam();
  const Played run = play(clock.ppm, clock.seconds);
  EXPECT_EQ(run.resampled, clock.resampled);
  const auto [least, most] = std::minmax_element(run.leadMs.begin(), run.leadMs.end());
  EXPECT_GT(*least, -20.0) << "ms behind where it started";
  EXPECT_LT(*most, 20.0) << "ms ahead of where it started";
  const std::vector<float> last(run.tail.end() - 2048, run.tail.end());
  const double thdPlusNoise = thdPlusNoiseDb(last);
  EXPECT_LT(thdPlusNoise, -70.0);
  std::cout << "    " << clock.ppm << " ppm for " << clock.seconds << " s: delay from " << *least
            << " to " << *most << " ms of where it started; THD+N " << thdPlusNoise << " dB\n";
}

INSTANTIATE_TEST_SUITE_P(Clocks, InputDriftTest,
                         testing::Values(Clock{"fast", 300, 3600, true},
                                         Clock{"slow", -300, 3600, true},
                                         Clock{"wall", 0, 600, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A server that lost audio of one input once, from a few milliseconds (a missed graph cycle)
// to a fifth of a second: no clock moves a lead that fast.
TEST(InputDriftJumpTest, AudioLostOnceIsNoClockApart) {
  for (const double lost : {0.012, 0.03, 0.2}) {
    EXPECT_FALSE(play(0, 120, 60.0, lost).resampled) << lost * 1000 << " ms lost";
  }
}

// Two inputs of one sink whose clock runs apart from the system's: the second keeps to the
// first, so neither is resampled.
TEST(InputDriftReferenceTest, AnInputOnTheReferencesClockIsLeftAsItIs) {
  InputDrift reference({.channels = 1, .rate = kRate});
  InputDrift other({.channels = 1, .rate = kRate});
  const double sinkRate = kRate * (1 + 300e-6);
  for (std::uint64_t n = 0; n < 60 * 100; ++n) {
    const auto now = static_cast<std::uint64_t>(1e6 * ((n + 1) * kBlock / sinkRate));
    reference.pass(std::vector<float>(kBlock, 0.25F), now, std::nullopt);
    other.pass(std::vector<float>(kBlock, 0.25F), now + 3000, reference.moved());
  }
  EXPECT_FALSE(reference.resampling());
  EXPECT_FALSE(other.resampling());
}

}  // namespace
