#include "platform/soundserver/DefaultSinkRecording.h"

#include <pulse/rtclock.h>
#include <pulse/timeval.h>

#include <algorithm>
#include <span>
#include <utility>

#include "platform/soundserver/PulseError.h"

namespace {

SilenceClock::Rule clockRule(const pa_sample_spec& sampleSpec,
                             const DefaultSinkRecording::Timing& timing) {
  const std::uint64_t fragmentFrames = timing.fragment * sampleSpec.rate / PA_USEC_PER_SEC;
  return SilenceClock::Rule{
      .rate = sampleSpec.rate,
      .fragmentFrames = static_cast<std::uint32_t>(std::max<std::uint64_t>(fragmentFrames, 1)),
      .stallAfterMicros = timing.stallAfter,
  };
}

}  // namespace

DefaultSinkRecording::DefaultSinkRecording(PulseLoop& loop, SCStreamRef stream, Timing timing,
                                           SCStream::StartCompletionHandler completion,
                                           Retire retire)
    : loop_(loop),
      stream_(std::move(stream)),
      timing_(timing),
      spec_(FragmentSamples::specFor(stream_->configuration())),
      samples_(spec_),
      clock_(clockRule(spec_, timing_)),
      mix_({.channels = spec_.channels,
            .waitMicros = timing.inputWait,
            .maxLeadFrames = timing.inputLead * spec_.rate / PA_USEC_PER_SEC,
            .silenceSlackFrames = timing.fragment * spec_.rate / PA_USEC_PER_SEC}),
      start_(loop, timing.start,
             {.attempt = [this] { connect(); },
              .giveUp = [this] { fail(std::exchange(lastError_, nullptr)); }}),
      reconnect_(loop, timing.reconnect,
                 {.attempt = [this] { reconnect(); },
                  .giveUp = [this] { fail(std::exchange(lastError_, nullptr)); }}),
      follower_(loop, timing.findSink,
                {.found = [this](const RecordedSink& sink) { sinkFound(sink); },
                 .lost = [this] { dropInputs(); },
                 .notFound = [this](NSErrorRef error) { sinkNotFound(std::move(error)); },
                 .requestFailed = [this] { requestFailed(); }}),
      completion_(std::move(completion)),
      retire_(std::move(retire)) {}

DefaultSinkRecording::~DefaultSinkRecording() {
  disconnect();
}

void DefaultSinkRecording::begin() {
  if (!pa_sample_spec_valid(&spec_)) return fail(pulseError(PA_ERR_INVALID));
  const SCContentFilterRef& filter = stream_->filter();
  if (!filter || !filter->display()) return fail(pulseError(PA_ERR_NOENTITY));
  start_.begin();
}

// The start's one try: the connection, then the display's sink.
void DefaultSinkRecording::connect() {
  lastError_ = pulseError(PA_ERR_TIMEOUT);  // until the try fails for a reason of its own
  connection_ = std::make_unique<PulseConnection>(loop_);
  connection_->open({
      .ready =
          [this] {
            subscribe();
            follower_.attach(connection_->context());
            if (phase_ == Phase::Starting) follower_.lookUp(stream_->filter()->display()->name());
          },
      .ended = [this](NSErrorRef error) { serverLost(std::move(error)); },
  });
}

// Subscribed before anything is looked up, so that no change between the two goes unheard.
void DefaultSinkRecording::subscribe() {
  pa_context* context = connection_->context();
  pa_context_set_subscribe_callback(context, &DefaultSinkRecording::onEvent, this);
  const auto mask = static_cast<pa_subscription_mask_t>(
      PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SINK_INPUT);
  pa_operation* asked = pa_context_subscribe(context, mask, nullptr, nullptr);
  if (asked == nullptr) return requestFailed();
  pa_operation_unref(asked);
}

void DefaultSinkRecording::onEvent(pa_context* context, pa_subscription_event_type_t type,
                                   std::uint32_t index, void* userdata) {
  auto& self = *static_cast<DefaultSinkRecording*>(userdata);
  if (self.phase_ != Phase::Running || !self.isCurrent(context)) return;
  const auto facility =
      static_cast<pa_subscription_event_type_t>(type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK);
  const auto kind =
      static_cast<pa_subscription_event_type_t>(type & PA_SUBSCRIPTION_EVENT_TYPE_MASK);
  if (facility != PA_SUBSCRIPTION_EVENT_SINK_INPUT)
    return self.follower_.onEvent(facility, kind, index);
  if (self.inputs_) self.inputs_->onEvent(kind, index);
}

