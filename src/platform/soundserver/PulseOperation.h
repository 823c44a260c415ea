// Work the service keeps alive on the loop thread until it has finished.
#pragma once

#include <functional>

class PulseOperation {
 public:
  // Called by the operation, on the loop thread, once it has nothing left to do. The service
  // then drops it, after the callback that finished it has returned.
  using Retire = std::function<void(const PulseOperation*)>;

  virtual ~PulseOperation() = default;
  // Starts the work; runs on the loop thread.
  virtual void begin() = 0;
};
