// Work the service runs on the loop thread, which keeps itself alive until it has finished.
#pragma once

#include <memory>

#include "platform/soundserver/PulseLoop.h"

class PulseOperation {
 public:
  virtual ~PulseOperation() = default;

  // Begins `operation` on the loop thread, so that even an immediate failure completes from
  // there; from any thread but that one.
  static void launch(PulseLoop& loop, const std::shared_ptr<PulseOperation>& operation) {
    const auto lock = loop.lock();
    operation->self_ = operation;
    loop.post([operation = operation.get()] { operation->begin(); });
  }

 protected:
  explicit PulseOperation(PulseLoop& loop) : loop_(loop) {}
  virtual void begin() = 0;
  // The operation has nothing left to do: it goes once the callback that finished it returns.
  void retire() {
    loop_.post([self = std::move(self_)] {});
  }

 private:
  PulseLoop& loop_;
  std::shared_ptr<PulseOperation> self_;
};
