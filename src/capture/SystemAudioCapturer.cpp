#include "capture/SystemAudioCapturer.h"

#include <cstdlib>

#include "capture/CompletionAwaiting.h"
#include "shell/output.h"

namespace {

constexpr const char* kFailedToStart = "SystemAudioCapturer failed to start: ";
constexpr const char* kNoDisplay = "SystemAudioCapturer: no display found\n";

// Audio at the service's usual rate, and as little video as a stream can carry.
SCStreamConfigurationRef audioOnlyConfiguration() {
  auto configuration = SCStreamConfiguration::init();
  configuration->setCapturesAudio(true);
  configuration->setSampleRate(48000);
  configuration->setChannelCount(2);
  configuration->setWidth(2);
  configuration->setHeight(2);
  configuration->setMinimumFrameInterval(CMTimeMake(1, 1));
  configuration->setShowsCursor(false);
  return configuration;
}

// Raw samples on a terminal mean nothing to the person at it and can leave the terminal in a
// strange state; as compressors do, the stream goes only to a file or a pipe.
NSErrorRef terminalOutputError() {
  if (!standardOutputIsTerminal()) return nullptr;
  return NSError::errorWithDomain("SystemAudioCapturer", -2,
                                  "standard output is a terminal; redirect it to a file or a pipe");
}

SCShareableContentRef awaitShareableContent(NSErrorRef& error) {
  auto answer = awaitCompletion<SCShareableContentRef>([](auto handler) {
    SCShareableContent::getShareableContentExcludingDesktopWindows(false, true, handler);
  });
  // Neither content nor error is outside what the service promises.
  if (!answer.error && !answer.result) std::abort();
  error = answer.error;
  return answer.error ? nullptr : answer.result;
}

NSErrorRef awaitCaptureStart(const SCStreamRef& stream) {
  auto answer = awaitCompletion<bool>([&stream](auto handler) {
    stream->startCaptureWithCompletionHandler(
        [handler](NSErrorRef error) { handler(true, std::move(error)); });
  });
  return answer.error;
}

}  // namespace

SystemAudioCapturer::SystemAudioCapturer()
    : resampler(std::make_shared<Resampler>()),
      sampleQueue(DispatchQueue::create(kSampleQueueLabel)) {}

void SystemAudioCapturer::start() {
  NSErrorRef error = terminalOutputError();
  if (error) return writeDiagnosticLine(diagnosticLineWithError(kFailedToStart, error));
  const SCShareableContentRef content = awaitShareableContent(error);
  if (error) return writeDiagnosticLine(diagnosticLineWithError(kFailedToStart, error));
  if (content->displays().empty()) return writeDiagnosticLine(kNoDisplay);

  const SCContentFilterRef filter =
      SCContentFilter::initWithDisplay(content->displays().front(), {}, {});
  const SCStreamRef newStream =
      SCStream::initWithFilter(filter, audioOnlyConfiguration(), weak_from_this());
  if (!newStream->addStreamOutput(shared_from_this(), SCStreamOutputTypeAudio, sampleQueue,
                                  &error)) {
    return writeDiagnosticLine(diagnosticLineWithError(kFailedToStart, error));
  }
  error = awaitCaptureStart(newStream);
  if (error) return writeDiagnosticLine(diagnosticLineWithError(kFailedToStart, error));
  stream = newStream;
}
