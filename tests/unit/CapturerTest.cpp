// The capturer against a scripted capture service: how a start ends and what it tells on
// standard error. (What becomes of delivered samples is the fuzzer's and the e2e tests' part.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <future>

#include "capture/SystemAudioCapturer.h"

namespace {

using Calls = std::vector<std::string>;
const Calls kAllCalls = {"getShareableContent", "validateStreamOutput(audio)", "startCapture"};

// Answers as a test scripts it: with or without a display, one step (an index into kAllCalls)
// failing. Records what it was asked and runs completions on a thread of its own.
class ScriptedService final : public SCCaptureService {
 public:
  bool displays = true;
  std::size_t failing = kAllCalls.size();
  Calls calls;
  SCStreamRef lastStream;
  DispatchQueueRef thread = DispatchQueue::create("scripted-capture-service");
  std::mutex mutex;

  void getShareableContent(SCShareableContent::CompletionHandler handler) override {
    auto error = step(kAllCalls[0]);
    std::vector<SCDisplayRef> found;
    if (displays) found.push_back(std::make_shared<const SCDisplay>(1, "Built-in Display"));
    auto content = error ? nullptr : std::make_shared<const SCShareableContent>(found);
    thread->async([handler = std::move(handler), content, error] { handler(content, error); });
  }
  NSErrorRef validateStreamOutput(const SCStream&, SCStreamOutputType type) override {
    return step(type == SCStreamOutputTypeAudio ? kAllCalls[1] : "validateStreamOutput(screen)");
  }
  void startCapture(const SCStreamRef& stream, SCStream::StartCompletionHandler handler) override {
    auto error = step(kAllCalls[2]);
    std::lock_guard lock(mutex);
    lastStream = stream;
    thread->async([handler = std::move(handler), error] { handler(error); });
  }

 private:
  NSErrorRef step(const std::string& call) {
    std::lock_guard lock(mutex);
    calls.push_back(call);
    return calls.size() == failing + 1 ? error(-3801, "The user declined") : nullptr;
  }

 public:
  static NSErrorRef error(long code, const std::string& message) {
    return NSError::errorWithDomain("com.apple.ScreenCaptureKit.SCStreamErrorDomain", code,
                                    message);
  }
};

ScriptedService* service = nullptr;  // the running test's

// Points standard error at a temporary file while it lives.
struct StderrCapture {
  std::FILE* file = std::tmpfile();
  int saved = ::dup(STDERR_FILENO);
  StderrCapture() { ::dup2(fileno(file), STDERR_FILENO); }
  ~StderrCapture() { ::dup2(saved, STDERR_FILENO), ::close(saved), std::fclose(file); }
  std::string text() const {
    std::string all(4096, '\0');
    all.resize(std::max<ssize_t>(0, ::pread(fileno(file), all.data(), all.size(), 0)));
    return all;
  }
};

class CapturerTest : public testing::Test {
 protected:
  void SetUp() override { service = &fresh; }
  void TearDown() override { service = nullptr; }

  // Starts a capturer and returns what it wrote to standard error.
  std::string start() {
    const StderrCapture err;
    capturer = std::make_shared<SystemAudioCapturer>();
    capturer->start();
    return err.text();
  }

  ScriptedService fresh;
  std::shared_ptr<SystemAudioCapturer> capturer;
};

}  // namespace

SCCaptureService& SCCaptureService::shared() {
  static ScriptedService outsideCapturerTests;
  return service != nullptr ? *service : outsideCapturerTests;
}

TEST_F(CapturerTest, EachWayAStartEndsIsToldOnceAndNothingFollowsAFailure) {
  const std::string failed =
      "SystemAudioCapturer failed to start: Error "
      "Domain=com.apple.ScreenCaptureKit.SCStreamErrorDomain Code=-3801 \"The user declined\"\n";
  struct Case {
    std::size_t failing;
    bool displays;
    std::size_t callsMade;
    std::string told;
  };
  for (const auto& [failing, displays, callsMade, told] : {
           Case{3, true, 3, ""},
           Case{3, false, 1, "SystemAudioCapturer: no display found\n"},
           Case{0, true, 1, failed},
           Case{1, true, 2, failed},
           Case{2, true, 3, failed},
       }) {
    SCOPED_TRACE(testing::Message() << "failing " << failing << ", told: " << told);
    ScriptedService scripted;
    service = &scripted;
    scripted.failing = failing;
    scripted.displays = displays;
    EXPECT_EQ(start(), told);
    EXPECT_EQ(scripted.calls, Calls(kAllCalls.begin(), kAllCalls.begin() + callsMade));
    capturer.reset();
  }
}

TEST_F(CapturerTest, AStopIsToldOnceAndNothingRestarts) {
  ASSERT_EQ(start(), "");
  const StderrCapture err;
  std::promise<void> heard;
  fresh.thread->async([&] {
    fresh.lastStream->reportStop(ScriptedService::error(-3805, "Connection lost"));
    heard.set_value();
  });
  heard.get_future().wait();
  EXPECT_EQ(err.text(),
            "SystemAudioCapturer stopped: Error "
            "Domain=com.apple.ScreenCaptureKit.SCStreamErrorDomain Code=-3805 \"Connection "
            "lost\"\n");
  EXPECT_EQ(fresh.calls, kAllCalls);
}
