// Waiting for a capture-service completion that runs on another thread.
#include <gtest/gtest.h>

#include <thread>

#include "capture/CompletionAwaiting.h"

namespace {

TEST(CompletionAwaiting, ReturnsWhatTheHandlerBringsFromAnotherThread) {
  const auto answer = awaitCompletion<int>(
      [](auto handler) { std::thread([handler] { handler(42, nullptr); }).detach(); });
  EXPECT_EQ(answer.result, 42);
  EXPECT_EQ(answer.error, nullptr);
}

TEST(CompletionAwaiting, KeepsTheFirstAnswerWhenTheHandlerRunsTwice) {
  const auto answer = awaitCompletion<int>([](auto handler) {
    handler(1, nullptr);
    handler(2, NSError::errorWithDomain("test", 2, "second"));
  });
  EXPECT_EQ(answer.result, 1);
  EXPECT_EQ(answer.error, nullptr);
}

TEST(CompletionAwaiting, AHandlerDroppedUncalledEndsTheWaitWithAnError) {
  const auto answer = awaitCompletion<int>(
      [](auto handler) { std::thread([dropped = std::move(handler)] {}).join(); });
  ASSERT_NE(answer.error, nullptr);
  EXPECT_EQ(
      answer.error->description(),
      "Error Domain=SystemAudioCapturer Code=-1 \"the capture service dropped a completion\"");
}

}  // namespace
