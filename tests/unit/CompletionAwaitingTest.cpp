// Waiting for a capture-service completion that runs on another thread.
#include <gtest/gtest.h>

#include <thread>

#include "capture/CompletionAwaiting.h"

TEST(CompletionAwaiting, KeepsTheFirstAnswerFromAnotherThreadAndEndsAWaitNoAnswerWillEnd) {
  const auto answer = awaitCompletion<int>([](auto handler) {
    std::thread([handler] {
      handler(42, nullptr);
      handler(2, NSError::errorWithDomain("test", 2, "second"));
    }).join();
  });
  EXPECT_EQ(answer.result, 42);
  EXPECT_EQ(answer.error, nullptr);

  const auto dropped = awaitCompletion<int>(
      [](auto handler) { std::thread([unused = std::move(handler)] {}).join(); });
  ASSERT_NE(dropped.error, nullptr);
  EXPECT_EQ(
      dropped.error->description(),
      "Error Domain=SystemAudioCapturer Code=-1 \"the capture service dropped a completion\"");
}
