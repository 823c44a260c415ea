#include "platform/soundserver/PulseCaptureService.h"

#include <memory>

#include "platform/soundserver/EveryOutputRecording.h"
#include "platform/soundserver/ShareableContentQuery.h"

SCCaptureService& SCCaptureService::shared() {
  // Never destroyed: the process only ever ends by _exit, with the loop thread running.
  static auto& service = *std::make_unique<PulseCaptureService>().release();
  return service;
}

PulseCaptureService::PulseCaptureService(RecordingTiming timing)
    : timing_(timing), loop_(PulseLoop::start(loopError_)) {}

void PulseCaptureService::getShareableContent(
    SCShareableContent::CompletionHandler completionHandler) {
  if (!loop_) return completionHandler(nullptr, loopError_);
  PulseOperation::launch(*loop_, std::make_shared<ShareableContentQuery>(
                                     *loop_, timing_.contentTimeout, std::move(completionHandler)));
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
  PulseOperation::launch(*loop_, std::make_shared<EveryOutputRecording>(
                                     *loop_, stream, timing_, std::move(completionHandler)));
}
