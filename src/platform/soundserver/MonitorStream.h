// One record stream on the monitor of one sink. The monitor is named explicitly (a default
// such as "@DEFAULT_MONITOR@" can resolve to a microphone), the server may not move the
// stream elsewhere, and nothing it records is handed on until the server has confirmed that
// the source it got is that sink's monitor.
#pragma once

#include <pulse/introspect.h>
#include <pulse/stream.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/foundation/NSError.h"
#include "platform/soundserver/PulseLoop.h"

struct MonitoredSink {
  std::string name;
  std::uint32_t index = PA_INVALID_INDEX;
  std::string monitorSource;
  std::string description;  // as mixers show the sink; may be empty
};

class MonitorStream {
 public:
  struct Events {
    std::function<void()> confirmed;  // at most once; reading starts after it
    // A fragment of audio, or a hole (`data` null) as long as `bytes` of audio.
    std::function<void(const void* data, std::size_t bytes)> fragment;
    std::function<void(NSErrorRef)> failed;  // at most once; nothing comes after it
  };

  MonitorStream(PulseLoop& loop, pa_context* context, MonitoredSink sink, Events events);
  // Disconnects without reporting. Safe inside the stream's own callbacks: the library's
  // last reference goes on a later turn of the loop.
  ~MonitorStream();
  MonitorStream(const MonitorStream&) = delete;
  MonitorStream& operator=(const MonitorStream&) = delete;

  // Starts connecting; an error, with no event, when the stream cannot even be made.
  NSErrorRef open(const pa_sample_spec& sampleSpec, pa_usec_t fragment);

  const MonitoredSink& sink() const { return sink_; }
  bool confirmed() const { return confirmed_; }
  // Hands on what the library already holds; for a caller about to decide there is a gap.
  void readAvailable();

 private:
  static void onState(pa_stream* stream, void* userdata);
  static void onSourceInfo(pa_context* context, const pa_source_info* info, int eol,
                           void* userdata);
  static void disconnectOnceReady(pa_stream* stream, void* userdata);
  static void onReadable(pa_stream* stream, std::size_t bytes, void* userdata);

  // Hands on the blocks joined so far; false once the stream has ended.
  bool handOnGathered();
  void askWhatSourceItGot();
  void fail(NSErrorRef error);
  void detach();

  PulseLoop& loop_;
  pa_context* context_;
  MonitoredSink sink_;
  Events events_;
  pa_stream* stream_ = nullptr;
  pa_operation* askingSource_ = nullptr;
  bool confirmed_ = false;
  bool ended_ = false;
  std::vector<std::byte> gathered_;  // blocks read in one turn, handed on as one
};
