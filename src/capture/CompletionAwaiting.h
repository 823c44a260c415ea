// Waits on the calling thread for a completion that the capture service runs on its own.
#pragma once

#include <cstdlib>
#include <future>
#include <memory>
#include <utility>

#include "platform/foundation/NSError.h"

// What a completion brought: a result, or the error when the service passed one.
template <typename Result>
struct Completion {
  Result result;
  NSErrorRef error;
};

// Calls `operation` with a handler for (result, error) and waits until the handler runs.
// A second call of the handler is ignored. A handler dropped without ever being called ends
// the wait with an error rather than leaving the caller waiting for good.
template <typename Result, typename Operation>
Completion<Result> awaitCompletion(Operation&& operation) {
  // Only the handler holds the promise, so a handler dropped uncalled breaks it.
  auto promise = std::make_shared<std::promise<Completion<Result>>>();
  std::future<Completion<Result>> future = promise->get_future();
  auto answered = std::make_shared<std::once_flag>();
  std::forward<Operation>(
      operation)([promise = std::move(promise), answered](Result result, NSErrorRef error) {
    std::call_once(*answered, [&] { promise->set_value({std::move(result), std::move(error)}); });
  });
  try {
    return future.get();
  } catch (const std::future_error&) {
    return {Result{}, NSError::errorWithDomain("SystemAudioCapturer", -1,
                                               "the capture service dropped a completion")};
  }
}
