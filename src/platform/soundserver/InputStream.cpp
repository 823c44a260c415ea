#include "platform/soundserver/InputStream.h"

#include <pulse/proplist.h>
#include <pulse/timeval.h>

#include <string>
#include <utility>

#include "platform/soundserver/PulseError.h"

namespace {

// What a mixer lists the stream as (with the application, sysaudio): which input it records.
// Neither the input's own name nor its sink is known yet when the stream is made, and asking
// first would cost the input's first fragments.
std::string streamName(std::uint32_t input) {
  return "Input " + std::to_string(input);
}

NSErrorRef notAttached(const std::string& reason) {
  return pulseError(PA_ERR_NOTSUPPORTED, {{"NSLocalizedFailureReason", reason}});
}

}  // namespace

InputStream::InputStream(PulseLoop& loop, pa_context* shared, std::uint32_t input, Events events)
    : loop_(loop),
      connection_(shared != nullptr ? nullptr : std::make_unique<PulseConnection>(loop)),
      shared_(shared),
      input_(input),
      events_(std::move(events)) {}

InputStream::~InputStream() {
  detach();
  // Possibly inside one of this stream's or this connection's callbacks, after which the
  // library still uses them.
  loop_.post([stream = stream_,
              connection = std::shared_ptr<PulseConnection>(connection_.release())]() mutable {
    if (stream != nullptr) pa_stream_unref(stream);
    connection.reset();
  });
}

NSErrorRef InputStream::open(const pa_sample_spec& sampleSpec, pa_usec_t fragment,
                             const char* source, std::unique_ptr<PulseConnection> connected) {
  sampleSpec_ = sampleSpec;
  fragment_ = fragment;
  source_ = source;
  const PulseConnection::Events events{
      .ready = [this] { connectStream(); },
      .ended = [this](NSErrorRef error) { fail(std::move(error)); },
  };
  opening_ = true;
  if (!connection_) {
    connectStream();
  } else if (connected && connected->ready()) {
    connection_ = std::move(connected);
    connection_->reportTo(events);
    connectStream();
  } else {
    connection_->open(events);
  }
  opening_ = false;
  if (!refused_) return nullptr;
  detach();
  return std::exchange(refused_, nullptr);
}

pa_context* InputStream::context() const {
  return connection_ ? connection_->context() : shared_;
}

void InputStream::connectStream() {
  pa_context* context = this->context();
  stream_ = pa_stream_new(context, streamName(input_).c_str(), &sampleSpec_, nullptr);
  if (stream_ == nullptr) return fail(contextError(context));
  pa_stream_set_state_callback(stream_, &InputStream::onState, this);
  pa_stream_set_read_callback(stream_, &InputStream::onReadable, this);
  pa_stream_set_moved_callback(stream_, &InputStream::onMoved, this);
  if (pa_stream_set_monitor_stream(stream_, input_) < 0) return fail(contextError(context));
  pa_buffer_attr attributes{};
  // Room on the server for two seconds, so a loop thread that is late for a while (a loaded
  // machine) finds its audio waiting rather than dropped; left to the server, PipeWire's
  // PulseAudio server keeps only a few fragments.
  attributes.maxlength =
      static_cast<std::uint32_t>(pa_usec_to_bytes(2 * PA_USEC_PER_SEC, &sampleSpec_));
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  // Without a fragment size the server hands audio over in blocks of up to two seconds.
  attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(fragment_, &sampleSpec_));
  // DONT_MOVE: once its input ends, a server would otherwise move the stream to the default
  // source (PipeWire does: a microphone, on a desktop); with it the stream fails or falls
  // silent instead, and the owner drops it on the input's removal.
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(stream_, source_, &attributes, flags) < 0) {
    fail(contextError(context));
  }
}

void InputStream::onState(pa_stream* stream, void* userdata) {
  auto& self = *static_cast<InputStream*>(userdata);
  switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
      self.askWhereItIs();
      break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
      self.fail(contextError(self.context()));
      break;
    default:
      break;
  }
}

void InputStream::onMoved(pa_stream* /*stream*/, void* userdata) {
  auto& self = *static_cast<InputStream*>(userdata);
  self.fail(notAttached("the server moved the recording of input " + std::to_string(self.input_)));
}

