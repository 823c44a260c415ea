// A stream's capture: records what is played into every output of the server, before that
// output's volume and mute, by recording each input of every sink (SinkInputs) but those that
// only carry on what another sink played (ServerRoutes), and handing them to the output
// (RecordingOutput), which sums them and keeps the wall clock with silence. The start waits
// for the display's sink, the default output (DefaultSinkFollower); once running, a server
// with no sink at all is recorded as silence until one appears.
//
// This object owns the connection's life, one path for all of it: connect (the start's one
// try), and when the server goes away, keep the clock with silence and connect again; only a
// server that stays away for the reconnect policy's limit ends the capture, with the error of
// the last try to reach it (usually Code=6 "Connection refused"; "Timeout" when that try got
// no answer).
#pragma once

#include <pulse/subscribe.h>

#include <memory>

#include "platform/screencapture/ScreenCaptureKit.h"
#include "platform/soundserver/DefaultSinkFollower.h"
#include "platform/soundserver/PulseConnection.h"
#include "platform/soundserver/PulseOperation.h"
#include "platform/soundserver/PulseRetry.h"
#include "platform/soundserver/PulseTimer.h"
#include "platform/soundserver/RecordingOutput.h"
#include "platform/soundserver/ServerRoutes.h"
#include "platform/soundserver/SinkInputs.h"

class EveryOutputRecording final : public PulseOperation {
 public:
  EveryOutputRecording(PulseLoop& loop, SCStreamRef stream, const RecordingTiming& timing,
                       SCStream::StartCompletionHandler completion);
  ~EveryOutputRecording() override;

 private:
  void begin() override;
  enum class Phase { Starting, Running, Ended };

  static void onEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                      void* userdata);

  void connect();
  void connected();
  void connectionEnded(NSErrorRef error);
  void subscribe();
  void sinkFound();
  void sinkNotFound(NSErrorRef error);
  void recordInputs();
  void run();
  void requestFailed();
  void look();
  void inputAudio(std::uint32_t input, const void* data, std::size_t bytes);
  void mixSoon();
  void mixAndDeliver();
  void deliverAudio(std::span<const float> audio);
  void deliverSilence(std::uint64_t frames);
  void deliver(std::vector<std::byte> frames);
  void fail(NSErrorRef error);
  void disconnect();
  void retireConnection();

  PulseLoop& loop_;
  SCStreamRef stream_;  // kept alive while it runs
  RecordingTiming timing_;
  pa_sample_spec sampleSpec_;  // float32 interleaved, as every input is recorded and the mix made
  std::size_t frameBytes_;
  CMFormatDescriptionRef format_;
  RecordingOutput output_;
  std::shared_ptr<PulseConnection> connection_;  // the one in use, or being tried
  // Connecting: the start's one try, then after each loss the tries to reach the server again.
  PulseRetry connecting_;
  // What ends the start or the capture if its policy gives up: the last try's failure.
  NSErrorRef lastError_;
  PulseTimer lookTimer_;  // looks at the clock and the inputs, every fragment or gap check
  PulseTimer mixTimer_;   // rings when an input the mix waits for stops being waited for
  DefaultSinkFollower follower_;
  std::unique_ptr<ServerRoutes> routes_;
  std::unique_ptr<SinkInputs> inputs_;  // after the routes it judges by
  bool mixPosted_ = false;
  std::uint64_t inputsCheckedAt_ = 0;
  Phase phase_ = Phase::Starting;
  SCStream::StartCompletionHandler completion_;
};
