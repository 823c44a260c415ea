#include "platform/soundserver/PulseRetry.h"

#include <pulse/rtclock.h>

PulseRetry::PulseRetry(const PulseLoop& loop, RetryRule::Policy policy, Events events)
    : loop_(loop), rule_(policy), events_(std::move(events)) {}

void PulseRetry::begin() {
  const std::uint64_t now = pa_rtclock_now();
  rule_.begin(now);
  arm(now);
}

void PulseRetry::failed() {
  const std::uint64_t now = pa_rtclock_now();
  rule_.failed(now);
  if (rule_.step(now) == RetryRule::Step::GiveUp) {
    end();
    return events_.giveUp();
  }
  arm(now);
}

void PulseRetry::end() {
  rule_.succeeded();
  timer_.reset();
}

void PulseRetry::wake() {
  const std::uint64_t now = pa_rtclock_now();
  switch (rule_.step(now)) {
    case RetryRule::Step::Wait:
      return arm(now);
    case RetryRule::Step::GiveUp:
      end();
      return events_.giveUp();
    case RetryRule::Step::Try:
      rule_.tried();
      arm(now);  // for the limit, should the try never answer
      // Last: the try may fail at once, or end the owner's whole recording.
      return events_.attempt();
  }
}

// The loop's timers run on the wall clock and the rule on the monotonic one: a timer that
// comes early finds nothing due and is armed again.
void PulseRetry::arm(std::uint64_t now) {
  const std::optional<std::uint64_t> wakeAt = rule_.wakeAt();
  if (!wakeAt) {
    timer_.reset();
    return;
  }
  timer_.emplace(loop_, *wakeAt > now ? *wakeAt - now : 0, [this] { wake(); });
}
