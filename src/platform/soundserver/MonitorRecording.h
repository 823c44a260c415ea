// A stream's capture: records the monitor of the server's default output, follows that
// default as it changes or goes away, and fills whatever the server does not send with
// silence on the wall clock. When the server itself goes away it keeps the clock with silence
// and connects again; only a server that stays away for the reconnect policy's limit ends the
// capture, with the error of the last try to reach it (usually Code=6 "Connection refused";
// "Timeout" when that try got no answer).
//
// The display the program picked stands for the default output by role: the service lists
// the default sink first and the program takes the first display, so following the default
// (rather than the sink that happened to be it at start-up) is what a user who switches from
// speakers to headphones expects.
#pragma once

#include <pulse/introspect.h>
#include <pulse/subscribe.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/screencapture/ScreenCaptureKit.h"
#include "platform/soundserver/FragmentSamples.h"
#include "platform/soundserver/MonitorStream.h"
#include "platform/soundserver/PulseConnection.h"
#include "platform/soundserver/PulseOperation.h"
#include "platform/soundserver/PulseRetry.h"
#include "platform/soundserver/PulseTicker.h"
#include "platform/soundserver/RetryRule.h"
#include "platform/soundserver/SilenceClock.h"

class MonitorRecording final : public PulseOperation {
 public:
  struct Timing {
    // One try; capture not running by its limit counts as failed to start.
    RetryRule::Policy start;
    pa_usec_t fragment;    // the fragment size asked of the server, as a duration
    pa_usec_t stallAfter;  // no audio for this long is a gap, filled with silence
    pa_usec_t gapCheck;    // how often the loop looks for a gap while audio flows
    // Looking for the default output again after a stream failed on it.
    RetryRule::Policy findSink;
    // Connecting again after the server went away; its limit ends the capture.
    RetryRule::Policy reconnect;
  };

  MonitorRecording(PulseLoop& loop, SCStreamRef stream, Timing timing,
                   SCStream::StartCompletionHandler completion, Retire retire);
  ~MonitorRecording() override;

  void begin() override;

 private:
  enum class Phase { Starting, Running, Ended };

  static void onEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                      void* userdata);
  static void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata);
  static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* userdata);

  void connect();
  void subscribe();
  void followDefault();
  void recordSink(const std::string& name);
  void openMonitor(const pa_sink_info& sink);
  void dropMonitor();
  void monitorConfirmed();
  void monitorFailed(NSErrorRef error);
  void lostTarget();
  void run();
  void requestFailed();
  void startFailed(NSErrorRef error);
  void serverLost(NSErrorRef error);
  void reconnect();
  void reconnected();
  bool isCurrent(const pa_context* context) const;
  void tick();
  void deliverAudio(const void* data, std::size_t bytes);
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
  // The connection recorded through; after a loss, the lost one (the ticker's timer belongs
  // to its context) until another answers.
  std::unique_ptr<PulseConnection> connection_;
  // A connection being tried after a loss; replaced by each try.
  std::unique_ptr<PulseConnection> attempt_;
  PulseRetry start_;
  PulseRetry findSink_;
  PulseRetry reconnect_;
  // What ends the start or the capture if its policy gives up: the last try's failure.
  NSErrorRef lastError_;
  std::optional<PulseTicker> ticker_;
  std::unique_ptr<MonitorStream> monitor_;
  // The sink being recorded or looked up for recording; empty while there is none.
  std::string target_;
  bool stallSeen_ = false;
  Phase phase_ = Phase::Starting;
  SCStream::StartCompletionHandler completion_;
  Retire retire_;
};
