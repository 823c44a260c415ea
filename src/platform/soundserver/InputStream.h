// One record stream attached to one input of a sink (pa_stream_set_monitor_stream): it carries
// that input after its own volume and mute and before the sink's. Nothing it records is handed
// on until the server has confirmed both that the stream is attached to that input (asked
// here) and the monitor of the sink the input plays into (which the owner, following the inputs,
// learns and passes on); the server may not move it (a stream whose input ended would otherwise
// land on the default source, a microphone), and a move reported all the same ends it.
//
// On PipeWire each stream has a connection of its own: its pulse server holds a recording's
// audio back while anything else waits to go out to the same client, so recordings that share
// one connection hold each other back (with three inputs playing, each reached the program in
// bursts 100-300 ms late, and an input that ended took its last, unsent audio with it).
// PulseAudio has no such rule, and there each connection costs some 650 KiB of its shared
// memory pools: streams share the owner's connection.
#pragma once

#include <pulse/introspect.h>
#include <pulse/stream.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/foundation/NSError.h"
#include "platform/soundserver/PulseConnection.h"
#include "platform/soundserver/PulseLoop.h"
#include "platform/soundserver/PulseRequests.h"

class InputStream {
 public:
  struct Events {
    // A block of audio, or a hole (`data` null) as long as `bytes` of audio.
    std::function<void(const void* data, std::size_t bytes)> audio;
    std::function<void()> caughtUp;          // after the blocks of one read
    std::function<void(NSErrorRef)> failed;  // at most once; nothing comes after it
  };

  // On `shared`, the owner's connection, which must outlive the stream; with none, on a
  // connection of its own.
  InputStream(PulseLoop& loop, pa_context* shared, std::uint32_t input, Events events);
  // Disconnects without reporting. Safe inside the stream's own callbacks: the library's
  // last references go on a later turn of the loop.
  ~InputStream();
  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;

  // Records from `source`, or with none from the monitor of whatever sink the input plays
  // into, as the server picks it; a stream of its own connection goes through `connected` if
  // that is ready, else through one it makes. An error, with no event, when the stream or its
  // connection cannot even start. `source` must outlive the connecting.
  NSErrorRef open(const pa_sample_spec& sampleSpec, pa_usec_t fragment, const char* source,
                  std::unique_ptr<PulseConnection> connected = nullptr);

  // The owner has seen the server report the input on the sink whose monitor is `monitor`.
  void inputConfirmed(std::uint32_t monitor);
  bool confirmed() const;
  // Hands on what the library already holds.
  void readAvailable();

 private:
  static void onState(pa_stream* stream, void* userdata);
  static void onMoved(pa_stream* stream, void* userdata);
  static void onStreamInfo(pa_context* context, const pa_source_output_info* info, int eol,
                           void* userdata);
  static void onReadable(pa_stream* stream, std::size_t bytes, void* userdata);
  static void disconnectOnceReady(pa_stream* stream, void* userdata);

  void connectStream();
  pa_context* context() const;
  void askWhereItIs();
  bool attachedToInput(const pa_source_output_info& info) const;
  void checkAttachment();
  void fail(NSErrorRef error);
  void detach();

  PulseLoop& loop_;
  std::unique_ptr<PulseConnection> connection_;  // none on a shared connection
  pa_context* shared_;
  std::uint32_t input_;
  Events events_;
  pa_sample_spec sampleSpec_{};
  pa_usec_t fragment_ = 0;
  const char* source_ = nullptr;
  pa_stream* stream_ = nullptr;
  PulseRequests asked_;
  // What the server said: the source the stream records from (none on PipeWire, which names
  // the input instead), and the monitor of the input's sink.
  std::optional<std::uint32_t> streamSource_;
  std::optional<std::uint32_t> inputMonitor_;
  bool ended_ = false;
  bool opening_ = false;  // inside open(), where a failure is answered, not reported
  NSErrorRef refused_;
};
