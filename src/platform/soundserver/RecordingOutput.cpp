#include "platform/soundserver/RecordingOutput.h"

#include <algorithm>

namespace {

std::uint32_t framesIn(std::uint64_t micros, std::uint32_t rate) {
  return static_cast<std::uint32_t>(micros * rate / RecordingTiming::kSecond);
}

}  // namespace

RecordingOutput::RecordingOutput(std::uint32_t rate, std::uint32_t channels,
                                 const RecordingTiming& timing)
    : channels_(channels),
      fragmentFrames_(std::max<std::uint32_t>(framesIn(timing.fragment, rate), 1)),
      fragmentMicros_(timing.fragment),
      lookEvery_(timing.gapCheck),
      clock_(
          {.rate = rate, .fragmentFrames = fragmentFrames_, .stallAfterMicros = timing.stallAfter}),
      mix_({.channels = channels,
            .rate = rate,
            .waitMicros = timing.inputWait,
            .maxLeadFrames = framesIn(timing.inputLead, rate),
            .silenceSlackFrames = fragmentFrames_,
            .fadeInFrames = framesIn(timing.fadeIn, rate)}) {}

void RecordingOutput::start(std::uint64_t now) {
  clock_.start(now);
}

std::span<const float> RecordingOutput::mix(std::uint64_t now) {
  mixed_.clear();
  return handOn(mix_.mix(now, mixed_), now);
}

std::span<const float> RecordingOutput::flush(std::uint64_t now) {
  mixed_.clear();
  return handOn(mix_.flush(mixed_), now);
}

std::span<const float> RecordingOutput::handOn(std::size_t frames, std::uint64_t now) {
  if (frames == 0) return {};
  // The oldest frames go where the clock says that time was filled with silence already.
  const std::size_t skipped = clock_.audioArrived(frames, now);
  return std::span<const float>(mixed_).subspan(std::min(skipped, frames) * channels_);
}

RecordingOutput::Tick RecordingOutput::look(std::uint64_t now, bool idle, bool serverAway) {
  // The loop runs timers before reading sockets, so after the loop thread was held up a stall
  // seen now may be audio not yet read: a gap counts once a second look, after a read in
  // between, still sees it.
  const bool stalled = clock_.stalled(now);
  const bool fill = idle || (stalled && stallSeen_);
  stallSeen_ = stalled;
  const std::uint64_t silence = fill ? clock_.takeSilenceDue(now, idle) : 0;
  // While audio flows a rare look is enough; through a gap, silence goes out fragment by
  // fragment, as audio would. Without a server there is no audio to keep close to: a look
  // every gap check hands on the silence due in one go and keeps the idle cost down.
  const bool byFragment = (stalled || idle) && !serverAway;
  return {.silenceFrames = silence, .nextLookIn = byFragment ? fragmentMicros_ : lookEvery_};
}
