#include "platform/dispatch/DispatchQueue.h"

DispatchQueueRef DispatchQueue::create(std::string label) {
  return std::make_shared<DispatchQueue>(std::move(label));
}

DispatchQueue::DispatchQueue(std::string label)
    : label_(std::move(label)),
      pending_(std::make_shared<Pending>()),
      worker_([pending = pending_] { run(pending); }) {}

DispatchQueue::~DispatchQueue() {
  {
    std::lock_guard lock(pending_->mutex);
    pending_->closing = true;
  }
  pending_->wake.notify_one();
  // The last reference may be dropped by a block running on the queue itself; the worker then
  // finishes on its own, holding the shared state.
  if (worker_.get_id() == std::this_thread::get_id()) {
    worker_.detach();
  } else {
    worker_.join();
  }
}

void DispatchQueue::async(Block block) {
  {
    std::lock_guard lock(pending_->mutex);
    pending_->blocks.push_back(std::move(block));
  }
  pending_->wake.notify_one();
}

void DispatchQueue::run(const std::shared_ptr<Pending>& pending) {
  std::unique_lock lock(pending->mutex);
  for (;;) {
    pending->wake.wait(lock, [&] { return pending->closing || !pending->blocks.empty(); });
    if (pending->blocks.empty()) return;
    Block block = std::move(pending->blocks.front());
    pending->blocks.pop_front();
    lock.unlock();
    block();
    block = nullptr;  // what the block holds goes before the next one runs, outside the lock
    lock.lock();
  }
}
