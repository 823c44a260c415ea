#include "platform/soundserver/InputDrift.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/media/conversion/SpeexRateConverter.h"

namespace {

// The loop's gains: critically damped, settling in about 20 s, and a clock apart by 300 ppm
// moves the lead by less than 3 ms meanwhile.
constexpr double kProportional = 0.1;       // per second
constexpr double kIntegral = 0.0025;        // per second squared
constexpr double kMostApart = 0.002;        // no crystal runs 2000 ppm apart: beyond, a fault
constexpr int kWindowsToEngage = 3;         // a lead moved for this many seconds in a row
constexpr std::size_t kRecentFrames = 256;  // more than the resampler's filter holds
// Fine enough (15 ppm, which the loop dithers between), and small enough that speexdsp can
// carry its filter's phase over to a new ratio without overflowing.
constexpr std::uint32_t kRatioDenominator = 1 << 16;

double micros(std::uint64_t value) {
  return static_cast<double>(value);
}

}  // namespace

InputDrift::InputDrift(Rule rule) : rule_(rule) {}

InputDrift::~InputDrift() = default;

std::vector<float> InputDrift::pass(std::vector<float> samples, std::uint64_t now,
                                    std::optional<double> referenceMoved) {
  if (rule_.channels == 0 || rule_.rate == 0) return samples;
  // Once resampling, nothing is primed again.
  if (resampler_) {
    samples = resample(samples);
  } else {
    remember(samples);
  }
  framesOut_ += samples.size() / rule_.channels;
  measure(now, referenceMoved);
  return samples;
}

void InputDrift::restart() {
  start_.reset();
  framesOut_ = 0;
  windowLead_.reset();
  heldLead_.reset();
  lastLead_.reset();
  judgedLead_.reset();
  windowsApart_ = 0;
}

void InputDrift::holdAnew() {
  if (judgedLead_) heldLead_ = judgedLead_;
  windowsApart_ = 0;
}

std::optional<double> InputDrift::moved() const {
  if (!heldLead_ || !judgedLead_) return std::nullopt;
  return *judgedLead_ - *heldLead_;
}

// Only the last kRecentFrames are kept: of a block that long, only its tail is copied.
void InputDrift::remember(const std::vector<float>& samples) {
  const std::size_t keep = kRecentFrames * rule_.channels;
  const std::size_t taken = std::min(samples.size(), keep);
  const std::size_t kept = std::min(recent_.size(), keep - taken);
  recent_.erase(recent_.begin(), recent_.end() - static_cast<std::ptrdiff_t>(kept));
  recent_.insert(recent_.end(), samples.end() - static_cast<std::ptrdiff_t>(taken), samples.end());
}

std::vector<float> InputDrift::resample(const std::vector<float>& samples) {
  std::vector<float> out;
  resampler_->process(samples.data(), static_cast<std::uint32_t>(samples.size() / rule_.channels),
                      out);
  const std::size_t dropped = std::min(discard_, out.size() / rule_.channels);
  out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(dropped * rule_.channels));
  discard_ -= dropped;
  return out;
}

void InputDrift::measure(std::uint64_t now, std::optional<double> referenceMoved) {
  if (!start_) {
    start_ = now;
    windowEnd_ = now + rule_.windowMicros;
  }
  const double seconds = micros(now - *start_) / 1e6;
  const double lead = static_cast<double>(framesOut_) - seconds * rule_.rate;
  windowLead_ = std::max(windowLead_.value_or(lead), lead);
  if (now < windowEnd_) return;
  judge(*std::exchange(windowLead_, std::nullopt), seconds, referenceMoved);
  windowEnd_ = now + rule_.windowMicros;
}

void InputDrift::judge(double lead, double seconds, std::optional<double> referenceMoved) {
  const double frameMicros = 1e6 / rule_.rate;
  // The first window holds whatever queued while the stream started: the second one is where
  // the lead is held.
  if (!lastLead_) {
    lastLead_ = lead;
    return;
  }
  const double moved = lead - *std::exchange(lastLead_, lead);
  judgedLead_ = lead;
  if (!heldLead_ || std::abs(moved) * frameMicros > micros(rule_.jumpMicros)) {
    if (!heldLead_) heldSince_ = seconds;
    heldLead_ = heldLead_ ? *heldLead_ + moved : lead;
    lastJudged_ = seconds;
    windowsApart_ = 0;
    return;
  }
  const double window = seconds - std::exchange(lastJudged_, seconds);
  if (!referenceMoved) {
    windowsApart_ = 0;  // its own pace: nothing to keep to
    return;
  }
  const double error = lead - *heldLead_ - *referenceMoved;
  if (resampler_) return steer(error, window);
  const bool apart = std::abs(error) * frameMicros > micros(rule_.engageMicros);
  windowsApart_ = apart ? windowsApart_ + 1 : 0;
  if (windowsApart_ >= kWindowsToEngage) engage(error, seconds);
}

// The pace learnt from how far the lead moved since it was held, the filter primed with the
// frames just handed on so that its first output follows them without a step.
void InputDrift::engage(double error, double seconds) {
  resampler_ = SpeexRateConverter::create(rule_.channels, rule_.rate, rule_.rate);
  if (!resampler_) return;
  resampler_->startWithoutDelay();
  integral_ = error / std::max(seconds - heldSince_, 1.0);
  fastInput_ = integral_ > 0;
  steer(error, 0.0);
  std::vector<float> primed;
  const std::size_t recentFrames = recent_.size() / rule_.channels;
  resampler_->process(recent_.data(), static_cast<std::uint32_t>(recentFrames), primed);
  discard_ = recentFrames - std::min(recentFrames, primed.size() / rule_.channels);
}

void InputDrift::steer(double error, double window) {
  integral_ += kIntegral * error * window;
  const double most = kMostApart * rule_.rate;
  const double correction = std::clamp(kProportional * error + integral_, -most, most);
  // Fewer frames out than in while the input runs ahead. The ratio stays on the side of one
  // it started on: speexdsp's filter changes length when it crosses, and frames go with it.
  const double wanted = 1.0 / (1.0 - correction / rule_.rate);
  auto numerator = static_cast<std::uint32_t>(std::lround(wanted * kRatioDenominator));
  numerator = fastInput_ ? std::max(numerator, kRatioDenominator + 1)
                         : std::min(numerator, kRatioDenominator - 1);
  ratio_ = static_cast<double>(numerator) / kRatioDenominator;
  resampler_->setRatio(numerator, kRatioDenominator);
}
