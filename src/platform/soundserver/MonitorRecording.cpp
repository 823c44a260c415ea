#include "platform/soundserver/MonitorRecording.h"

#include <pulse/rtclock.h>
#include <pulse/timeval.h>

#include <algorithm>
#include <utility>

#include "platform/soundserver/PulseError.h"

namespace {

// Float32 interleaved at the configuration's rate and channel count. Values out of range, or
// no configuration at all, give 0, which pa_sample_spec_valid refuses before anything starts.
pa_sample_spec recordSpec(const SCStreamConfigurationRef& configuration) {
  pa_sample_spec sampleSpec{};
  sampleSpec.format = PA_SAMPLE_FLOAT32LE;
  const long rate = configuration ? configuration->sampleRate() : 0;
  const long channels = configuration ? configuration->channelCount() : 0;
  sampleSpec.rate = rate > 0 && rate <= PA_RATE_MAX ? static_cast<std::uint32_t>(rate) : 0;
  sampleSpec.channels =
      channels > 0 && channels <= PA_CHANNELS_MAX ? static_cast<std::uint8_t>(channels) : 0;
  return sampleSpec;
}

SilenceClock::Rule clockRule(const pa_sample_spec& sampleSpec,
                             const MonitorRecording::Timing& timing) {
  const std::uint64_t fragmentFrames = timing.fragment * sampleSpec.rate / PA_USEC_PER_SEC;
  return SilenceClock::Rule{
      .rate = sampleSpec.rate,
      .fragmentFrames = static_cast<std::uint32_t>(std::max<std::uint64_t>(fragmentFrames, 1)),
      .stallAfterMicros = timing.stallAfter,
  };
}

}  // namespace

MonitorRecording::MonitorRecording(PulseLoop& loop, SCStreamRef stream, Timing timing,
                                   SCStream::StartCompletionHandler completion, Retire retire)
    : loop_(loop),
      stream_(std::move(stream)),
      timing_(timing),
      spec_(recordSpec(stream_->configuration())),
      samples_(spec_),
      clock_(clockRule(spec_, timing_)),
      start_(loop, timing.start,
             {.attempt = [this] { connect(); },
              .giveUp = [this] { fail(std::exchange(lastError_, nullptr)); }}),
      findSink_(loop, timing.findSink, {.attempt = [this] { followDefault(); }, .giveUp = [] {}}),
      reconnect_(loop, timing.reconnect,
                 {.attempt = [this] { reconnect(); },
                  .giveUp = [this] { fail(std::exchange(lastError_, nullptr)); }}),
      completion_(std::move(completion)),
      retire_(std::move(retire)) {}

MonitorRecording::~MonitorRecording() {
  disconnect();
}

void MonitorRecording::begin() {
  if (!pa_sample_spec_valid(&spec_)) return fail(pulseError(PA_ERR_INVALID));
  const SCContentFilterRef& filter = stream_->filter();
  if (!filter || !filter->display()) return fail(pulseError(PA_ERR_NOENTITY));
  start_.begin();
}

// The start's one try: the connection, then the display's sink.
void MonitorRecording::connect() {
  lastError_ = pulseError(PA_ERR_TIMEOUT);  // until the try fails for a reason of its own
  connection_ = std::make_unique<PulseConnection>(loop_);
  connection_->open({
      .ready =
          [this] {
            subscribe();
            if (phase_ == Phase::Starting) recordSink(stream_->filter()->display()->name());
          },
      .ended = [this](NSErrorRef error) { serverLost(std::move(error)); },
  });
}

// Subscribed before the first recording, so that no change between the two goes unheard.
void MonitorRecording::subscribe() {
  pa_context* context = connection_->context();
  pa_context_set_subscribe_callback(context, &MonitorRecording::onEvent, this);
  const auto mask =
      static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK);
  pa_operation* asked = pa_context_subscribe(context, mask, nullptr, nullptr);
  if (asked == nullptr) return requestFailed();
  pa_operation_unref(asked);
}

void MonitorRecording::onEvent(pa_context* context, pa_subscription_event_type_t type,
                               std::uint32_t /*index*/, void* userdata) {
  auto& self = *static_cast<MonitorRecording*>(userdata);
  if (self.phase_ != Phase::Running || !self.isCurrent(context)) return;
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  // A new default comes as a server change; a sink coming or going may be the one recorded,
  // or the first one after none. Sink changes (volume, suspension) say nothing about which.
  if (facility == PA_SUBSCRIPTION_EVENT_SERVER ||
      (facility == PA_SUBSCRIPTION_EVENT_SINK && kind != PA_SUBSCRIPTION_EVENT_CHANGE)) {
    self.followDefault();
  }
}

