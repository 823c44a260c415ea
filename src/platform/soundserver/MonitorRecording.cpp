#include "platform/soundserver/MonitorRecording.h"

#include <utility>

#include "platform/soundserver/PulseError.h"

namespace {

constexpr const char* kStreamName = "system audio";

// Float32 interleaved at the configuration's rate and channel count. Values out of range, or
// no configuration at all, give 0, which pa_sample_spec_valid refuses before anything starts.
pa_sample_spec recordSpec(const SCStreamConfigurationRef& configuration) {
  pa_sample_spec spec{};
  spec.format = PA_SAMPLE_FLOAT32LE;
  const long rate = configuration ? configuration->sampleRate() : 0;
  const long channels = configuration ? configuration->channelCount() : 0;
  spec.rate = rate > 0 && rate <= PA_RATE_MAX ? static_cast<std::uint32_t>(rate) : 0;
  spec.channels =
      channels > 0 && channels <= PA_CHANNELS_MAX ? static_cast<std::uint8_t>(channels) : 0;
  return spec;
}

NSErrorRef notAMonitor(const std::string& source) {
  return pulseError(PA_ERR_NOTSUPPORTED,
                    {{"NSLocalizedFailureReason", source + " is not the monitor of a sink"}});
}

}  // namespace

MonitorRecording::MonitorRecording(const PulseLoop& loop, SCStreamRef stream, Timing timing,
                                   SCStream::StartCompletionHandler completion, Retire retire)
    : loop_(loop),
      stream_(std::move(stream)),
      timing_(timing),
      spec_(recordSpec(stream_->configuration())),
      samples_(spec_),
      connection_(loop),
      completion_(std::move(completion)),
      retire_(std::move(retire)) {}

MonitorRecording::~MonitorRecording() {
  disconnect();
  if (record_ != nullptr) pa_stream_unref(record_);
}

void MonitorRecording::begin() {
  if (!pa_sample_spec_valid(&spec_)) return fail(pulseError(PA_ERR_INVALID));
  const SCContentFilterRef& filter = stream_->filter();
  if (!filter || !filter->display()) return fail(pulseError(PA_ERR_NOENTITY));
  deadline_.emplace(loop_, timing_.startTimeout, [this] { fail(pulseError(PA_ERR_TIMEOUT)); });
  connection_.open({
      .ready = [this] { findMonitor(); },
      .ended = [this](NSErrorRef error) { fail(std::move(error)); },
  });
}

void MonitorRecording::findMonitor() {
  const std::string& sink = stream_->filter()->display()->name();
  pa_operation* asked = pa_context_get_sink_info_by_name(connection_.context(), sink.c_str(),
                                                         &MonitorRecording::onSinkInfo, this);
  if (asked == nullptr) return fail(contextError(connection_.context()));
  pa_operation_unref(asked);
}

void MonitorRecording::onSinkInfo(pa_context* context, const pa_sink_info* info, int eol,
                                  void* userdata) {
  auto& self = *static_cast<MonitorRecording*>(userdata);
  if (eol < 0) return self.fail(contextError(context));  // the sink has gone
  if (eol > 0 || info == nullptr) return;
  if (info->monitor_source_name == nullptr) return self.fail(pulseError(PA_ERR_NOENTITY));
  self.record(info->monitor_source_name);
}

void MonitorRecording::record(const char* monitorSource) {
  if (phase_ != Phase::Starting || record_ != nullptr) return;
  monitorSource_ = monitorSource;
  record_ = pa_stream_new(connection_.context(), kStreamName, &spec_, nullptr);
  if (record_ == nullptr) return fail(contextError(connection_.context()));
  pa_stream_set_state_callback(record_, &MonitorRecording::onStreamState, this);
  pa_stream_set_read_callback(record_, &MonitorRecording::onReadable, this);

  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  // Without a fragment size the server hands audio over in blocks of up to two seconds.
  attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(timing_.fragment, &spec_));
  // DONT_MOVE: a server that would rescue this stream onto another source once the sink goes
  // (a microphone, on a desktop) kills it instead. Auto-suspend stays inhibited on purpose:
  // a suspended sink would deliver nothing at all, not silence.
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  // The monitor is named explicitly: "@DEFAULT_MONITOR@" can resolve to a microphone.
  if (pa_stream_connect_record(record_, monitorSource_.c_str(), &attributes, flags) < 0) {
    fail(contextError(connection_.context()));
  }
}

