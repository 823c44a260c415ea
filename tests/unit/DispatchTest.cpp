// The serial queue the program's output relies on: one block at a time, in submission order,
// on its own thread, whoever submits; and a block may drop the last reference to its queue.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"

TEST(DispatchQueue, RunsBlocksOneAtATimeInOrderOnItsOwnThread) {
  const auto queue = DispatchQueue::create("test");
  std::mutex mutex;
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  std::atomic<int> running = 0;
  std::atomic<int> overlaps = 0;
  const auto submit = [&](int first) {
    for (int i = first; i < first + 100; ++i) {
      queue->async([&, i] {
        if (running.fetch_add(1) != 0) ++overlaps;
        std::this_thread::yield();
        std::lock_guard lock(mutex);
        order.push_back(i);
        threads.push_back(std::this_thread::get_id());
        --running;
      });
    }
  };
  std::thread submitter([&] { submit(0); });
  const auto submitterId = submitter.get_id();
  submitter.join();
  submit(100);
  std::promise<void> done;
  queue->async([&] { done.set_value(); });
  ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  std::vector<int> expected(200);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(order, expected);
  EXPECT_EQ(overlaps, 0);
  for (const auto id : {std::this_thread::get_id(), submitterId}) {
    EXPECT_EQ(std::count(threads.begin(), threads.end(), id), 0);
  }
}

TEST(DispatchQueue, ABlockMayReleaseItsQueue) {
  std::promise<void> released;
  auto queue = DispatchQueue::create("self-owned");
  queue->async([owned = queue, &released]() mutable {
    owned.reset();  // the last reference, once the submitter has let go of its own
    released.set_value();
  });
  queue.reset();
  EXPECT_EQ(released.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
}