// The start succeeds once the sink is known, whether or not anything plays into it.
void DefaultSinkRecording::sinkFound(const RecordedSink& sink) {
  dropInputs();
  inputs_ = std::make_unique<SinkInputs>(
      loop_, connection_->context(), sink,
      SinkInputs::StreamSetup{.sampleSpec = spec_, .fragment = timing_.fragment},
      SinkInputs::Events{
          .audio = [this](std::uint32_t input, const void* data,
                          std::size_t bytes) { inputAudio(input, data, bytes); },
          .caughtUp = [this] { mixSoon(); },
          .quiet =
              [this](std::uint32_t input) {
                mix_.quiet(input);
                mixAndDeliver();
              },
          .requestFailed = [this] { requestFailed(); },
      });
  if (phase_ == Phase::Starting) run();
  if (inputs_) inputs_->begin();
}

void DefaultSinkRecording::sinkNotFound(NSErrorRef error) {
  if (phase_ == Phase::Starting) return startFailed(std::move(error));
  if (phase_ == Phase::Running) follower_.retryLater();
}

// What the streams already hold, and what the mix still waits with, was played before the
// sink stopped being recorded: handed on first.
void DefaultSinkRecording::dropInputs() {
  if (!inputs_) return;
  inputs_->readAvailable();
  inputs_.reset();
  deliverHeldBack();
}

void DefaultSinkRecording::deliverHeldBack() {
  mixed_.clear();
  deliverMixed(mix_.flush(mixed_), pa_rtclock_now());
}

void DefaultSinkRecording::run() {
  phase_ = Phase::Running;
  start_.end();
  clock_.start(pa_rtclock_now());
  startTimers(connection_->context());
  std::exchange(completion_, nullptr)(nullptr);
  // The default may have changed while capture was starting.
  follower_.followDefault();
}

// A request the server neither took nor answered. While the connection is good that is
// something the capture cannot get past; otherwise the connection is going, as its own end
// (reported too, and handled alike) will say.
void DefaultSinkRecording::requestFailed() {
  NSErrorRef error = contextError(connection_->context());
  if (phase_ == Phase::Running &&
      PA_CONTEXT_IS_GOOD(pa_context_get_state(connection_->context()))) {
    return fail(std::move(error));
  }
  serverLost(std::move(error));
}

// The start is one try: whatever fails in it (the server, a sink that vanished) ends it, as
// the start policy says.
void DefaultSinkRecording::startFailed(NSErrorRef error) {
  lastError_ = std::move(error);
  start_.failed();
}

// The connection is gone. A capture that runs keeps the clock with silence (the ticker goes
// on) and tries the server again; before that, it is a failure to start.
void DefaultSinkRecording::serverLost(NSErrorRef error) {
  if (phase_ == Phase::Starting) return startFailed(std::move(error));
  if (phase_ != Phase::Running || reconnect_.active()) return;
  // The lost streams cannot be read any more; what they held is gone with the server.
  inputs_.reset();
  deliverHeldBack();
  follower_.detach();
  pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
  lastError_ = std::move(error);
  reconnect_.begin();
}