void InputStream::askWhereItIs() {
  if (streamSource_) return;
  pa_context* context = this->context();
  if (!asked_.add(pa_context_get_source_output_info(context, pa_stream_get_index(stream_),
                                                    &InputStream::onStreamInfo, this))) {
    fail(contextError(context));
  }
}

void InputStream::onStreamInfo(pa_context* context, const pa_source_output_info* info, int eol,
                               void* userdata) {
  auto& self = *static_cast<InputStream*>(userdata);
  if (eol < 0) return self.fail(contextError(context));
  if (eol > 0 || info == nullptr) return;
  if (!self.attachedToInput(*info)) {
    return self.fail(
        notAttached("the recording is not attached to input " + std::to_string(self.input_)));
  }
  self.streamSource_ = info->source;
  self.checkAttachment();
}

// PulseAudio shows a stream attached to an input as one on a monitor (which one is checked
// once the input's sink is known); PipeWire's pulse server shows no source at all and names
// the input as the stream's target.
bool InputStream::attachedToInput(const pa_source_output_info& info) const {
  if (info.source != PA_INVALID_INDEX) return true;
  const char* target =
      info.proplist != nullptr ? pa_proplist_gets(info.proplist, "target.object") : nullptr;
  return target != nullptr && std::to_string(input_) == target;
}

void InputStream::inputConfirmed(std::uint32_t monitor) {
  inputMonitor_ = monitor;
  checkAttachment();
}

bool InputStream::confirmed() const {
  return streamSource_ && inputMonitor_ &&
         (*streamSource_ == PA_INVALID_INDEX || *streamSource_ == *inputMonitor_);
}

// Anything but the monitor of the input's own sink (a source of its own, a monitor of another
// sink) may be a microphone.
void InputStream::checkAttachment() {
  if (!streamSource_ || !inputMonitor_ || ended_) return;
  if (!confirmed()) {
    return fail(notAttached("the recording of input " + std::to_string(input_) +
                            " is not on its sink's monitor"));
  }
  // Audio that arrived while the server was asked waits in the stream; take it now.
  readAvailable();
}

void InputStream::onReadable(pa_stream* /*stream*/, std::size_t /*bytes*/, void* userdata) {
  static_cast<InputStream*>(userdata)->readAvailable();
}

void InputStream::readAvailable() {
  // Until the server has said where the audio comes from, none of it may leave the service.
  if (!confirmed() || ended_) return;
  bool handedOn = false;
  while (pa_stream_readable_size(stream_) > 0) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream_, &data, &bytes) < 0) {
      return fail(contextError(context()));
    }
    if (bytes == 0) break;  // nothing peeked, so nothing to drop
    // The handler copies what it keeps: the library reuses the memory once it is dropped.
    events_.audio(data, bytes);
    handedOn = true;
    pa_stream_drop(stream_);
  }
  if (handedOn && events_.caughtUp) events_.caughtUp();
}

void InputStream::fail(NSErrorRef error) {
  if (ended_) return;
  // Failed as it started: open() answers with the error itself.
  if (opening_) {
    refused_ = std::move(error);
    return;
  }
  auto failed = std::exchange(events_.failed, nullptr);
  detach();
  // Last: the handler may drop this stream.
  if (failed) failed(std::move(error));
}

void InputStream::detach() {
  ended_ = true;
  events_ = {};
  asked_.cancelAll();
  if (stream_ != nullptr) {
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_moved_callback(stream_, nullptr, nullptr);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
  }
  // Closing a connection of its own ends the stream on the server too, whatever its state.
  if (connection_) return connection_->close();
  if (stream_ == nullptr) return;
  switch (pa_stream_get_state(stream_)) {
    case PA_STREAM_READY:
      pa_stream_disconnect(stream_);
      break;
    case PA_STREAM_CREATING:
      // Not disconnectable until the server has made it; left to record, it would hold the
      // sink awake for as long as the connection lasts.
      pa_stream_set_state_callback(stream_, &InputStream::disconnectOnceReady, nullptr);
      break;
    default:
      break;
  }
}

void InputStream::disconnectOnceReady(pa_stream* stream, void* /*userdata*/) {
  if (pa_stream_get_state(stream) == PA_STREAM_READY) pa_stream_disconnect(stream);
}
