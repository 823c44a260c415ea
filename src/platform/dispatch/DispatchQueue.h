// A serial queue: runs submitted blocks one at a time, in submission order, on a thread of its
// own (the queue's worker), which sleeps while the queue is empty.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class DispatchQueue;
using DispatchQueueRef = std::shared_ptr<DispatchQueue>;

class DispatchQueue {
 public:
  using Block = std::function<void()>;

  static DispatchQueueRef create(std::string label);

  const std::string& label() const { return label_; }
  // Queues `block` and returns at once.
  void async(Block block);

  explicit DispatchQueue(std::string label);
  // Runs what is already queued, then stops the worker.
  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

 private:
  // Shared with the worker, which may outlive the queue object by one block.
  struct Pending {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Block> blocks;
    bool closing = false;
  };
  static void run(const std::shared_ptr<Pending>& pending);

  std::string label_;
  std::shared_ptr<Pending> pending_;
  std::thread worker_;
};
