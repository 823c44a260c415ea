// Error descriptions and whole-block writes to file descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <numeric>
#include <thread>

#include "platform/foundation/NSError.h"
#include "platform/foundation/NSFileHandle.h"

// Without user info, as in every diagnostic line, the capturer's test reads it.
TEST(ErrorDescription, ShowsDomainCodeMessageAndSortedUserInfo) {
  EXPECT_EQ(NSError::errorWithDomain("com.x", 7, "m", {{"b", "2"}, {"a", "1"}})->description(),
            "Error Domain=com.x Code=7 \"m\" UserInfo={a=1, b=2}");
}

extern "C" void ignoreSignal(int /*signal*/) {}

// Signals that interrupt a write blocked on a full pipe make it return early, with part of the
// block written or none; a non-blocking pipe answers a full pipe with EAGAIN instead. Either
// way every byte must still arrive, once and in order.
class FileHandleWrite : public testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(BlockingAndNot, FileHandleWrite, testing::Bool());

TEST_P(FileHandleWrite, DeliversEveryByteThroughPartialAndInterruptedWrites) {
  struct sigaction action {};
  action.sa_handler = ignoreSignal;  // no SA_RESTART: writes return early
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::fcntl(fds[1], F_SETFL, GetParam() ? O_NONBLOCK : 0), 0);
  std::vector<unsigned char> data(1 << 20);
  std::iota(data.begin(), data.end(), 0);  // wraps every 256 bytes
  for (std::size_t i = 0; i < data.size(); i += 4096) data[i] = static_cast<unsigned char>(i >> 12);

  std::atomic<bool> writing = true;
  std::thread writer([&] {
    NSFileHandle::initWithFileDescriptor(fds[1])->writeData(std::as_bytes(std::span(data)));
    writing = false;
    ::close(fds[1]);
  });
  std::thread interrupter([&, writerThread = writer.native_handle()] {
    for (; writing; std::this_thread::sleep_for(std::chrono::microseconds(300))) {
      ::pthread_kill(writerThread, SIGUSR1);
    }
  });
  // Small, slow reads keep the pipe full, so the writes block and are interrupted.
  std::vector<unsigned char> received;
  unsigned char chunk[1000];
  for (ssize_t got; (got = ::read(fds[0], chunk, sizeof chunk)) != 0;) {
    if (got > 0) received.insert(received.end(), chunk, chunk + got);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  writer.join();
  interrupter.join();
  ::close(fds[0]);
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_TRUE(received == data) << "received " << received.size() << " of " << data.size();
}

TEST(FileHandleWriteDeathTest, WritingToAClosedPipeEndsTheProcessWithStatus1) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::signal(SIGPIPE, SIG_IGN);
        int fds[2];
        if (::pipe(fds) != 0) _exit(3);
        ::close(fds[0]);
        const char byte = 'x';
        NSFileHandle::initWithFileDescriptor(fds[1])->writeData(std::as_bytes(std::span(&byte, 1)));
        _exit(2);
      },
      testing::ExitedWithCode(1), "NSFileHandleOperationException: writeData: Broken pipe");
}
