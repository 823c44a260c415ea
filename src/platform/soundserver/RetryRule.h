// When to try again after something failed, and when to give up: the rule behind the start
// of a recording (one try, a time limit), the search for a sink after its stream failed (tries
// that slow down, no limit) and the return to a server that went away (a try at once, then
// tries that slow down, a time limit from the loss).
//
// The waits double from the shortest to the longest: a cause that persists (a sink that
// refuses every recording, a server that stays away) costs almost nothing, while the first
// tries come soon enough to hide a short outage. Only one try is under way at a time.
//
// Pure: times are microseconds on a monotonic clock, passed in by the caller, which makes the
// tries it is told to and reports how they ended.
#pragma once

#include <cstdint>
#include <optional>

class RetryRule {
 public:
  struct Policy {
    bool firstAtOnce;                          // the first try comes at once, not after a wait
    bool retries;                              // false: a failed try ends the effort
    std::uint64_t shortestWait;                // before the first retry; doubling after that...
    std::uint64_t longestWait;                 // ...up to this
    std::optional<std::uint64_t> giveUpAfter;  // counted from begin(); none: never
  };
  enum class Step { Wait, Try, GiveUp };

  explicit RetryRule(Policy policy) : policy_(policy) {}

  // An effort starts at `now` (a start, a loss), from the shortest wait and a fresh limit.
  void begin(std::uint64_t now);
  // The caller made the try that was due; none other is due until it has failed.
  void tried();
  // The try under way, or the state of things it stood for, failed at `now`.
  void failed(std::uint64_t now);
  // The effort succeeded: nothing is due any more.
  void succeeded() { active_ = false; }

  bool active() const { return active_; }
  // What is due at `now`.
  Step step(std::uint64_t now) const;
  // When step() may next change by time alone (a try falling due, the limit); none while
  // only a try's outcome can change it.
  std::optional<std::uint64_t> wakeAt() const;

 private:
  Policy policy_;
  bool active_ = false;
  bool tryUnderWay_ = false;
  bool exhausted_ = false;  // a try failed and the policy allows no other
  std::uint64_t nextTryAt_ = 0;
  std::uint64_t giveUpAt_ = 0;
  std::uint64_t nextWait_ = 0;
};
