// The serial queue the program's threads rely on.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/dispatch/DispatchQueue.h"

TEST(DispatchQueue, RunsBlocksOneAtATimeInOrderOffTheCallingThread) {
  const auto queue = DispatchQueue::create("test");
  std::vector<int> order;  // written only by queue blocks: serial execution keeps it race-free
  std::atomic<int> running = 0;
  std::atomic<int> overlaps = 0;
  std::atomic<int> onCaller = 0;
  const auto caller = std::this_thread::get_id();
  for (int i = 0; i < 200; ++i) {
    queue->async([&, i] {
      if (running.fetch_add(1) != 0) ++overlaps;
      if (std::this_thread::get_id() == caller) ++onCaller;
      order.push_back(i);
      if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      --running;
    });
  }
  std::promise<void> done;
  queue->async([&] { done.set_value(); });
  ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(onCaller, 0);
  ASSERT_EQ(order.size(), 200U);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(order[i], i);
}

TEST(DispatchQueue, RunsWhatIsQueuedBeforeItIsDestroyed) {
  std::atomic<int> ran = 0;
  {
    const auto queue = DispatchQueue::create("short-lived");
    for (int i = 0; i < 100; ++i) queue->async([&] { ++ran; });
  }
  EXPECT_EQ(ran, 100);
}

TEST(DispatchQueue, MayBeReleasedByItsOwnLastBlock) {
  std::promise<void> released;
  {
    auto queue = DispatchQueue::create("self-owned");
    queue->async([queue, &released]() mutable {
      queue.reset();
      released.set_value();
    });
  }
  EXPECT_EQ(released.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
}
