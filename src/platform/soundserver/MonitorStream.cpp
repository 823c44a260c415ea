#include "platform/soundserver/MonitorStream.h"

#include <pulse/timeval.h>

#include <utility>

#include "platform/soundserver/PulseError.h"

namespace {

// Room kept for joining blocks: a few fragments' worth at the recording format.
constexpr std::size_t kGatheredKeptBytes = 64 * 1024;

// The stream's name is what a mixer lists it as: say what it records.
std::string streamName(const MonitoredSink& sink) {
  return "Monitor of " + (sink.description.empty() ? sink.name : sink.description);
}

// Only the monitor of exactly the sink asked for: any other source may be a microphone.
bool isMonitorOf(const pa_source_info& source, const MonitoredSink& sink) {
  return source.monitor_of_sink != PA_INVALID_INDEX && source.monitor_of_sink == sink.index;
}

NSErrorRef notTheMonitor(const std::string& source, const std::string& sink) {
  return pulseError(PA_ERR_NOTSUPPORTED,
                    {{"NSLocalizedFailureReason", source + " is not the monitor of " + sink}});
}

}  // namespace

MonitorStream::MonitorStream(PulseLoop& loop, pa_context* context, MonitoredSink sink,
                             Events events)
    : loop_(loop), context_(context), sink_(std::move(sink)), events_(std::move(events)) {}

MonitorStream::~MonitorStream() {
  detach();
  if (stream_ != nullptr) {
    // Possibly inside one of this stream's callbacks, after which the library still uses it.
    loop_.post([stream = stream_] { pa_stream_unref(stream); });
  }
}

NSErrorRef MonitorStream::open(const pa_sample_spec& sampleSpec, pa_usec_t fragment) {
  stream_ = pa_stream_new(context_, streamName(sink_).c_str(), &sampleSpec, nullptr);
  if (stream_ == nullptr) return contextError(context_);
  pa_stream_set_state_callback(stream_, &MonitorStream::onState, this);
  pa_stream_set_read_callback(stream_, &MonitorStream::onReadable, this);

  pa_buffer_attr attributes{};
  // Room on the server for two seconds, so a loop thread that is late for a while (a loaded
  // machine) finds its audio waiting rather than dropped; left to the server, PipeWire's
  // PulseAudio server keeps only a few fragments.
  attributes.maxlength =
      static_cast<std::uint32_t>(pa_usec_to_bytes(2 * PA_USEC_PER_SEC, &sampleSpec));
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  // Without a fragment size the server hands audio over in blocks of up to two seconds.
  attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(fragment, &sampleSpec));
  // DONT_MOVE: a server that would rescue this stream onto another source once the sink goes
  // (a microphone, on a desktop) kills it instead, and the owner follows the default output
  // itself. Auto-suspend stays inhibited on purpose: a suspended sink sends nothing at all.
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(stream_, sink_.monitorSource.c_str(), &attributes, flags) < 0) {
    detach();
    return contextError(context_);
  }
  return nullptr;
}

void MonitorStream::onState(pa_stream* stream, void* userdata) {
  auto& self = *static_cast<MonitorStream*>(userdata);
  switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
      self.askWhatSourceItGot();
      break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
      self.fail(contextError(self.context_));
      break;
    default:
      break;
  }
}

void MonitorStream::askWhatSourceItGot() {
  if (confirmed_ || askingSource_ != nullptr) return;
  askingSource_ = pa_context_get_source_info_by_index(context_, pa_stream_get_device_index(stream_),
                                                      &MonitorStream::onSourceInfo, this);
  if (askingSource_ == nullptr) fail(contextError(context_));
}

void MonitorStream::onSourceInfo(pa_context* context, const pa_source_info* info, int eol,
                                 void* userdata) {
  auto& self = *static_cast<MonitorStream*>(userdata);
  if (eol < 0) return self.fail(contextError(context));
  if (eol > 0 || info == nullptr || self.confirmed_) return;
  if (!isMonitorOf(*info, self.sink_)) {
    return self.fail(notTheMonitor(info->name != nullptr ? info->name : self.sink_.monitorSource,
                                   self.sink_.name));
  }
  self.confirmed_ = true;
  if (auto confirmed = std::exchange(self.events_.confirmed, nullptr)) confirmed();
  // Audio that arrived while the source was being checked waits in the stream; take it now.
  if (!self.ended_) self.readAvailable();
}

void MonitorStream::onReadable(pa_stream* /*stream*/, std::size_t /*bytes*/, void* userdata) {
  static_cast<MonitorStream*>(userdata)->readAvailable();
}

// What the library holds goes on as one piece where it can: each piece costs the program a
// conversion and a write to its reader, and the server often hands a period over in two
// blocks. A piece that is all there is goes on straight from the library's memory.
void MonitorStream::readAvailable() {
  // Until the source is known to be the monitor, nothing it recorded may leave the service.
  while (confirmed_ && !ended_) {
    const std::size_t readable = pa_stream_readable_size(stream_);
    if (readable == 0) break;
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream_, &data, &bytes) < 0) {
      if (handOnGathered()) fail(contextError(context_));
      return;
    }
    if (bytes == 0) break;  // nothing peeked, so nothing to drop
    const bool last = readable == bytes;
    if (data != nullptr && (!last || !gathered_.empty())) {
      const auto* from = static_cast<const std::byte*>(data);
      gathered_.insert(gathered_.end(), from, from + bytes);
    } else {
      if (!handOnGathered()) return;
      // The handler copies what it keeps: the library reuses the memory once it is dropped.
      events_.fragment(data, bytes);
      if (ended_) return;  // the handler gave up on this stream
    }
    pa_stream_drop(stream_);
  }
  handOnGathered();
}

bool MonitorStream::handOnGathered() {
  if (gathered_.empty()) return !ended_;
  events_.fragment(gathered_.data(), gathered_.size());
  gathered_.clear();
  // A burst (a loop that was held up) leaves no lasting footprint.
  if (gathered_.capacity() > kGatheredKeptBytes) gathered_.shrink_to_fit();
  return !ended_;
}

void MonitorStream::fail(NSErrorRef error) {
  if (ended_) return;
  auto failed = std::exchange(events_.failed, nullptr);
  detach();
  // Last: the handler may drop this stream.
  if (failed) failed(std::move(error));
}

void MonitorStream::detach() {
  ended_ = true;
  events_ = {};
  if (askingSource_ != nullptr) {
    if (pa_operation_get_state(askingSource_) == PA_OPERATION_RUNNING) {
      pa_operation_cancel(askingSource_);
    }
    pa_operation_unref(std::exchange(askingSource_, nullptr));
  }
  if (stream_ == nullptr) return;
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  switch (pa_stream_get_state(stream_)) {
    case PA_STREAM_READY:
      pa_stream_set_state_callback(stream_, nullptr, nullptr);
      pa_stream_disconnect(stream_);
      break;
    case PA_STREAM_CREATING:
      // Not disconnectable until the server has made it; left to record, it would hold the
      // sink awake for as long as the connection lasts.
      pa_stream_set_state_callback(stream_, &MonitorStream::disconnectOnceReady, nullptr);
      break;
    default:
      pa_stream_set_state_callback(stream_, nullptr, nullptr);
      break;
  }
}

void MonitorStream::disconnectOnceReady(pa_stream* stream, void* /*userdata*/) {
  if (pa_stream_get_state(stream) == PA_STREAM_READY) pa_stream_disconnect(stream);
}
