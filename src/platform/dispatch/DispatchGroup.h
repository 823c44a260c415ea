// A count of outstanding work that a thread can wait on until it drops to zero.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

class DispatchGroup;
using DispatchGroupRef = std::shared_ptr<DispatchGroup>;

class DispatchGroup {
 public:
  static DispatchGroupRef create() { return std::make_shared<DispatchGroup>(); }

  void enter();
  void leave();
  // Returns once every enter has been matched by a leave.
  void wait();

 private:
  std::mutex mutex_;
  std::condition_variable drained_;
  long outstanding_ = 0;
};
