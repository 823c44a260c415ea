// The capturer against a scripted capture service: how a start ends and what it tells on
// standard error. (What becomes of delivered samples is the fuzzer's and the e2e tests' part.)
#include <gtest/gtest.h>

#include "capture/SystemAudioCapturer.h"

namespace {

using Calls = std::vector<std::string>;
const Calls kAllCalls = {"getShareableContent", "validateStreamOutput(audio)", "startCapture"};
const std::string kDomain = "com.apple.ScreenCaptureKit.SCStreamErrorDomain";

// Answers as a test scripts it: with or without a display, the step `failing` (an index into
// kAllCalls) failing. Records what it was asked; completions run on a thread of its own. The
// capturer's calls follow one another, each after the last one's completion.
struct ScriptedService final : SCCaptureService {
  bool displays = true;
  std::size_t failing = kAllCalls.size();
  Calls calls;
  SCStreamRef lastStream;
  DispatchQueueRef thread = DispatchQueue::create("scripted-capture-service");

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
    lastStream = stream;
    thread->async([handler = std::move(handler), error] { handler(error); });
  }
  NSErrorRef step(const std::string& call) {
    calls.push_back(call);
    return calls.size() == failing + 1
               ? NSError::errorWithDomain(kDomain, -3801, "The user declined")
               : nullptr;
  }
};

ScriptedService* service = nullptr;  // the running test's

// What `action` wrote to standard error (file descriptor 2, where diagnostic lines go).
template <typename Action>
std::string stderrOf(Action action) {
  testing::internal::CaptureStderr();
  action();
  return testing::internal::GetCapturedStderr();
}

}  // namespace

SCCaptureService& SCCaptureService::shared() {
  static ScriptedService outsideCapturerTests;
  return service != nullptr ? *service : outsideCapturerTests;
}

// A start that succeeds is then stopped by the service: told once, and nothing restarts.
TEST(CapturerTest, EachWayAStartEndsIsToldOnceAndNothingFollowsAFailureOrAStop) {
  const std::string failed = "SystemAudioCapturer failed to start: Error Domain=" + kDomain +
                             " Code=-3801 \"The user declined\"\n";
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
    const auto capturer = std::make_shared<SystemAudioCapturer>();
    EXPECT_EQ(stderrOf([&] { capturer->start(); }), told);
    const auto lost = NSError::errorWithDomain(kDomain, -3805, "Connection lost");
    if (told.empty()) {
      EXPECT_EQ(stderrOf([&] { scripted.lastStream->reportStop(lost); }),
                "SystemAudioCapturer stopped: " + lost->description() + "\n");
    }
    EXPECT_EQ(scripted.calls, Calls(kAllCalls.begin(), kAllCalls.begin() + callsMade));
    service = nullptr;
  }
}
