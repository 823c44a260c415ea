// A serial queue: runs submitted blocks one at a time, in submission order, on its own thread.
//
// A thread that spends its life waiting on something else (a sound server's socket) and hands
// the queue a block after each wait may lend itself to the queue (Lending): when the queue is
// idle, that thread's block is kept for it and run by it once it has finished what it was
// doing, so one thread wakes per block instead of two. The queue counts as busy until the
// lender has run every block, those other threads submit meanwhile included, so blocks still
// run one at a time and in submission order, and never on the thread that created the queue.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
  // Runs what is already queued, then stops the thread.
  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

 private:
  // Shared with the worker thread, which may outlive the queue object by one block, and with
  // a lender running the queue's blocks.
  struct Pending {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Block> blocks;
    bool closing = false;
    bool workerRunning = false;  // the worker is inside a block
    std::thread::id lender;      // a lending thread owns the blocks until it has run them all
  };
  static void run(const std::shared_ptr<Pending>& pending);

  std::string label_;
  std::shared_ptr<Pending> pending_;
  std::thread worker_;

 public:
  // Lends the constructing thread to idle queues until destroyed; one per thread at a time.
  class Lending {
   public:
    Lending();
    // Hands blocks not yet run back to their queues' own threads.
    ~Lending();
    Lending(const Lending&) = delete;
    Lending& operator=(const Lending&) = delete;

    // Whether a queue is waiting for this thread to run its blocks.
    bool owesWork() const { return !owed_.empty(); }
    // Runs every block kept for this thread, and those queued behind them meanwhile, then
    // gives the queues back. Not while holding a lock that a block may take.
    void runLentBlocks();

   private:
    friend class DispatchQueue;
    static Lending* current();
    static void runAndGiveBack(Pending& pending);

    std::vector<std::shared_ptr<Pending>> owed_;
    std::vector<std::shared_ptr<Pending>> running_;
  };
};
