#include "platform/soundserver/PulseCaptureService.h"

#include <algorithm>

#include "platform/soundserver/DefaultSinkRecording.h"
#include "platform/soundserver/ShareableContentQuery.h"

SCCaptureService& SCCaptureService::shared() {
  static PulseCaptureService service;
  return service;
}

PulseCaptureService::PulseCaptureService(RecordingTiming timing)
    : timing_(timing), loop_(PulseLoop::start(loopError_)) {}

PulseCaptureService::~PulseCaptureService() {
  if (!loop_) return;
  // Stopped before the operations go, so that no callback reaches a dropped one; freed after
  // them, since what they free (streams, contexts, timers) belongs to the loop.
  loop_->stop();
  active_.clear();
  loop_.reset();
}

void PulseCaptureService::getShareableContent(
    SCShareableContent::CompletionHandler completionHandler) {
  if (!loop_) return completionHandler(nullptr, loopError_);
  launch(std::make_shared<ShareableContentQuery>(*loop_, timing_.contentTimeout,
                                                 std::move(completionHandler), retirement()));
}

NSErrorRef PulseCaptureService::validateStreamOutput(const SCStream& /*stream*/,
                                                     SCStreamOutputType type) {
  if (type == SCStreamOutputTypeAudio || type == SCStreamOutputTypeScreen) return nullptr;
  return NSError::errorWithDomain("com.apple.ScreenCaptureKit.SCStreamErrorDomain", -3801,
                                  "The stream output type is not one the service knows");
}

void PulseCaptureService::startCapture(const SCStreamRef& stream,
                                       SCStream::StartCompletionHandler completionHandler) {
  if (!loop_) return completionHandler(loopError_);
  launch(std::make_shared<DefaultSinkRecording>(*loop_, stream, timing_,
                                                std::move(completionHandler), retirement()));
}

void PulseCaptureService::launch(const std::shared_ptr<PulseOperation>& operation) {
  PulseLoop::Lock lock(*loop_);
  active_.push_back(operation);
  // Begun on the loop thread, so that even an immediate failure completes from there.
  loop_->post([operation] { operation->begin(); });
}

PulseOperation::Retire PulseCaptureService::retirement() {
  return [this](const PulseOperation* finished) {
    // Dropped on a later turn of the loop: the operation is still inside its own callback.
    loop_->post([this, finished] {
      std::erase_if(active_, [finished](const auto& held) { return held.get() == finished; });
    });
  };
}
