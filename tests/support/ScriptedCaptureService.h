// A capture service whose answers a test scripts: which displays exist, and which step fails
// with what error. It records what it was asked, in order, and runs completions on a thread of
// its own, as a real service does.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/screencapture/ScreenCaptureKit.h"

class ScriptedCaptureService final : public SCCaptureService {
 public:
  enum class Step { kContentQuery, kOutputRegistration, kCaptureStart };

  // The process's one service, the same object SCCaptureService::shared() returns.
  static ScriptedCaptureService& instance();

  // One display, every step succeeding, nothing recorded.
  void reset();
  void setDisplays(std::vector<SCDisplayRef> displays);
  void failStep(Step step, NSErrorRef error);

  // "getShareableContent", "validateStreamOutput(audio|screen)", "startCapture", in order.
  std::vector<std::string> calls() const;
  // The stream last asked to start.
  SCStreamRef lastStream() const;

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

  mutable std::mutex mutex_;
  std::vector<SCDisplayRef> displays_;
  std::vector<std::pair<Step, NSErrorRef>> failures_;
  std::vector<std::string> calls_;
  SCStreamRef lastStream_;
  DispatchQueueRef thread_;
};

// A service-style error with the given code.
NSErrorRef scriptedError(long code, const std::string& message);
