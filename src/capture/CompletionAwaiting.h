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
// A second call of the handler is ignored.
template <typename Result, typename Operation>
Completion<Result> awaitCompletion(Operation&& operation) {
  auto promise = std::make_shared<std::promise<Completion<Result>>>();
  auto answered = std::make_shared<std::once_flag>();
  std::future<Completion<Result>> future = promise->get_future();
  std::forward<Operation>(operation)([promise, answered](Result result, NSErrorRef error) {
    std::call_once(*answered, [&] { promise->set_value({std::move(result), std::move(error)}); });
  });
  return future.get();
}
