// The program's one client of the capture service: starts a stream that captures system audio
// and turns every audio sample it delivers into PCM on standard output.
#pragma once

#include <memory>

#include "audio/Resampler.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/screencapture/ScreenCaptureKit.h"

class SystemAudioCapturer : public SCStreamOutput,
                            public SCStreamDelegate,
                            public std::enable_shared_from_this<SystemAudioCapturer> {
 public:
  static constexpr const char* kSampleQueueLabel = "system-audio-sample-queue";

  SystemAudioCapturer();

  // Finds the first display, configures and starts an audio stream on it, unless standard
  // output is a terminal. Waits for the service's answers, so it runs off the main thread.
  // Every failure ends in a diagnostic line and a normal return; nothing is retried.
  void start();

  // Unpacks, converts and writes one audio sample; anything else is dropped silently.
  void streamDidOutputSampleBuffer(SCStream& stream, const CMSampleBufferRef& sampleBuffer,
                                   SCStreamOutputType type) override;
  // Reports the stop on standard error; the stream is kept and nothing restarts.
  void streamDidStopWithError(SCStream& stream, const NSErrorRef& error) override;

 private:
  SCStreamRef stream;
  std::shared_ptr<Resampler> resampler;
  DispatchQueueRef sampleQueue;
};
