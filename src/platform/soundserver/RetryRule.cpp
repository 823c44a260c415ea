#include "platform/soundserver/RetryRule.h"

#include <algorithm>

void RetryRule::begin(std::uint64_t now) {
  active_ = true;
  tryUnderWay_ = false;
  exhausted_ = false;
  nextWait_ = policy_.shortestWait;
  nextTryAt_ = now;
  if (!policy_.firstAtOnce) {
    nextTryAt_ += nextWait_;
    nextWait_ = std::min(2 * nextWait_, policy_.longestWait);
  }
  if (policy_.giveUpAfter) giveUpAt_ = now + *policy_.giveUpAfter;
}

void RetryRule::tried() {
  tryUnderWay_ = true;
}

void RetryRule::failed(std::uint64_t now) {
  if (!active_) return begin(now);
  tryUnderWay_ = false;
  if (!policy_.retries) {
    exhausted_ = true;
    nextTryAt_ = now;  // when it gave up
    return;
  }
  nextTryAt_ = now + nextWait_;
  nextWait_ = std::min(2 * nextWait_, policy_.longestWait);
}

RetryRule::Step RetryRule::step(std::uint64_t now) const {
  if (!active_) return Step::Wait;
  if (exhausted_ || (policy_.giveUpAfter && now >= giveUpAt_)) return Step::GiveUp;
  if (tryUnderWay_ || now < nextTryAt_) return Step::Wait;
  return Step::Try;
}

std::optional<std::uint64_t> RetryRule::wakeAt() const {
  if (!active_) return std::nullopt;
  std::optional<std::uint64_t> wake;
  if (!tryUnderWay_) wake = nextTryAt_;
  if (policy_.giveUpAfter) wake = std::min(wake.value_or(giveUpAt_), giveUpAt_);
  return wake;
}