void MonitorRecording::onStreamState(pa_stream* stream, void* userdata) {
  auto& self = *static_cast<MonitorRecording*>(userdata);
  switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
      self.checkSourceIsMonitor();
      break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
      self.fail(contextError(pa_stream_get_context(stream)));
      break;
    default:
      break;
  }
}

void MonitorRecording::checkSourceIsMonitor() {
  if (phase_ != Phase::Starting) return;
  pa_operation* asked = pa_context_get_source_info_by_index(connection_.context(),
                                                            pa_stream_get_device_index(record_),
                                                            &MonitorRecording::onSourceInfo, this);
  if (asked == nullptr) return fail(contextError(connection_.context()));
  pa_operation_unref(asked);
}

void MonitorRecording::onSourceInfo(pa_context* context, const pa_source_info* info, int eol,
                                    void* userdata) {
  auto& self = *static_cast<MonitorRecording*>(userdata);
  if (eol < 0) return self.fail(contextError(context));
  if (eol > 0 || info == nullptr) return;
  if (info->monitor_of_sink == PA_INVALID_INDEX) {
    return self.fail(notAMonitor(info->name != nullptr ? info->name : self.monitorSource_));
  }
  self.run();
}

void MonitorRecording::run() {
  if (phase_ != Phase::Starting) return;
  phase_ = Phase::Running;
  if (deadline_) deadline_->cancel();
  std::exchange(completion_, nullptr)(nullptr);
  // Audio that arrived while the source was being checked waits in the stream; take it now.
  readFragments();
}

void MonitorRecording::onReadable(pa_stream* /*stream*/, std::size_t /*bytes*/, void* userdata) {
  auto& self = *static_cast<MonitorRecording*>(userdata);
  // Until the source is known to be a monitor, nothing it recorded may leave the service.
  if (self.phase_ == Phase::Running) self.readFragments();
}

void MonitorRecording::readFragments() {
  while (phase_ == Phase::Running && pa_stream_readable_size(record_) > 0) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(record_, &data, &bytes) < 0) {
      return fail(contextError(connection_.context()));
    }
    if (bytes == 0) return;  // nothing peeked, so nothing to drop
    if (data == nullptr) {
      deliver(samples_.fromHole(bytes));
    } else {
      deliver(samples_.fromAudio({static_cast<const std::byte*>(data), bytes}));
    }
    pa_stream_drop(record_);
  }
}

void MonitorRecording::deliver(const CMSampleBufferRef& sample) {
  // Queued for the output's queue: the loop thread never waits for the program.
  if (sample) stream_->deliverSampleBuffer(sample, SCStreamOutputTypeAudio);
}

void MonitorRecording::fail(NSErrorRef error) {
  const Phase was = std::exchange(phase_, Phase::Ended);
  if (was == Phase::Ended) return;
  if (deadline_) deadline_->cancel();
  disconnect();
  // Both handlers only record what happened (a promise, a diagnostic line), so calling them
  // under the loop's lock is safe; the service never waits for its own loop.
  if (was == Phase::Starting) {
    std::exchange(completion_, nullptr)(std::move(error));
  } else {
    stream_->reportStop(error);
  }
  retire_(this);
}

// Leaves the stream object itself to the destructor: this may run inside one of the stream's
// own callbacks, after which libpulse still touches it.
void MonitorRecording::disconnect() {
  if (record_ != nullptr) {
    pa_stream_set_state_callback(record_, nullptr, nullptr);
    pa_stream_set_read_callback(record_, nullptr, nullptr);
    if (pa_stream_get_state(record_) == PA_STREAM_READY) pa_stream_disconnect(record_);
  }
  connection_.close();
}
