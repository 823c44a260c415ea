// When the capture service tries again and when it gives up: after losing the server, after a
// stream failed on a sink, and at the start. Driven by a clock passed in, never by sleeping.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "platform/soundserver/PulseCaptureService.h"
#include "platform/soundserver/RetryRule.h"

namespace {

constexpr std::uint64_t kMs = 1000;
constexpr std::uint64_t kSecond = 1000 * kMs;
constexpr std::uint64_t kHour = 3600 * kSecond;
const auto& kTiming = PulseCaptureService::kDefaultTiming.recording;

struct Tries {
  std::vector<std::uint64_t> tries;
  std::optional<std::uint64_t> gaveUpAt;
};

// Every try fails as soon as it is made (a server that refuses, a sink that refuses): the
// tries the rule asks for from `from` until it gives up or `until` has passed.
Tries failEveryTry(RetryRule& rule, std::uint64_t from, std::uint64_t until) {
  Tries run;
  rule.begin(from);
  for (std::optional<std::uint64_t> wake = rule.wakeAt(); wake && *wake <= until;
       wake = rule.wakeAt()) {
    switch (rule.step(*wake)) {
      case RetryRule::Step::Try:
        run.tries.push_back(*wake);
        rule.tried();
        rule.failed(*wake);
        break;
      case RetryRule::Step::GiveUp:
        run.gaveUpAt = *wake;
        return run;
      case RetryRule::Step::Wait:
        ADD_FAILURE() << "woken at " << *wake << " with nothing due";
        return run;
    }
  }
  return run;
}

// Neither endlessly fast nor ever stopping: the service's own policies, against the behaviour
// asked of them.
TEST(RetryRuleTest, ServicePoliciesSpaceTheirTriesAndGiveUpWhenTheyShould) {
  struct Case {
    const char* what;
    RetryRule::Policy policy;
    std::uint64_t firstTryAfter;
    std::vector<std::uint64_t> firstWaits;  // between the tries that follow
    std::uint64_t longestWait;
    std::optional<std::uint64_t> givesUpAt;
    std::size_t tries;  // 0: as many as fit in the hour
  };
  const Case cases[] = {
      {"server lost",
       kTiming.reconnect,
       0,
       {100 * kMs, 200 * kMs, 400 * kMs, 800 * kMs, kSecond},
       kSecond,
       10 * kSecond,
       13},
      {"stream failed on the default sink",
       kTiming.findSink,
       100 * kMs,
       {200 * kMs, 400 * kMs, 800 * kMs, 1600 * kMs, 3200 * kMs, 5 * kSecond},
       5 * kSecond,
       std::nullopt,
       0},
      {"start (a sink vanishing during it)", kTiming.start, 0, {}, 0, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RetryRule rule(c.policy);
    const std::uint64_t from = 7 * kSecond;
    const Tries run = failEveryTry(rule, from, from + kHour);
    ASSERT_FALSE(run.tries.empty());
    EXPECT_EQ(run.tries.front() - from, c.firstTryAfter);
    for (std::size_t n = 1; n < run.tries.size(); ++n) {
      const std::uint64_t wait = run.tries[n] - run.tries[n - 1];
      const std::uint64_t expected = n <= c.firstWaits.size() ? c.firstWaits[n - 1] : c.longestWait;
      ASSERT_EQ(wait, expected) << "wait before try " << n;
    }
    if (c.tries != 0) {
      EXPECT_EQ(run.tries.size(), c.tries);
    }
    if (c.givesUpAt) {
      ASSERT_TRUE(run.gaveUpAt.has_value());
      EXPECT_EQ(*run.gaveUpAt - from, *c.givesUpAt);
    } else {
      EXPECT_FALSE(run.gaveUpAt.has_value());
      EXPECT_GT(run.tries.back() + c.longestWait, from + kHour - c.longestWait);
    }
  }
}

// A try that never answers (a server that accepts and then hangs) holds back the next try, but
// not the limit, which counts from the start or the loss.
TEST(RetryRuleTest, TryThatNeverAnswersStillGivesUpAtTheLimit) {
  for (const auto* policy : {&kTiming.start, &kTiming.reconnect}) {
    RetryRule rule(*policy);
    rule.begin(0);
    ASSERT_EQ(rule.step(0), RetryRule::Step::Try);
    rule.tried();
    EXPECT_EQ(rule.step(10 * kSecond - 1), RetryRule::Step::Wait);
    EXPECT_EQ(rule.wakeAt(), 10 * kSecond);
    EXPECT_EQ(rule.step(10 * kSecond), RetryRule::Step::GiveUp);
  }
}

TEST(RetryRuleTest, SuccessEndsTheEffortAndTheNextStartsAfresh) {
  RetryRule rule(kTiming.reconnect);
  failEveryTry(rule, 0, 3 * kSecond);  // waits grown to the longest
  rule.succeeded();
  EXPECT_EQ(rule.wakeAt(), std::nullopt);
  EXPECT_EQ(rule.step(kHour), RetryRule::Step::Wait) << "gave up after succeeding";
  // Lost again much later: a try at once, the shortest wait, a limit from this loss.
  const Tries again = failEveryTry(rule, kHour, 2 * kHour);
  ASSERT_GE(again.tries.size(), 2U);
  EXPECT_EQ(again.tries[0], kHour);
  EXPECT_EQ(again.tries[1] - again.tries[0], 100 * kMs);
  EXPECT_EQ(again.gaveUpAt, kHour + 10 * kSecond);
}

// Failures that come faster than the tries (streams failing one after another on events)
// push the next try back; they never bring it forward.
TEST(RetryRuleTest, FailuresBetweenTriesNeverHurryTheNext) {
  RetryRule rule(kTiming.findSink);
  std::uint64_t lastTry = 0;
  bool tried = false;
  for (std::uint64_t now = 0; now <= 20 * kSecond; now += 10 * kMs) {
    if (rule.step(now) == RetryRule::Step::Try) {
      EXPECT_TRUE(!tried || now - lastTry >= 100 * kMs) << "tries " << now - lastTry << " us apart";
      lastTry = now;
      tried = true;
      rule.tried();
    }
    rule.failed(now);
  }
}

}  // namespace