// A fresh context each time: a context that failed cannot connect again.
void DefaultSinkRecording::reconnect() {
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

// Recorded as at the start: the inputs of the default sink, whatever it is called on the
// server that answered.
void DefaultSinkRecording::reconnected() {
  reconnect_.end();
  lastError_ = nullptr;
  // The timers move to the new context before the lost one is freed.
  startTimers(attempt_->context());
  connection_ = std::move(attempt_);
  subscribe();
  follower_.attach(connection_->context());
  follower_.followDefault();
}

void DefaultSinkRecording::startTimers(pa_context* context) {
  ticker_.emplace(loop_, context, timing_.gapCheck, [this] { tick(); });
  mixDeadline_.emplace(loop_, context, [this] { mixAndDeliver(); });
}

// Answers and events from a connection that was lost, or is being replaced, are stale.
bool DefaultSinkRecording::isCurrent(const pa_context* context) const {
  return !reconnect_.active() && connection_ != nullptr && context == connection_->context();
}

void DefaultSinkRecording::tick() {
  // Audio the library already holds is not a gap: take it before judging.
  if (inputs_) inputs_->readAvailable();
  if (phase_ != Phase::Running) return;
  const std::uint64_t now = pa_rtclock_now();
  if (inputs_ && now >= inputsCheckedAt_ + timing_.gapCheck) {
    inputsCheckedAt_ = now;
    inputs_->recheck();
  }
  // With nothing playing into the sink there is no audio to wait for: the silence it would
  // have sent goes out at once, fragment by fragment, as the sink's own monitor would send it.
  const bool idle = !inputs_ || !inputs_->anyPlaying();
  // The loop runs timers before reading sockets, so after the loop thread was held up a
  // stall seen now may be audio not yet read: a gap counts once a second tick, after a read
  // in between, still sees it.
  const bool stalled = clock_.stalled(now);
  if (idle || (stalled && stallSeen_)) deliverSilence(clock_.takeSilenceDue(now, idle));
  stallSeen_ = stalled;
  // While audio flows a rare look is enough; through a gap, silence goes out fragment by
  // fragment, as audio would. Without a server there is no audio to keep close to: a look
  // every gap check hands on the silence due in one go and keeps the idle cost down.
  const bool byFragment = (stalled || idle) && !reconnect_.active();
  if (ticker_) ticker_->setPeriod(byFragment ? timing_.fragment : timing_.gapCheck);
}

void DefaultSinkRecording::inputAudio(std::uint32_t input, const void* data, std::size_t bytes) {
  const std::uint64_t now = pa_rtclock_now();
  if (data == nullptr) return mix_.addSilence(input, bytes / samples_.bytesPerFrame(), now);
  mix_.add(input, {static_cast<const float*>(data), bytes / sizeof(float)}, now);
}

// Once per turn of the loop, after every stream read in it: the server hands a period over in
// several blocks per input, and each piece handed on costs a conversion and a write.
void DefaultSinkRecording::mixSoon() {
  if (std::exchange(mixPosted_, true)) return;
  loop_.atTurnEnd([this] {
    mixPosted_ = false;
    mixAndDeliver();
  });
}

// Whatever every input that is sending has delivered goes on; the alarm is set for when an
// input the others wait for stops being waited for.
void DefaultSinkRecording::mixAndDeliver() {
  const std::uint64_t now = pa_rtclock_now();
  mixed_.clear();
  deliverMixed(mix_.mix(now, mixed_), now);
  if (!mixDeadline_) return;
  if (const auto deadline = mix_.nextDeadline(now)) {
    mixDeadline_->setAt(*deadline);
  } else {
    mixDeadline_->clear();
  }
}

void DefaultSinkRecording::deliverMixed(std::size_t frames, std::uint64_t now) {
  if (frames == 0) return;
  // The oldest frames, where the clock says that time was filled with silence already.
  const std::size_t skipped = clock_.audioArrived(frames, now);
  if (skipped >= frames) return;
  const auto bytes = std::as_bytes(std::span(mixed_));
  deliver(samples_.fromAudio(bytes.subspan(skipped * samples_.bytesPerFrame())));
}

// In fragments, as the server would have sent them.
void DefaultSinkRecording::deliverSilence(std::uint64_t frames) {
  const std::uint64_t fragmentFrames = clockRule(spec_, timing_).fragmentFrames;
  while (frames > 0) {
    const std::uint64_t now = std::min(frames, fragmentFrames);
    deliver(samples_.fromHole(now * samples_.bytesPerFrame()));
    frames -= now;
  }
}

void DefaultSinkRecording::deliver(const CMSampleBufferRef& sample) {
  // Queued for the output's queue: the loop thread never waits for the program.
  if (sample) stream_->deliverSampleBuffer(sample, SCStreamOutputTypeAudio);
}

void DefaultSinkRecording::fail(NSErrorRef error) {
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

void DefaultSinkRecording::disconnect() {
  start_.end();
  reconnect_.end();
  follower_.detach();
  inputs_.reset();
  mixDeadline_.reset();
  ticker_.reset();
  attempt_.reset();
  if (!connection_) return;
  if (connection_->context() != nullptr) {
    pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
  }
  connection_->close();
}
