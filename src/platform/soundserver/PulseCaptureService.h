// The capture service on the user's sound server through libpulse: displays are the server's
// sinks, the default first, and a stream records what is played into every sink, once the
// display's sink has been found (EveryOutputRecording).
//
// Threads. The program's main thread starts a short-lived task that starts the capture, then
// waits for a signal for good. This service runs one thread, the loop thread (PulseLoop): it
// waits on the server's sockets and the service's timers, and runs every callback, completion,
// mix and stop report, under the loop's lock, which other threads take only to hand it work.
// It hands each piece of audio to the stream, which queues it for the output's serial queue
// (SCStream, DispatchQueue): that queue's one worker thread converts it and writes standard
// output, and may wait there on a stalled reader for as long as it likes while the loop
// thread keeps recording; what waits meanwhile is bounded (SCStream::kMaxBacklogBytes).
#pragma once

#include <memory>

#include "platform/screencapture/ScreenCaptureKit.h"
#include "platform/soundserver/PulseLoop.h"
#include "platform/soundserver/PulseOperation.h"
#include "platform/soundserver/RecordingTiming.h"

class PulseCaptureService final : public SCCaptureService {
 public:
  explicit PulseCaptureService(RecordingTiming timing = {});

  void getShareableContent(SCShareableContent::CompletionHandler completionHandler) override;
  NSErrorRef validateStreamOutput(const SCStream& stream, SCStreamOutputType type) override;
  void startCapture(const SCStreamRef& stream,
                    SCStream::StartCompletionHandler completionHandler) override;

 private:
  RecordingTiming timing_;
  NSErrorRef loopError_;
  std::unique_ptr<PulseLoop> loop_;
};
