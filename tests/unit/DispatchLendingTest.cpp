// A thread lent to serial queues: it runs an idle queue's blocks itself, without breaking the
// queue's order or its one-block-at-a-time promise, and hands back what it does not run.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"

namespace {

using std::chrono::seconds;

// What ran, in which order, on which thread, and whether two blocks ever overlapped.
struct Trace {
  std::mutex mutex;
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  std::atomic<int> running = 0;
  std::atomic<int> overlaps = 0;

  DispatchQueue::Block step(int id, std::function<void()> inside = nullptr) {
    return [this, id, inside = std::move(inside)] {
      if (running.fetch_add(1) != 0) ++overlaps;
      if (inside) inside();
      {
        std::lock_guard lock(mutex);
        order.push_back(id);
        threads.push_back(std::this_thread::get_id());
      }
      --running;
    };
  }
};

bool finishes(std::future<void> future) {
  return future.wait_for(seconds(30)) == std::future_status::ready;
}

}  // namespace

TEST(DispatchLending, LenderRunsIdleQueueInOrderWithBlocksOthersSubmitMeanwhile) {
  const auto queue = DispatchQueue::create("lent");
  Trace trace;
  std::promise<void> othersSubmitted;
  std::thread lender([&] {
    DispatchQueue::Lending lending;
    // The first block waits until another thread has queued two more behind it.
    queue->async(trace.step(0, [&] { othersSubmitted.get_future().wait(); }));
    EXPECT_TRUE(lending.owesWork());
    {
      std::lock_guard lock(trace.mutex);
      EXPECT_TRUE(trace.order.empty()) << "a lent block ran before the lender ran it";
    }
    lending.runLentBlocks();
    EXPECT_FALSE(lending.owesWork());
  });
  std::thread other([&] {
    // Queued while the lender owes the queue: they wait behind block 0, not beside it.
    while (trace.running == 0) std::this_thread::yield();
    queue->async(trace.step(1));
    queue->async(trace.step(2));
    othersSubmitted.set_value();
  });
  const auto lenderId = lender.get_id();
  other.join();
  lender.join();
  EXPECT_EQ(trace.order, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(trace.overlaps, 0);
  for (const auto& thread : trace.threads) EXPECT_EQ(thread, lenderId);
}

TEST(DispatchLending, BusyQueueIsNotLentAndUnrunBlocksGoBackToTheQueue) {
  struct Case {
    const char* name;
    bool workerBusy;  // the queue's own thread is inside a block when the lender submits
  };
  for (const Case& c : {Case{"worker busy", true}, Case{"lending ends unrun", false}}) {
    SCOPED_TRACE(c.name);
    const auto queue = DispatchQueue::create("busy");
    Trace trace;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> workerInside;
    if (c.workerBusy) {
      queue->async(trace.step(0, [&] {
        workerInside.set_value();
        released.wait();
      }));
      workerInside.get_future().wait();
    }
    std::promise<void> done;
    std::thread lender([&] {
      DispatchQueue::Lending lending;
      queue->async(trace.step(1));
      queue->async([&] { done.set_value(); });
      EXPECT_EQ(lending.owesWork(), !c.workerBusy);
      // Dropped without running: the queue's own thread takes the blocks over.
    });
    const auto lenderId = lender.get_id();
    lender.join();
    release.set_value();
    ASSERT_TRUE(finishes(done.get_future()));
    const std::vector<int> expected = c.workerBusy ? std::vector<int>{0, 1} : std::vector<int>{1};
    EXPECT_EQ(trace.order, expected);
    for (const auto& thread : trace.threads) EXPECT_NE(thread, lenderId);
  }
}

TEST(DispatchLending, LentBlockMayReleaseTheQueue) {
  auto queue = DispatchQueue::create("self-owned");
  std::atomic<bool> ran = false;
  std::thread lender([&] {
    DispatchQueue::Lending lending;
    DispatchQueue& target = *queue;
    target.async([owned = std::move(queue), &ran]() mutable {
      owned.reset();  // the last reference, dropped on the lender
      ran = true;
    });
    lending.runLentBlocks();
  });
  lender.join();
  EXPECT_TRUE(ran);
}
