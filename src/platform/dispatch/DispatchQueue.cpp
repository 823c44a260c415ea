#include "platform/dispatch/DispatchQueue.h"

#include <cassert>

namespace {

thread_local DispatchQueue::Lending* lendingHere = nullptr;

}  // namespace

DispatchQueueRef DispatchQueue::create(std::string label) {
  return std::make_shared<DispatchQueue>(std::move(label));
}

DispatchQueue::DispatchQueue(std::string label)
    : label_(std::move(label)),
      pending_(std::make_shared<Pending>()),
      worker_([pending = pending_] { run(pending); }) {}

DispatchQueue::~DispatchQueue() {
  bool lentHere = false;
  {
    std::lock_guard lock(pending_->mutex);
    pending_->closing = true;
    lentHere = pending_->lender == std::this_thread::get_id();
  }
  pending_->wake.notify_one();
  // The last reference may be dropped by a block running on the queue itself, on its own
  // thread or on a lender's; the worker then finishes on its own, holding the shared state,
  // once the lender has given the queue back.
  if (lentHere || worker_.get_id() == std::this_thread::get_id()) {
    worker_.detach();
  } else {
    worker_.join();
  }
}

void DispatchQueue::async(Block block) {
  // Held for the whole call: the block may drop the last reference to this queue on the
  // worker before the worker has been signalled.
  const std::shared_ptr<Pending> pending = pending_;
  Lending* lending = Lending::current();
  bool wakeWorker = false;
  {
    std::lock_guard lock(pending->mutex);
    const bool idle =
        pending->blocks.empty() && !pending->workerRunning && pending->lender == std::thread::id();
    pending->blocks.push_back(std::move(block));
    if (idle && lending != nullptr && !pending->closing) {
      pending->lender = std::this_thread::get_id();
      lending->owed_.push_back(pending);
    } else {
      // A lender runs what comes in while it holds the queue; only the worker needs waking.
      wakeWorker = pending->lender == std::thread::id();
    }
  }
  if (wakeWorker) pending->wake.notify_one();
}

void DispatchQueue::run(const std::shared_ptr<Pending>& pending) {
  std::unique_lock lock(pending->mutex);
  for (;;) {
    pending->wake.wait(lock, [&] {
      return pending->lender == std::thread::id() && (pending->closing || !pending->blocks.empty());
    });
    if (pending->blocks.empty()) return;
    Block block = std::move(pending->blocks.front());
    pending->blocks.pop_front();
    pending->workerRunning = true;
    lock.unlock();
    block();
    block = nullptr;  // release what the block holds before taking the next one
    lock.lock();
    pending->workerRunning = false;
  }
}

DispatchQueue::Lending::Lending() {
  assert(lendingHere == nullptr);
  lendingHere = this;
}

DispatchQueue::Lending::~Lending() {
  lendingHere = nullptr;
  for (const auto& pending : owed_) {
    {
      std::lock_guard lock(pending->mutex);
      pending->lender = std::thread::id();
    }
    pending->wake.notify_one();
  }
}

DispatchQueue::Lending* DispatchQueue::Lending::current() {
  return lendingHere;
}

void DispatchQueue::Lending::runLentBlocks() {
  // A block may submit to another idle queue, which then waits for this thread too.
  // Both lists keep their room, so a turn allocates nothing here.
  while (!owed_.empty()) {
    running_.swap(owed_);
    for (const auto& pending : running_) runAndGiveBack(*pending);
    running_.clear();
  }
}

void DispatchQueue::Lending::runAndGiveBack(Pending& pending) {
  std::unique_lock lock(pending.mutex);
  while (!pending.blocks.empty()) {
    Block block = std::move(pending.blocks.front());
    pending.blocks.pop_front();
    lock.unlock();
    block();
    block = nullptr;
    lock.lock();
  }
  pending.lender = std::thread::id();
  // Only a closing queue's worker waits for the queue back; waking it otherwise would cost
  // the very wake-up that lending saves.
  const bool closing = pending.closing;
  lock.unlock();
  if (closing) pending.wake.notify_one();
}
