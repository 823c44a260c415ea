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

std::vector<std::string> ScriptedCaptureService::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

SCStreamRef ScriptedCaptureService::lastStream() const {
  std::lock_guard lock(mutex_);
  return lastStream_;
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
  record("getShareableContent");
  NSErrorRef error = failureOf(Step::kContentQuery);
  SCShareableContentRef content;
  if (!error) {
    std::lock_guard lock(mutex_);
    content = std::make_shared<const SCShareableContent>(displays_);
  }
  thread_->async(
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
  record("startCapture");
  {
    std::lock_guard lock(mutex_);
    lastStream_ = stream;
  }
  thread_->async([handler = std::move(completionHandler), error = failureOf(Step::kCaptureStart)] {
    handler(error);
  });
}

void ScriptedCaptureService::record(std::string call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
}

NSErrorRef ScriptedCaptureService::failureOf(Step step) const {
  std::lock_guard lock(mutex_);
  for (const auto& [failing, error] : failures_) {
    if (failing == step) return error;
  }
  return nullptr;
}

NSErrorRef scriptedError(long code, const std::string& message) {
  return NSError::errorWithDomain("com.apple.ScreenCaptureKit.SCStreamErrorDomain", code, message);
}
