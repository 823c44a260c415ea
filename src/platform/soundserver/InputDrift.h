// Keeps an input whose sink runs on a clock of its own at the pace of a reference input, so that
// the mix keeps it aligned with the others for hours: a USB headset and the onboard card are
// tens to hundreds of parts per million apart, and both apart from the system clock.
//
// It measures how far the input's audio runs ahead of the wall clock: after each delivery, the
// frames handed on against those the clock has counted since the first. Deliveries come late
// by a varying amount, never early, so each second's largest lead is the one measured; how far
// that lead has moved from where it was first held, less how far the reference's has, is how
// far the two clocks have gone apart. While that stays within `engageMicros`, the audio passes
// untouched (every input of the reference's sink). Once it has moved past that, steadily, the
// input goes through a resampler whose ratio a proportional-integral loop sets each second, so
// that it comes back to where it started and stays: smooth, never by dropping or repeating
// frames. A jump in the lead (a server that lost audio while it stood still) is no drift: it
// becomes the new place to hold.
//
// Pure: times are microseconds on a monotonic clock, passed in by the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class SpeexRateConverter;

class InputDrift {
 public:
  struct Rule {
    std::uint32_t channels;
    std::uint32_t rate;                 // frames per second of the wall clock
    std::uint64_t engageMicros = 5000;  // a lead moved by this much is a clock apart
    // No clock moves a lead by more than 2 ms in a second (kMostApart): a lead moved by this
    // much from one judgement to the next is a jump, audio the server lost or gave at once.
    std::uint64_t jumpMicros = 4000;
    std::uint64_t windowMicros = 1000000;  // how often the lead is judged
  };

  explicit InputDrift(Rule rule);
  ~InputDrift();
  InputDrift(const InputDrift&) = delete;
  InputDrift& operator=(const InputDrift&) = delete;

  // `samples` (interleaved, whole frames) delivered at `now`, brought to the pace of a
  // reference whose lead has moved by `referenceMoved` frames (0: the wall clock's pace); none:
  // this input is the reference, or the reference is not measured yet.
  std::vector<float> pass(std::vector<float> samples, std::uint64_t now,
                          std::optional<double> referenceMoved);
  // The input's audio broke off (it went quiet and starts again): measured afresh.
  void restart();
  // The reference changed: where the lead is now becomes the place to hold.
  void holdAnew();
  // How far the lead has moved since it was held, in frames; none before it is.
  std::optional<double> moved() const;

  bool resampling() const { return resampler_ != nullptr; }
  // Input frames per output frame, as last set.
  double ratio() const { return ratio_; }

 private:
  void measure(std::uint64_t now, std::optional<double> referenceMoved);
  void judge(double lead, double seconds, std::optional<double> referenceMoved);
  void engage(double lead, double seconds);
  void steer(double error, double seconds);
  void remember(const std::vector<float>& samples);
  std::vector<float> resample(const std::vector<float>& samples);

  Rule rule_;
  std::optional<std::uint64_t> start_;  // when the first frame measured was handed on
  std::uint64_t framesOut_ = 0;         // frames handed on since
  std::uint64_t windowEnd_ = 0;
  std::optional<double> windowLead_;  // the largest lead seen in the current window (frames)
  std::optional<double> heldLead_;    // where the lead is to stay
  std::optional<double> lastLead_;
  std::optional<double> judgedLead_;  // the lead of the last judgement
  double lastJudged_ = 0;             // seconds since start_ at the last judgement
  double heldSince_ = 0;              // seconds since start_ when the lead was first held
  int windowsApart_ = 0;              // judgements in a row with the lead moved past engageMicros
  double integral_ = 0;               // frames per second the input runs ahead, as learnt
  double ratio_ = 1.0;
  bool fastInput_ = false;  // the input ran ahead when it was first resampled
  std::unique_ptr<SpeexRateConverter> resampler_;
  std::size_t discard_ = 0;    // output frames to drop: already handed on before resampling
  std::vector<float> recent_;  // the last frames handed on, to prime the resampler with
};
