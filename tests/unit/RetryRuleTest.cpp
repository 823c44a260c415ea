// When the capture service tries again and when it gives up: after losing the server, after a
// stream failed on a sink, and at the start. Driven by a clock passed in, never by sleeping.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "platform/soundserver/RecordingTiming.h"
#include "platform/soundserver/RetryRule.h"

namespace {

constexpr std::uint64_t kMs = 1000;
constexpr std::uint64_t kSecond = 1000 * kMs;
constexpr std::uint64_t kHour = 3600 * kSecond;
const RecordingTiming kTiming;
using Step = RetryRule::Step;

struct Tries {
  std::vector<std::uint64_t> at;
  std::optional<std::uint64_t> gaveUpAt;
};

// Every try fails as soon as it is made: the tries the rule asks for from `from` until it
// gives up or `until` has passed.
Tries failEveryTry(RetryRule& rule, std::uint64_t from, std::uint64_t until) {
  Tries run;
  rule.begin(from);
  for (auto wake = rule.wakeAt(); wake && *wake <= until; wake = rule.wakeAt()) {
    const Step step = rule.step(*wake);
    EXPECT_NE(step, Step::Wait) << "woken at " << *wake << " with nothing due";
    if (step == Step::GiveUp) run.gaveUpAt = *wake;
    if (step != Step::Try) break;
    run.at.push_back(*wake);
    rule.tried();
    rule.failed(*wake);
  }
  return run;
}

// Neither endlessly fast nor never trying, nor ever stopping where it should stop.
TEST(RetryRuleTest, ServicePoliciesSpaceTheirTriesAndGiveUpWhenTheyShould) {
  struct Case {
    const char* what;
    RetryRule::Policy policy;
    std::vector<std::uint64_t> waits;  // ms before the first try, then between; the last repeats
    std::optional<std::uint64_t> givesUpAt;  // none: tries all through the hour
  };
  const std::vector<std::uint64_t> doubling = {100, 200, 400, 800, 1600, 3200, 5000};
  const Case cases[] = {
      {"server lost", kTiming.reconnect, {0, 100, 200, 400, 800, 1000}, 10 * kSecond},
      {"stream failed on the default sink", kTiming.findSink, doubling, std::nullopt},
      {"start (a sink vanishing during it)", kTiming.start, {0}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RetryRule rule(c.policy);
    // Twice: an effort that succeeded ends, and the next starts afresh, from the shortest
    // wait with a limit counted from its own start.
    for (const std::uint64_t from : {7 * kSecond, 3 * kHour}) {
      const Tries run = failEveryTry(rule, from, from + kHour);
      ASSERT_FALSE(run.at.empty());
      for (std::size_t n = 0; n < run.at.size(); ++n) {
        const std::uint64_t wait = run.at[n] - (n == 0 ? from : run.at[n - 1]);
        ASSERT_EQ(wait, c.waits[std::min(n, c.waits.size() - 1)] * kMs) << "before try " << n;
      }
      EXPECT_EQ(run.gaveUpAt, c.givesUpAt ? std::optional(from + *c.givesUpAt) : std::nullopt);
      EXPECT_TRUE(c.givesUpAt || run.at.back() > from + kHour - 2 * c.waits.back() * kMs)
          << "stopped trying at " << run.at.back();
      rule.succeeded();
      EXPECT_EQ(rule.wakeAt(), std::nullopt);
      EXPECT_EQ(rule.step(from + 2 * kHour), Step::Wait) << "gave up after succeeding";
    }
  }
}

// A try that never answers (a server that accepts and then hangs) holds back the next try, but
// not the limit, which counts from the start or the loss.
TEST(RetryRuleTest, TryThatNeverAnswersStillGivesUpAtTheLimit) {
  for (const auto* policy : {&kTiming.start, &kTiming.reconnect}) {
    RetryRule rule(*policy);
    rule.begin(0);
    ASSERT_EQ(rule.step(0), Step::Try);
    rule.tried();
    EXPECT_EQ(rule.step(10 * kSecond - 1), Step::Wait);
    EXPECT_EQ(rule.wakeAt(), 10 * kSecond);
    EXPECT_EQ(rule.step(10 * kSecond), Step::GiveUp);
  }
}

// Failures that come faster than the tries (streams failing one after another on events, for
// 40 ms after each try) push the next try back; they never bring it forward.
TEST(RetryRuleTest, FailuresBetweenTriesNeverHurryTheNext) {
  RetryRule rule(kTiming.findSink);
  rule.begin(0);
  std::vector<std::uint64_t> tries;
  for (std::uint64_t now = 0; now <= 20 * kSecond; now += 10 * kMs) {
    if (rule.step(now) == Step::Try) {
      EXPECT_TRUE(tries.empty() || now - tries.back() >= 100 * kMs) << now - tries.back();
      tries.push_back(now);
      rule.tried();
    }
    if (!tries.empty() && now - tries.back() < 50 * kMs) rule.failed(now);
  }
  EXPECT_GE(tries.size(), 3U);
}

}  // namespace
