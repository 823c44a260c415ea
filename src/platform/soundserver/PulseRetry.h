// A RetryRule run on the loop thread: wakes when the rule says and tells its owner to try or
// to give up. Every call is made on the loop thread.
#pragma once

#include <functional>
#include <optional>

#include "platform/soundserver/PulseTimer.h"
#include "platform/soundserver/RetryRule.h"

class PulseRetry {
 public:
  struct Events {
    // The try that is due; always on a turn of the loop of its own, never inside a call
    // below, so that a try failing at once cannot recurse.
    std::function<void()> attempt;
    // Called at most once per effort; the effort is over.
    std::function<void()> giveUp;
  };

  PulseRetry(const PulseLoop& loop, RetryRule::Policy policy, Events events);

  // An effort under `policy` from now on, or the one given at construction.
  void begin(std::optional<RetryRule::Policy> policy = std::nullopt);
  // The try under way failed: the next is scheduled, or the effort is given up at once.
  void failed();
  // Success, or the owner stopping: nothing more is reported.
  void end();
  bool active() const { return rule_.active(); }

 private:
  void wake();
  void arm();

  RetryRule rule_;
  Events events_;
  PulseTimer timer_;
};
