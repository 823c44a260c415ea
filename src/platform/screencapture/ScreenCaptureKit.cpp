#include "platform/screencapture/ScreenCaptureKit.h"

#include <malloc.h>

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
  Registration& registration = outputs_[type];
  registration.output = output;
  registration.queue = std::move(sampleHandlerQueue);
  return true;
}

void SCStream::startCaptureWithCompletionHandler(StartCompletionHandler completionHandler) {
  SCCaptureService::shared().startCapture(shared_from_this(), std::move(completionHandler));
}

namespace {

std::size_t byteSizeOf(const CMSampleBufferRef& sample) {
  const CMBlockBufferRef& data = sample ? sample->dataBuffer() : nullptr;
  return data ? data->byteSize() : 0;
}

// The allocator keeps the pages of a drained backlog (thousands of small blocks freed on
// another thread than the one that made them) for reuse; a stall should not leave the process
// at its peak size for the rest of a long run, so they go back to the system.
void releaseFreedMemory() {
  malloc_trim(0);
}

}  // namespace

bool SCStream::deliverSampleBuffer(const CMSampleBufferRef& sampleBuffer, SCStreamOutputType type) {
  DispatchQueueRef queue;
  {
    std::lock_guard lock(outputsMutex_);
    const auto found = outputs_.find(type);
    if (found == outputs_.end()) return false;
    Registration& registration = found->second;
    registration.backlog.push_back(sampleBuffer);
    registration.backlogBytes += byteSizeOf(sampleBuffer);
    registration.peakBacklogBytes =
        std::max(registration.peakBacklogBytes, registration.backlogBytes);
    while (registration.backlogBytes > kMaxBacklogBytes && registration.backlog.size() > 1) {
      registration.backlogBytes -= byteSizeOf(registration.backlog.front());
      registration.backlog.pop_front();
      ++dropped_;
    }
    if (registration.draining) return true;
    registration.draining = true;
    queue = registration.queue;
  }
  queue->async([stream = shared_from_this(), type] { stream->drainBacklog(type); });
  return true;
}

void SCStream::drainBacklog(SCStreamOutputType type) {
  for (;;) {
    std::unique_lock lock(outputsMutex_);
    Registration& registration = outputs_.at(type);
    if (registration.backlog.empty()) {
      registration.draining = false;
      const bool grewLarge = registration.peakBacklogBytes > kReleaseAfterBacklogBytes;
      registration.peakBacklogBytes = 0;
      lock.unlock();
      if (grewLarge) releaseFreedMemory();
      return;
    }
    const CMSampleBufferRef sample = std::move(registration.backlog.front());
    registration.backlog.pop_front();
    registration.backlogBytes -= byteSizeOf(sample);
    const std::shared_ptr<SCStreamOutput> output = registration.output.lock();
    lock.unlock();
    if (output) output->streamDidOutputSampleBuffer(*this, sample, type);
  }
}

std::uint64_t SCStream::droppedSampleCount() const {
  std::lock_guard lock(outputsMutex_);
  return dropped_;
}

void SCStream::reportStop(const NSErrorRef& error) {
  if (auto delegate = delegate_.lock()) delegate->streamDidStopWithError(*this, error);
}
