#include "platform/soundserver/PulseRetry.h"

#include <pulse/rtclock.h>

PulseRetry::PulseRetry(const PulseLoop& loop, RetryRule::Policy policy, Events events)
    : rule_(policy), events_(std::move(events)), timer_(loop, [this] { wake(); }) {}

void PulseRetry::begin(std::optional<RetryRule::Policy> policy) {
  if (policy) rule_ = RetryRule(*policy);
  rule_.begin(pa_rtclock_now());
  arm();
}

void PulseRetry::failed() {
  const std::uint64_t now = pa_rtclock_now();
  rule_.failed(now);
  if (rule_.step(now) == RetryRule::Step::GiveUp) {
    end();
    return events_.giveUp();
  }
  arm();
}

void PulseRetry::end() {
  rule_.succeeded();
  timer_.clear();
}

void PulseRetry::wake() {
  switch (rule_.step(pa_rtclock_now())) {
    case RetryRule::Step::Wait:
      return arm();
    case RetryRule::Step::GiveUp:
      end();
      return events_.giveUp();
    case RetryRule::Step::Try:
      rule_.tried();
      arm();  // for the limit, should the try never answer
      // Last: the try may fail at once, or end the owner's whole recording.
      return events_.attempt();
  }
}

void PulseRetry::arm() {
  if (const auto wakeAt = rule_.wakeAt()) return timer_.setAt(*wakeAt);
  timer_.clear();
}