void MonitorRecording::followDefault() {
  pa_operation* asked =
      pa_context_get_server_info(connection_->context(), &MonitorRecording::onServerInfo, this);
  if (asked == nullptr) return requestFailed();
  pa_operation_unref(asked);
}

void MonitorRecording::onServerInfo(pa_context* context, const pa_server_info* info,
                                    void* userdata) {
  auto& self = *static_cast<MonitorRecording*>(userdata);
  if (self.phase_ != Phase::Running || !self.isCurrent(context)) return;
  if (info == nullptr) return self.requestFailed();
  // No default: no sink at all. Silence goes on until one appears and is announced.
  if (info->default_sink_name == nullptr || *info->default_sink_name == '\0') return;
  // Answers come in the order asked, so an older answer never undoes a newer one.
  if (self.target_ == info->default_sink_name) return;
  self.recordSink(info->default_sink_name);
}

void MonitorRecording::recordSink(const std::string& name) {
  dropMonitor();
  target_ = name;
  pa_operation* asked = pa_context_get_sink_info_by_name(connection_->context(), name.c_str(),
                                                         &MonitorRecording::onSinkInfo, this);
  if (asked == nullptr) return requestFailed();
  pa_operation_unref(asked);
}

void MonitorRecording::onSinkInfo(pa_context* context, const pa_sink_info* info, int eol,
                                  void* userdata) {
  auto& self = *static_cast<MonitorRecording*>(userdata);
  if (self.phase_ == Phase::Ended || !self.isCurrent(context)) return;
  if (eol < 0) {
    // The sink went between being named and being looked up.
    if (self.phase_ == Phase::Starting) return self.startFailed(contextError(context));
    if (!self.monitor_) self.lostTarget();
    return;
  }
  if (eol > 0 || info == nullptr || info->name == nullptr) return;
  // An answer for a sink no longer wanted, or one already being recorded.
  if (self.target_ != info->name || self.monitor_) return;
  if (info->monitor_source_name == nullptr) {
    if (self.phase_ == Phase::Starting) return self.startFailed(pulseError(PA_ERR_NOENTITY));
    return self.lostTarget();
  }
  self.openMonitor(*info);
}

void MonitorRecording::openMonitor(const pa_sink_info& sink) {
  monitor_ = std::make_unique<MonitorStream>(
      loop_, connection_->context(),
      MonitoredSink{.name = sink.name,
                    .index = sink.index,
                    .monitorSource = sink.monitor_source_name,
                    .description = sink.description != nullptr ? sink.description : ""},
      MonitorStream::Events{
          .confirmed = [this] { monitorConfirmed(); },
          .fragment = [this](const void* data, std::size_t bytes) { deliverAudio(data, bytes); },
          .failed = [this](NSErrorRef error) { monitorFailed(std::move(error)); },
      });
  if (NSErrorRef error = monitor_->open(spec_, timing_.fragment)) monitorFailed(std::move(error));
}

// What the old monitor already holds is handed on first: it was played before the switch.
void MonitorRecording::dropMonitor() {
  if (monitor_) monitor_->readAvailable();
  monitor_.reset();
  target_.clear();
}

void MonitorRecording::monitorConfirmed() {
  findSink_.end();
  if (phase_ == Phase::Starting) run();
}

void MonitorRecording::monitorFailed(NSErrorRef error) {
  if (phase_ == Phase::Starting) return startFailed(std::move(error));
  if (phase_ != Phase::Running) return;
  monitor_.reset();  // inside its own failure report, which it allows
  // A sink going (PA_ERR_KILLED) or refusing is a reason to look for the default output
  // again; a stream that fails with its connection is the server going.
  if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(connection_->context()))) {
    return serverLost(std::move(error));
  }
  lostTarget();
}

// Nothing recorded now; the default is asked for again after a pause, in case no event comes
// (a stream that failed on a sink that is still the default), and after longer pauses while
// that goes on.
void MonitorRecording::lostTarget() {
  target_.clear();
  findSink_.failed();
}

void MonitorRecording::run() {
  phase_ = Phase::Running;
  start_.end();
  clock_.start(pa_rtclock_now());
  ticker_.emplace(loop_, connection_->context(), timing_.gapCheck, [this] { tick(); });
  std::exchange(completion_, nullptr)(nullptr);
  // The default may have changed while capture was starting.
  followDefault();
}

// A request the server neither took nor answered. While the connection is good that is
// something the capture cannot get past; otherwise the connection is going, as its own end
// (reported too, and handled alike) will say.
void MonitorRecording::requestFailed() {
  NSErrorRef error = contextError(connection_->context());
  if (phase_ == Phase::Running &&
      PA_CONTEXT_IS_GOOD(pa_context_get_state(connection_->context()))) {
    return fail(std::move(error));
  }
  serverLost(std::move(error));
}

