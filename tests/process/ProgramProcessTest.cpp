// The whole program as a process, over the scripted service: how signals end it, what it
// writes on standard output and error, and that it stays up after telling a failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "audio/Resampler.h"
#include "audio/SampleBufferUnpacking.h"
#include "support/SampleBuffers.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(30);

class RunningProgram {
 public:
  explicit RunningProgram(const std::string& scenario) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> env = {"SYSAUDIO_SCENARIO=" + scenario};
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string path = SCRIPTED_PROGRAM;
    char* argv[] = {path.data(), nullptr};
    const int failed = ::posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    if (failed != 0) throw std::runtime_error("posix_spawn failed");
  }

  ~RunningProgram() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(outFd_);
    ::close(errFd_);
  }

  // True once the process catches both SIGINT and SIGTERM.
  bool waitForHandlers() {
    const unsigned long wanted = (1UL << (SIGINT - 1)) | (1UL << (SIGTERM - 1));
    return waitUntil([&] { return (caughtSignals() & wanted) == wanted; });
  }
  bool waitForStdout(std::size_t bytes) {
    return waitUntil([&] { return out.size() >= bytes; });
  }
  bool waitForStderr(std::size_t bytes) {
    return waitUntil([&] { return err.size() >= bytes; });
  }
  // Keeps reading for `span`; false if the process ended meanwhile.
  bool staysUpFor(std::chrono::milliseconds span) {
    waitUntil([] { return false; }, span);
    return ::waitpid(pid_, nullptr, WNOHANG) == 0;
  }

  // Sends `signal`, reads the rest of the output and returns the wait status.
  int endWith(int signal) {
    ::kill(pid_, signal);
    while (readSome(std::chrono::milliseconds(100)) || !outClosed_ || !errClosed_) {
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    exited_ = true;
    return status;
  }

  ByteBlock out;
  std::string err;

 private:
  unsigned long caughtSignals() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigCgt:", 0) == 0) return std::stoul(line.substr(7), nullptr, 16);
    }
    return 0;
  }

  template <typename Condition>
  bool waitUntil(Condition done, Clock::duration patience = kPatience) {
    const auto deadline = Clock::now() + patience;
    while (!done()) {
      if (Clock::now() >= deadline) return false;
      readSome(std::chrono::milliseconds(10));
    }
    return true;
  }

  // Reads what is ready on either pipe within `wait`; true if anything was read.
  bool readSome(std::chrono::milliseconds wait) {
    pollfd fds[2] = {{outClosed_ ? -1 : outFd_, POLLIN, 0}, {errClosed_ ? -1 : errFd_, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(wait.count())) <= 0) return false;
    bool got = false;
    char chunk[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      bool& closed = i == 0 ? outClosed_ : errClosed_;
      if (n <= 0) {
        closed = true;
        continue;
      }
      got = true;
      if (i == 0) {
        const auto* bytes = reinterpret_cast<const std::byte*>(chunk);
        out.insert(out.end(), bytes, bytes + n);
      } else {
        err.append(chunk, static_cast<std::size_t>(n));
      }
    }
    return got;
  }

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  bool outClosed_ = false;
  bool errClosed_ = false;
  bool exited_ = false;
};

bool endedWithStatus0(int status) {
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// What the program should write for the scripted tone's first `count` samples.
ByteBlock expectedTone(std::size_t count) {
  Resampler resampler;
  ByteBlock all;
  for (std::size_t i = 0; i < count; ++i) {
    const auto block = resampler.convert(toAVAudioPCMBuffer(captureToneSample(i)));
    all.insert(all.end(), block->begin(), block->end());
  }
  return all;
}

ByteBlock prefix(const ByteBlock& block, std::size_t size) {
  return {block.begin(), block.begin() + static_cast<std::ptrdiff_t>(std::min(size, block.size()))};
}

const char kStartFailed[] =
    "SystemAudioCapturer failed to start: Error "
    "Domain=com.apple.ScreenCaptureKit.SCStreamErrorDomain Code=-3802 \"Start failed\"\n";
const char kStopped[] =
    "SystemAudioCapturer stopped: Error Domain=com.apple.ScreenCaptureKit.SCStreamErrorDomain "
    "Code=-3805 \"Connection lost\"\n";
const char kNoDisplay[] = "SystemAudioCapturer: no display found\n";

}  // namespace

TEST(ProgramProcess, WhileCapturingWritesTheConvertedToneAndEndsWithStatus0OnEitherSignal) {
  const ByteBlock expected = expectedTone(3);
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal));
    RunningProgram program("capturing");
    ASSERT_TRUE(program.waitForHandlers());
    ASSERT_TRUE(program.waitForStdout(expected.size()));
    EXPECT_EQ(prefix(program.out, expected.size()), expected);
    EXPECT_TRUE(endedWithStatus0(program.endWith(signal)));
    EXPECT_EQ(program.err, "");
  }
}

TEST(ProgramProcess, WhileStartingEndsWithStatus0OnEitherSignal) {
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal));
    RunningProgram program("start-never-completes");
    ASSERT_TRUE(program.waitForHandlers());
    EXPECT_TRUE(endedWithStatus0(program.endWith(signal)));
    EXPECT_TRUE(program.out.empty());
    EXPECT_EQ(program.err, "");
  }
}

TEST(ProgramProcess, AfterAStartFailureTellsItOnceStaysUpAndEndsWithStatus0) {
  for (const auto& [scenario, line] :
       {std::pair{"start-fails", kStartFailed}, std::pair{"no-display", kNoDisplay}}) {
    for (int signal : {SIGINT, SIGTERM}) {
      SCOPED_TRACE(testing::Message() << scenario << ", " << strsignal(signal));
      RunningProgram program(scenario);
      ASSERT_TRUE(program.waitForHandlers());
      ASSERT_TRUE(program.waitForStderr(std::string(line).size()));
      EXPECT_TRUE(program.staysUpFor(std::chrono::milliseconds(300)));
      EXPECT_EQ(program.err, line);
      EXPECT_TRUE(endedWithStatus0(program.endWith(signal)));
      EXPECT_EQ(program.err, line);
      EXPECT_TRUE(program.out.empty());
    }
  }
}

TEST(ProgramProcess, AStopIsToldOnceAndTheProcessStaysUp) {
  const ByteBlock expected = expectedTone(3);
  RunningProgram program("stops-with-error");
  ASSERT_TRUE(program.waitForHandlers());
  ASSERT_TRUE(program.waitForStderr(std::string(kStopped).size()));
  ASSERT_TRUE(program.waitForStdout(expected.size()));
  EXPECT_TRUE(program.staysUpFor(std::chrono::milliseconds(300)));
  EXPECT_TRUE(endedWithStatus0(program.endWith(SIGTERM)));
  EXPECT_EQ(program.err, kStopped);
  EXPECT_EQ(program.out, expected);
}
