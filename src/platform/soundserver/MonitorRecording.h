// A stream's capture: a record stream on the monitor of the sink the stream's display stands
// for, from connecting through running to the server or the stream going away.
#pragma once

#include <pulse/introspect.h>
#include <pulse/stream.h>

#include <optional>
#include <string>

#include "platform/screencapture/ScreenCaptureKit.h"
#include "platform/soundserver/FragmentSamples.h"
#include "platform/soundserver/PulseConnection.h"
#include "platform/soundserver/PulseOperation.h"

class MonitorRecording final : public PulseOperation {
 public:
  // How long capture may take to start before it counts as failed.
  struct Timing {
    pa_usec_t startTimeout;
    pa_usec_t fragment;  // the fragment size asked of the server, as a duration
  };

  MonitorRecording(const PulseLoop& loop, SCStreamRef stream, Timing timing,
                   SCStream::StartCompletionHandler completion, Retire retire);
  ~MonitorRecording() override;

  void begin() override;

 private:
  enum class Phase { Starting, Running, Ended };

  static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* userdata);
  static void onStreamState(pa_stream* stream, void* userdata);
  static void onSourceInfo(pa_context* context, const pa_source_info* info, int eol,
                           void* userdata);
  static void onReadable(pa_stream* stream, std::size_t bytes, void* userdata);

  void findMonitor();
  void record(const char* monitorSource);
  void checkSourceIsMonitor();
  void run();
  void readFragments();
  void deliver(const CMSampleBufferRef& sample);
  void fail(NSErrorRef error);
  void disconnect();

  const PulseLoop& loop_;
  SCStreamRef stream_;  // kept alive while it runs
  Timing timing_;
  pa_sample_spec spec_;
  FragmentSamples samples_;
  PulseConnection connection_;
  std::optional<PulseDeadline> deadline_;
  pa_stream* record_ = nullptr;
  std::string monitorSource_;
  Phase phase_ = Phase::Starting;
  SCStream::StartCompletionHandler completion_;
  Retire retire_;
};
