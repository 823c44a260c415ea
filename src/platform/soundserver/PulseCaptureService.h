// The capture service on the user's sound server through libpulse: displays are the server's
// sinks and a stream records what is played into its display's sink. Every completion, sample and
// stop comes from the one loop thread.
#pragma once

#include <pulse/timeval.h>

#include <memory>
#include <vector>

#include "platform/screencapture/ScreenCaptureKit.h"
#include "platform/soundserver/DefaultSinkRecording.h"
#include "platform/soundserver/PulseLoop.h"
#include "platform/soundserver/PulseOperation.h"

// What the program asks for: blocks of 10 ms suit recognisers reading 10 to 30 ms frames at
// about one wake-up per fragment. Other sizes are built only to measure them side by side.
#ifndef SYSAUDIO_FRAGMENT_MILLIS
#define SYSAUDIO_FRAGMENT_MILLIS 10
#endif
inline constexpr pa_usec_t kFragmentMillis = SYSAUDIO_FRAGMENT_MILLIS;

class PulseCaptureService final : public SCCaptureService {
 public:
  struct Timing {
    pa_usec_t contentTimeout;
    DefaultSinkRecording::Timing recording;
  };
  static constexpr Timing kDefaultTiming{
      .contentTimeout = 5 * PA_USEC_PER_SEC,
      .recording = {.start = {.firstAtOnce = true,
                              .retries = false,
                              .shortestWait = 0,
                              .longestWait = 0,
                              .giveUpAfter = 10 * PA_USEC_PER_SEC},
                    .fragment = kFragmentMillis * PA_USEC_PER_MSEC,
                    // On a loaded machine a server without real-time scheduling (PipeWire's pulse
                    // server) hands over a few hundred milliseconds of audio late, all at once: a
                    // shorter wait cut silence into the middle of that audio. Real gaps are still
                    // filled up to the clock, only later.
                    .stallAfter = 500 * PA_USEC_PER_MSEC,
                    // Each check wakes the loop thread; a gap only counts after half a second, so
                    // ten looks a second are plenty.
                    .gapCheck = 100 * PA_USEC_PER_MSEC,
                    // Inputs of one sink are rendered in the same cycles, but PipeWire hands
                    // over the stream of a player with a long buffer in bursts some 21 ms apart,
                    // and a loaded machine makes it skip cycles; an input is told corked or gone
                    // by the server, so this is only the most one that stopped without a word
                    // holds the others back. Shorter, a late input got holes cut into its sound.
                    .inputWait = 10 * kFragmentMillis * PA_USEC_PER_MSEC,
                    // Far past what a new stream starts with (PipeWire hands over up to a few
                    // hundred milliseconds at once): only an input late again and again gets
                    // this far ahead of the others, and only then is its sound cut.
                    .inputLead = 2 * PA_USEC_PER_SEC,
                    // A default sink that vanishes as it is looked up is looked for again, soon
                    // at first; a sink going comes with events, not through these.
                    .findSink = {.firstAtOnce = false,
                                 .retries = true,
                                 .shortestWait = 100 * PA_USEC_PER_MSEC,
                                 .longestWait = 5 * PA_USEC_PER_SEC,
                                 .giveUpAfter = std::nullopt},
                    // A server restarted (by hand, by an upgrade, after a crash) is back within a
                    // second or two: the first tries come quickly, later ones once a second, and
                    // ten seconds without one is a server that is not coming back.
                    .reconnect = {.firstAtOnce = true,
                                  .retries = true,
                                  .shortestWait = 100 * PA_USEC_PER_MSEC,
                                  .longestWait = 1 * PA_USEC_PER_SEC,
                                  .giveUpAfter = 10 * PA_USEC_PER_SEC}},
  };

  explicit PulseCaptureService(Timing timing = kDefaultTiming);
  ~PulseCaptureService() override;

  void getShareableContent(SCShareableContent::CompletionHandler completionHandler) override;
  NSErrorRef validateStreamOutput(const SCStream& stream, SCStreamOutputType type) override;
  void startCapture(const SCStreamRef& stream,
                    SCStream::StartCompletionHandler completionHandler) override;

 private:
  void launch(const std::shared_ptr<PulseOperation>& operation);
  PulseOperation::Retire retirement();

  Timing timing_;
  NSErrorRef loopError_;
  std::unique_ptr<PulseLoop> loop_;
  // Operations under way, running streams among them; touched only under the loop's lock.
  std::vector<std::shared_ptr<PulseOperation>> active_;
};
