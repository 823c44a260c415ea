#include "platform/screencapture/ScreenCaptureKit.h"

void SCShareableContent::getShareableContentExcludingDesktopWindows(
    bool /*excludingDesktopWindows: no service here has desktop windows*/,
    bool /*onScreenWindowsOnly: nor windows at all*/, CompletionHandler completionHandler) {
  SCCaptureService::shared().getShareableContent(std::move(completionHandler));
}

std::shared_ptr<const SCContentFilter> SCContentFilter::initWithDisplay(
    SCDisplayRef display,
    const std::vector<std::shared_ptr<const SCRunningApplication>>& excludingApplications,
    const std::vector<std::shared_ptr<const SCWindow>>& exceptingWindows) {
  return std::make_shared<const SCContentFilter>(std::move(display), excludingApplications.size(),
                                                 exceptingWindows.size());
}

SCStreamRef SCStream::initWithFilter(SCContentFilterRef filter,
                                     SCStreamConfigurationRef configuration,
                                     std::weak_ptr<SCStreamDelegate> delegate) {
  return std::make_shared<SCStream>(std::move(filter), std::move(configuration),
                                    std::move(delegate));
}

SCStream::SCStream(SCContentFilterRef filter, SCStreamConfigurationRef configuration,
                   std::weak_ptr<SCStreamDelegate> delegate)
    : filter_(std::move(filter)),
      configuration_(std::move(configuration)),
      delegate_(std::move(delegate)) {}

bool SCStream::addStreamOutput(const std::shared_ptr<SCStreamOutput>& output,
                               SCStreamOutputType type, DispatchQueueRef sampleHandlerQueue,
                               NSErrorRef* error) {
  NSErrorRef refusal = SCCaptureService::shared().validateStreamOutput(*this, type);
  if (!refusal && (!output || !sampleHandlerQueue)) {
    refusal = NSError::errorWithDomain("com.apple.ScreenCaptureKit.SCStreamErrorDomain", -3802,
                                       "The stream output or its queue is missing");
  }
  if (refusal) {
    if (error != nullptr) *error = refusal;
    return false;
  }
  std::lock_guard lock(outputsMutex_);
  outputs_[type] = Registration{output, std::move(sampleHandlerQueue)};
  return true;
}

void SCStream::startCaptureWithCompletionHandler(StartCompletionHandler completionHandler) {
  SCCaptureService::shared().startCapture(shared_from_this(), std::move(completionHandler));
}

bool SCStream::deliverSampleBuffer(const CMSampleBufferRef& sampleBuffer, SCStreamOutputType type) {
  Registration registration;
  {
    std::lock_guard lock(outputsMutex_);
    const auto found = outputs_.find(type);
    if (found == outputs_.end()) return false;
    registration = found->second;
  }
  registration.queue->async(
      [stream = shared_from_this(), output = registration.output, sampleBuffer, type] {
        if (auto receiver = output.lock()) {
          receiver->streamDidOutputSampleBuffer(*stream, sampleBuffer, type);
        }
      });
  return true;
}

void SCStream::reportStop(const NSErrorRef& error) {
  if (auto delegate = delegate_.lock()) delegate->streamDidStopWithError(*this, error);
}
