// The serial queue the program's threads rely on, and a thread lent to it: the lender runs an
// idle queue's blocks itself, without breaking the queue's order or its one-block-at-a-time
// promise, and hands back what it does not run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <numeric>
#include <optional>
#include <thread>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"

namespace {

// What ran, in which order, on which threads, and whether two blocks ever overlapped.
struct Trace {
  std::mutex mutex;
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  std::atomic<int> running = 0;
  std::atomic<int> overlaps = 0;

  DispatchQueue::Block step(
      int id, std::function<void()> inside = [] {}) {
    return [this, id, inside = std::move(inside)] {
      if (running.fetch_add(1) != 0) ++overlaps;
      inside();
      std::lock_guard lock(mutex);
      order.push_back(id);
      threads.push_back(std::this_thread::get_id());
      --running;
    };
  }
};

void waitUntilDrained(DispatchQueue& queue) {
  std::promise<void> done;
  queue.async([&] { done.set_value(); });
  ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
}

}  // namespace

// Blocks a lender did not run go back to the queue's own thread, and a queue that is busy is
// not lent: either way they run there, one at a time and in order.
TEST(DispatchQueue, RunsBlocksOneAtATimeInOrderOnItsOwnThreadWhenNotLent) {
  const auto queue = DispatchQueue::create("test");
  Trace trace;
  std::promise<void> workerInside;
  std::promise<void> release;
  std::thread submitter([&] {
    {
      DispatchQueue::Lending lending;
      queue->async(trace.step(0, [&] {
        workerInside.set_value();
        release.get_future().wait();
      }));
      EXPECT_TRUE(lending.owesWork());
    }  // dropped without running block 0
    ASSERT_EQ(workerInside.get_future().wait_for(std::chrono::seconds(30)),
              std::future_status::ready)
        << "a block the lender did not run never ran";
    DispatchQueue::Lending lending;
    for (int i = 1; i < 200; ++i) queue->async(trace.step(i, [] { std::this_thread::yield(); }));
    EXPECT_FALSE(lending.owesWork()) << "a busy queue was lent";
  });
  const auto submitterId = submitter.get_id();
  submitter.join();
  release.set_value();
  waitUntilDrained(*queue);
  std::vector<int> expected(200);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(trace.order, expected);
  EXPECT_EQ(trace.overlaps, 0);
  for (const auto id : {std::this_thread::get_id(), submitterId}) {
    EXPECT_EQ(std::count(trace.threads.begin(), trace.threads.end(), id), 0);
  }
}

TEST(DispatchLending, LenderRunsIdleQueueInOrderWithBlocksOthersSubmitMeanwhile) {
  const auto queue = DispatchQueue::create("lent");
  Trace trace;
  std::promise<void> othersSubmitted;
  std::thread lender([&] {
    DispatchQueue::Lending lending;
    // The first block waits until another thread has queued two more behind it.
    queue->async(trace.step(0, [&] { othersSubmitted.get_future().wait(); }));
    EXPECT_TRUE(lending.owesWork());
    EXPECT_EQ(trace.running, 0) << "a lent block ran before the lender ran it";
    lending.runLentBlocks();
    EXPECT_FALSE(lending.owesWork());
  });
  // Queued while the lender owes the queue: they wait behind block 0, not beside it.
  while (trace.running == 0) std::this_thread::yield();
  queue->async(trace.step(1));
  queue->async(trace.step(2));
  othersSubmitted.set_value();
  const auto lenderId = lender.get_id();
  lender.join();
  EXPECT_EQ(trace.order, (std::vector{0, 1, 2}));
  EXPECT_EQ(trace.overlaps, 0);
  EXPECT_EQ(trace.threads, std::vector(3, lenderId));
}

// The last reference to a queue dropped by its own block, on its thread or on a lender.
TEST(DispatchLending, ABlockMayReleaseItsQueue) {
  for (const bool lent : {false, true}) {
    SCOPED_TRACE(lent ? "lent" : "on the queue's thread");
    std::promise<void> released;
    std::thread([&] {
      std::optional<DispatchQueue::Lending> lending;
      if (lent) lending.emplace();
      auto queue = DispatchQueue::create("self-owned");
      queue->async([owned = queue, &released]() mutable {
        owned.reset();  // the last reference, once the submitter has let go of its own
        released.set_value();
      });
      queue.reset();
      if (lent) lending->runLentBlocks();
    }).join();
    EXPECT_EQ(released.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  }
}
