#include "platform/dispatch/DispatchGroup.h"

void DispatchGroup::enter() {
  std::lock_guard lock(mutex_);
  ++outstanding_;
}

void DispatchGroup::leave() {
  {
    std::lock_guard lock(mutex_);
    --outstanding_;
  }
  drained_.notify_all();
}

void DispatchGroup::wait() {
  std::unique_lock lock(mutex_);
  drained_.wait(lock, [this] { return outstanding_ <= 0; });
}