// The start is one try: whatever fails in it (the server, a sink that vanished, a stream the
// server refused) ends it, as the start policy says.
void MonitorRecording::startFailed(NSErrorRef error) {
  lastError_ = std::move(error);
  start_.failed();
}

// The connection is gone. A capture that runs keeps the clock with silence (the ticker goes
// on) and tries the server again; before that, it is a failure to start.
void MonitorRecording::serverLost(NSErrorRef error) {
  if (phase_ == Phase::Starting) return startFailed(std::move(error));
  if (phase_ != Phase::Running || reconnect_.active()) return;
  // The lost stream cannot be read any more; what it held is gone with the server.
  monitor_.reset();
  target_.clear();
  findSink_.end();
  pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
  lastError_ = std::move(error);
  reconnect_.begin();
}

// A fresh context each time: a context that failed cannot connect again.
void MonitorRecording::reconnect() {
  lastError_ = pulseError(PA_ERR_TIMEOUT);  // until this try fails for a reason of its own
  attempt_ = std::make_unique<PulseConnection>(loop_);
  attempt_->open({
      .ready = [this] { reconnected(); },
      .ended =
          [this, attempt = attempt_.get()](NSErrorRef error) {
            // Once answered, the attempt is the connection, and its end a loss like any.
            if (attempt == connection_.get()) return serverLost(std::move(error));
            lastError_ = std::move(error);
            reconnect_.failed();
          },
  });
}

// Recorded as at the start: the default sink's monitor, named and checked (MonitorStream),
// whatever the sink is called on the server that answered.
void MonitorRecording::reconnected() {
  reconnect_.end();
  lastError_ = nullptr;
  // The ticker's timer moves to the new context before the lost one is freed.
  ticker_.emplace(loop_, attempt_->context(), timing_.gapCheck, [this] { tick(); });
  connection_ = std::move(attempt_);
  subscribe();
  followDefault();
}

// Answers and events from a connection that was lost, or is being replaced, are stale.
bool MonitorRecording::isCurrent(const pa_context* context) const {
  return !reconnect_.active() && connection_ != nullptr && context == connection_->context();
}

void MonitorRecording::tick() {
  // Audio the library already holds is not a gap: take it before judging.
  if (monitor_) monitor_->readAvailable();
  if (phase_ != Phase::Running) return;
  // The loop runs timers before reading sockets, so after the loop thread was held up a
  // stall seen now may be audio not yet read: a gap counts once a second tick, after a read
  // in between, still sees it.
  const std::uint64_t now = pa_rtclock_now();
  const bool stalled = clock_.stalled(now);
  if (stalled && stallSeen_) deliverSilence(clock_.takeSilenceDue(now));
  stallSeen_ = stalled;
  // While audio flows a rare look is enough; through a gap, silence goes out fragment by
  // fragment, as audio would. Without a server there is no audio to keep close to: a look
  // every gap check hands on the silence due in one go and keeps the idle cost down.
  const bool byFragment = stalled && !reconnect_.active();
  if (ticker_) ticker_->setPeriod(byFragment ? timing_.fragment : timing_.gapCheck);
}

void MonitorRecording::deliverAudio(const void* data, std::size_t bytes) {
  const std::size_t frameBytes = samples_.bytesPerFrame();
  if (frameBytes == 0 || bytes < frameBytes) return;
  // The oldest frames, where the clock says that time was filled with silence already.
  const std::size_t skipped =
      clock_.audioArrived(bytes / frameBytes, pa_rtclock_now()) * frameBytes;
  const std::size_t kept = bytes - skipped;
  deliver(data != nullptr
              ? samples_.fromAudio({static_cast<const std::byte*>(data) + skipped, kept})
              : samples_.fromHole(kept));
}

// In fragments, as the server would have sent them.
void MonitorRecording::deliverSilence(std::uint64_t frames) {
  const std::uint64_t fragmentFrames = clockRule(spec_, timing_).fragmentFrames;
  while (frames > 0) {
    const std::uint64_t now = std::min(frames, fragmentFrames);
    deliver(samples_.fromHole(now * samples_.bytesPerFrame()));
    frames -= now;
  }
}

void MonitorRecording::deliver(const CMSampleBufferRef& sample) {
  // Queued for the output's queue: the loop thread never waits for the program.
  if (sample) stream_->deliverSampleBuffer(sample, SCStreamOutputTypeAudio);
}

void MonitorRecording::fail(NSErrorRef error) {
  const Phase was = std::exchange(phase_, Phase::Ended);
  if (was == Phase::Ended) return;
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

void MonitorRecording::disconnect() {
  start_.end();
  findSink_.end();
  reconnect_.end();
  ticker_.reset();
  monitor_.reset();
  attempt_.reset();
  if (!connection_) return;
  if (connection_->context() != nullptr) {
    pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
  }
  connection_->close();
}
