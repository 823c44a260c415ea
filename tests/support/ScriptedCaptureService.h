// A capture service whose answers a test scripts: which displays exist, which step fails and
// with what error, whether a completion is held back. It records what it was asked, in order,
// and runs completions on a thread of its own, as a real service does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/screencapture/ScreenCaptureKit.h"

class ScriptedCaptureService final : public SCCaptureService {
 public:
  enum class Step { kContentQuery, kOutputRegistration, kCaptureStart };
  using StartedHook = std::function<void(const SCStreamRef&)>;

  // The process's one service, the same object SCCaptureService::shared() returns.
  static ScriptedCaptureService& instance();

  // One display, every step succeeding, no hook, nothing recorded. Call with nothing held.
  void reset();
  void setDisplays(std::vector<SCDisplayRef> displays);
  void failStep(Step step, NSErrorRef error);
  // Keeps the completion of `step` (content query or capture start) until released.
  void holdCompletion(Step step);
  // Runs the held completion, with content or success, on the service thread. False if none.
  bool releaseHeldCompletion();
  // Runs on the service thread right after a start completion that reported success.
  void setOnCaptureStarted(StartedHook hook);

  // "getShareableContent", "validateStreamOutput(audio|screen)", "startCapture", in order.
  std::vector<std::string> calls() const;
  // Waits until `count` calls were received; false when `timeout` passed first.
  bool waitForCalls(std::size_t count, std::chrono::milliseconds timeout) const;
  // The stream last asked to start.
  SCStreamRef lastStream() const;

  // Hands a sample to the stream's output for `type`, which runs on that output's queue.
  static bool deliver(const SCStreamRef& stream, const CMSampleBufferRef& sample,
                      SCStreamOutputType type = SCStreamOutputTypeAudio);
  // Tells the stream's delegate, from the service thread, that the stream stopped; returns
  // once the delegate has heard it.
  void reportStop(const SCStreamRef& stream, const NSErrorRef& error);

  void getShareableContent(SCShareableContent::CompletionHandler completionHandler) override;
  NSErrorRef validateStreamOutput(const SCStream& stream, SCStreamOutputType type) override;
  void startCapture(const SCStreamRef& stream,
                    SCStream::StartCompletionHandler completionHandler) override;

  ScriptedCaptureService();

 private:
  void record(std::string call);
  NSErrorRef failureOf(Step step) const;
  // Records the call, then runs `completion` on the service thread, or keeps it when `step` is
  // held: both at once, so a test that saw the call finds the completion held.
  void recordAndComplete(std::string call, SCStreamRef stream, Step step,
                         std::function<void()> completion);

  mutable std::mutex mutex_;
  mutable std::condition_variable called_;
  std::vector<SCDisplayRef> displays_;
  std::vector<std::pair<Step, NSErrorRef>> failures_;
  std::optional<Step> held_;
  std::function<void()> heldCompletion_;
  StartedHook onStarted_;
  std::vector<std::string> calls_;
  SCStreamRef lastStream_;
  DispatchQueueRef thread_;
};

// A service-style error with the given code.
NSErrorRef scriptedError(long code, const std::string& message);
