// A stream's capture: records what is played into the server's default output, before that
// output's volume and mute, by recording each of its inputs (SinkInputs) and summing them
// (InputMix); follows the default as it changes or goes away (DefaultSinkFollower), and fills
// whatever the server does not send with silence on the wall clock (SilenceClock).
//
// This object owns the connection's life: when the server goes away it keeps the clock with
// silence and connects again; only a server that stays away for the reconnect policy's limit
// ends the capture, with the error of the last try to reach it (usually Code=6 "Connection
// refused"; "Timeout" when that try got no answer).
#pragma once

#include <pulse/subscribe.h>

#include <memory>
#include <optional>
#include <vector>

#include "platform/screencapture/ScreenCaptureKit.h"
#include "platform/soundserver/DefaultSinkFollower.h"
#include "platform/soundserver/FragmentSamples.h"
#include "platform/soundserver/InputMix.h"
#include "platform/soundserver/PulseConnection.h"
#include "platform/soundserver/PulseOperation.h"
#include "platform/soundserver/PulseRetry.h"
#include "platform/soundserver/PulseTicker.h"
#include "platform/soundserver/RetryRule.h"
#include "platform/soundserver/SilenceClock.h"
#include "platform/soundserver/SinkInputs.h"

class DefaultSinkRecording final : public PulseOperation {
 public:
  struct Timing {
    // One try; capture not running by its limit counts as failed to start.
    RetryRule::Policy start;
    pa_usec_t fragment;    // the fragment size asked of the server, as a duration
    pa_usec_t stallAfter;  // no audio for this long is a gap, filled with silence
    pa_usec_t gapCheck;    // how often the loop looks for a gap while audio flows
    // How long the mix waits for an input that has sent nothing before going on without it.
    pa_usec_t inputWait;
    // The most an input may run ahead of the others (see InputMix).
    pa_usec_t inputLead;
    // Looking for the default output again after its lookup failed.
    RetryRule::Policy findSink;
    // Connecting again after the server went away; its limit ends the capture.
    RetryRule::Policy reconnect;
  };

  DefaultSinkRecording(PulseLoop& loop, SCStreamRef stream, Timing timing,
                       SCStream::StartCompletionHandler completion, Retire retire);
  ~DefaultSinkRecording() override;

  void begin() override;

 private:
  enum class Phase { Starting, Running, Ended };

  static void onEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                      void* userdata);

  void connect();
  void subscribe();
  void sinkFound(const RecordedSink& sink);
  void sinkNotFound(NSErrorRef error);
  void dropInputs();
  void deliverHeldBack();
  void run();
  void requestFailed();
  void startFailed(NSErrorRef error);
  void serverLost(NSErrorRef error);
  void reconnect();
  void reconnected();
  void startTimers(pa_context* context);
  bool isCurrent(const pa_context* context) const;
  void tick();
  void inputAudio(std::uint32_t input, const void* data, std::size_t bytes);
  void mixSoon();
  void mixAndDeliver();
  void deliverMixed(std::size_t frames, std::uint64_t now);
  void deliverSilence(std::uint64_t frames);
  void deliver(const CMSampleBufferRef& sample);
  void fail(NSErrorRef error);
  void disconnect();

  PulseLoop& loop_;
  SCStreamRef stream_;  // kept alive while it runs
  Timing timing_;
  pa_sample_spec spec_;
  FragmentSamples samples_;
  SilenceClock clock_;
  InputMix mix_;
  std::vector<float> mixed_;  // reused for each mixed piece
  // The connection recorded through; after a loss, the lost one (the timers belong to its
  // context) until another answers.
  std::unique_ptr<PulseConnection> connection_;
  // A connection being tried after a loss; replaced by each try.
  std::unique_ptr<PulseConnection> attempt_;
  PulseRetry start_;
  PulseRetry reconnect_;
  // What ends the start or the capture if its policy gives up: the last try's failure.
  NSErrorRef lastError_;
  std::optional<PulseTicker> ticker_;
  std::optional<PulseAlarm> mixDeadline_;
  DefaultSinkFollower follower_;
  std::unique_ptr<SinkInputs> inputs_;
  bool stallSeen_ = false;
  bool mixPosted_ = false;
  std::uint64_t inputsCheckedAt_ = 0;
  Phase phase_ = Phase::Starting;
  SCStream::StartCompletionHandler completion_;
  Retire retire_;
};
