#include "support/ScriptedCaptureService.h"

#include <future>

namespace {

std::vector<SCDisplayRef> oneDisplay() {
  return {std::make_shared<const SCDisplay>(1, "Built-in Display")};
}

}  // namespace

SCCaptureService& SCCaptureService::shared() {
  return ScriptedCaptureService::instance();
}

ScriptedCaptureService& ScriptedCaptureService::instance() {
  static ScriptedCaptureService service;
  return service;
}

ScriptedCaptureService::ScriptedCaptureService()
    : displays_(oneDisplay()), thread_(DispatchQueue::create("scripted-capture-service")) {}

void ScriptedCaptureService::reset() {
  std::lock_guard lock(mutex_);
  displays_ = oneDisplay();
  failures_.clear();
  held_.reset();
  heldCompletion_ = nullptr;
  onStarted_ = nullptr;
  calls_.clear();
  lastStream_.reset();
}

void ScriptedCaptureService::setDisplays(std::vector<SCDisplayRef> displays) {
  std::lock_guard lock(mutex_);
  displays_ = std::move(displays);
}

void ScriptedCaptureService::failStep(Step step, NSErrorRef error) {
  std::lock_guard lock(mutex_);
  failures_.emplace_back(step, std::move(error));
}

void ScriptedCaptureService::holdCompletion(Step step) {
  std::lock_guard lock(mutex_);
  held_ = step;
}

bool ScriptedCaptureService::releaseHeldCompletion() {
  std::function<void()> completion;
  {
    std::lock_guard lock(mutex_);
    held_.reset();
    completion = std::move(heldCompletion_);
    heldCompletion_ = nullptr;
  }
  if (!completion) return false;
  thread_->async(std::move(completion));
  return true;
}

void ScriptedCaptureService::setOnCaptureStarted(StartedHook hook) {
  std::lock_guard lock(mutex_);
  onStarted_ = std::move(hook);
}

std::vector<std::string> ScriptedCaptureService::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

bool ScriptedCaptureService::waitForCalls(std::size_t count,
                                          std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return called_.wait_for(lock, timeout, [&] { return calls_.size() >= count; });
}

SCStreamRef ScriptedCaptureService::lastStream() const {
  std::lock_guard lock(mutex_);
  return lastStream_;
}

bool ScriptedCaptureService::deliver(const SCStreamRef& stream, const CMSampleBufferRef& sample,
                                     SCStreamOutputType type) {
  return stream->deliverSampleBuffer(sample, type);
}

void ScriptedCaptureService::reportStop(const SCStreamRef& stream, const NSErrorRef& error) {
  std::promise<void> heard;
  thread_->async([&] {
    stream->reportStop(error);
    heard.set_value();
  });
  heard.get_future().wait();
}

void ScriptedCaptureService::getShareableContent(
    SCShareableContent::CompletionHandler completionHandler) {
  NSErrorRef error = failureOf(Step::kContentQuery);
  SCShareableContentRef content;
  if (!error) {
    std::lock_guard lock(mutex_);
    content = std::make_shared<const SCShareableContent>(displays_);
  }
  recordAndComplete(
      "getShareableContent", nullptr, Step::kContentQuery,
      [handler = std::move(completionHandler), content, error] { handler(content, error); });
}

NSErrorRef ScriptedCaptureService::validateStreamOutput(const SCStream& /*stream*/,
                                                        SCStreamOutputType type) {
  record(type == SCStreamOutputTypeAudio ? "validateStreamOutput(audio)"
                                         : "validateStreamOutput(screen)");
  return failureOf(Step::kOutputRegistration);
}

void ScriptedCaptureService::startCapture(const SCStreamRef& stream,
                                          SCStream::StartCompletionHandler completionHandler) {
  NSErrorRef error = failureOf(Step::kCaptureStart);
  recordAndComplete("startCapture", stream, Step::kCaptureStart,
                    [this, handler = std::move(completionHandler), stream, error] {
                      handler(error);
                      StartedHook hook;
                      {
                        std::lock_guard lock(mutex_);
                        hook = onStarted_;
                      }
                      if (!error && hook) hook(stream);
                    });
}

void ScriptedCaptureService::record(std::string call) {
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  called_.notify_all();
}

NSErrorRef ScriptedCaptureService::failureOf(Step step) const {
  std::lock_guard lock(mutex_);
  for (const auto& [failing, error] : failures_) {
    if (failing == step) return error;
  }
  return nullptr;
}

void ScriptedCaptureService::recordAndComplete(std::string call, SCStreamRef stream, Step step,
                                               std::function<void()> completion) {
  bool held = false;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
    if (stream) lastStream_ = std::move(stream);
    held = held_ == step;
    if (held) heldCompletion_ = std::move(completion);
  }
  called_.notify_all();
  if (!held) thread_->async(std::move(completion));
}

NSErrorRef scriptedError(long code, const std::string& message) {
  return NSError::errorWithDomain("com.apple.ScreenCaptureKit.SCStreamErrorDomain", code, message);
}
