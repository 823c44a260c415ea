// One record stream attached to one input of the recorded sink
// (pa_stream_set_monitor_stream): it carries that input after its own volume and mute and
// before the sink's. Nothing it records is handed on until the server has confirmed both that
// the stream is attached to that input (asked here) and that the input plays into the
// recorded sink (which the owner, following the inputs, learns and passes on); the
// server may not move it (a stream whose input ended would otherwise land on the default
// source, a microphone), and a move reported all the same ends it.
#pragma once

#include <pulse/introspect.h>
#include <pulse/stream.h>

#include <cstdint>
#include <functional>

#include "platform/foundation/NSError.h"
#include "platform/soundserver/PulseLoop.h"
#include "platform/soundserver/PulseRequests.h"
#include "platform/soundserver/RecordedSink.h"

class InputStream {
 public:
  struct Events {
    // A block of audio, or a hole (`data` null) as long as `bytes` of audio.
    std::function<void(const void* data, std::size_t bytes)> audio;
    std::function<void()> caughtUp;          // after the blocks of one read
    std::function<void(NSErrorRef)> failed;  // at most once; nothing comes after it
  };

  InputStream(PulseLoop& loop, pa_context* context, const RecordedSink& sink, std::uint32_t input,
              Events events);
  // Disconnects without reporting. Safe inside the stream's own callbacks: the library's
  // last reference goes on a later turn of the loop.
  ~InputStream();
  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;

  // Starts connecting; an error, with no event, when the stream cannot even be made.
  NSErrorRef open(const pa_sample_spec& sampleSpec, pa_usec_t fragment);

  // The owner has seen the server report the input on the recorded sink.
  void inputConfirmed() { confirm(kInputConfirmed); }
  bool confirmed() const { return confirmed_ == kBothConfirmed; }
  // Hands on what the library already holds.
  void readAvailable();

 private:
  static constexpr unsigned kStreamConfirmed = 1;
  static constexpr unsigned kInputConfirmed = 2;
  static constexpr unsigned kBothConfirmed = kStreamConfirmed | kInputConfirmed;

  static void onState(pa_stream* stream, void* userdata);
  static void onMoved(pa_stream* stream, void* userdata);
  static void onStreamInfo(pa_context* context, const pa_source_output_info* info, int eol,
                           void* userdata);
  static void disconnectOnceReady(pa_stream* stream, void* userdata);
  static void onReadable(pa_stream* stream, std::size_t bytes, void* userdata);

  void askWhereItIs();
  bool attachedToInput(const pa_source_output_info& info) const;
  void confirm(unsigned what);
  void fail(NSErrorRef error);
  void detach();

  PulseLoop& loop_;
  pa_context* context_;
  RecordedSink sink_;
  std::uint32_t input_;
  Events events_;
  pa_stream* stream_ = nullptr;
  PulseRequests asked_;
  unsigned confirmed_ = 0;
  bool ended_ = false;
};
