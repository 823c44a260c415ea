#include "platform/soundserver/EveryOutputRecording.h"

#include <pulse/rtclock.h>

#include <algorithm>
#include <span>
#include <utility>

#include "platform/soundserver/PulseError.h"

namespace {

// Float32 interleaved at the configuration's rate and channel count. Values out of range, or
// no configuration at all, give 0, which pa_sample_spec_valid refuses.
pa_sample_spec float32SampleSpecFor(const SCStreamConfigurationRef& configuration) {
  const long rate = configuration ? configuration->sampleRate() : 0;
  const long channels = configuration ? configuration->channelCount() : 0;
  return pa_sample_spec{
      .format = PA_SAMPLE_FLOAT32LE,
      .rate = rate > 0 && rate <= PA_RATE_MAX ? static_cast<std::uint32_t>(rate) : 0,
      .channels =
          static_cast<std::uint8_t>(channels > 0 && channels <= PA_CHANNELS_MAX ? channels : 0)};
}

CMFormatDescriptionRef describe(const pa_sample_spec& sampleSpec) {
  const auto frameBytes = static_cast<UInt32>(sizeof(float) * sampleSpec.channels);
  return std::make_shared<const CMAudioFormatDescription>(AudioStreamBasicDescription{
      .mSampleRate = static_cast<Float64>(sampleSpec.rate),
      .mFormatID = kAudioFormatLinearPCM,
      .mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
      .mBytesPerPacket = frameBytes,
      .mFramesPerPacket = 1,
      .mBytesPerFrame = frameBytes,
      .mChannelsPerFrame = sampleSpec.channels,
      .mBitsPerChannel = 32,
      .mReserved = 0,
  });
}

}  // namespace

EveryOutputRecording::EveryOutputRecording(PulseLoop& loop, SCStreamRef stream,
                                           const RecordingTiming& timing,
                                           SCStream::StartCompletionHandler completion)
    : PulseOperation(loop),
      loop_(loop),
      stream_(std::move(stream)),
      timing_(timing),
      sampleSpec_(float32SampleSpecFor(stream_->configuration())),
      frameBytes_(sizeof(float) * sampleSpec_.channels),
      format_(describe(sampleSpec_)),
      output_(sampleSpec_.rate, sampleSpec_.channels, timing_),
      connecting_(loop, timing.start,
                  {.attempt = [this] { connect(); },
                   .giveUp = [this] { fail(std::exchange(lastError_, nullptr)); }}),
      lookTimer_(loop, [this] { look(); }),
      mixTimer_(loop, [this] { mixAndDeliver(); }),
      follower_(loop, timing.findSink,
                {.found = [this] { sinkFound(); },
                 .notFound = [this](NSErrorRef error) { sinkNotFound(std::move(error)); },
                 .requestFailed = [this] { requestFailed(); }}),
      completion_(std::move(completion)) {}

EveryOutputRecording::~EveryOutputRecording() {
  disconnect();
}

void EveryOutputRecording::begin() {
  if (!pa_sample_spec_valid(&sampleSpec_)) return fail(pulseError(PA_ERR_INVALID));
  const SCContentFilterRef& filter = stream_->filter();
  if (!filter || !filter->display()) return fail(pulseError(PA_ERR_NOENTITY));
  connecting_.begin();
}

// One try: the start's, or one of those after a loss. A fresh context each time: a context
// that failed cannot connect again.
void EveryOutputRecording::connect() {
  lastError_ = pulseError(PA_ERR_TIMEOUT);  // until the try fails for a reason of its own
  retireConnection();
  connection_ = std::make_shared<PulseConnection>(loop_);
  connection_->open({
      .ready = [this] { connected(); },
      .ended = [this](NSErrorRef error) { connectionEnded(std::move(error)); },
  });
}

// At the start the display's sink is looked up, and the start succeeds once it is found; after
// a loss, the default sink is recorded, whatever it is called on the server that answered.
void EveryOutputRecording::connected() {
  subscribe();
  follower_.attach(connection_->context());
  if (phase_ == Phase::Starting) return follower_.lookUp(stream_->filter()->display()->name());
  connecting_.end();
  lastError_ = nullptr;
  follower_.followDefault();
}

// A try that failed, or the loss of the server recorded. A capture that runs keeps the clock
// with silence (the look timer goes on) and tries the server again; before that, it is a
// failure to start, as the start policy says.
void EveryOutputRecording::connectionEnded(NSErrorRef error) {
  lastError_ = std::move(error);
  if (phase_ != Phase::Running || connecting_.active()) return connecting_.failed();
  // The lost streams cannot be read any more; what they held is gone with the server.
  inputs_.reset();
  routes_.reset();
  deliverAudio(output_.flush(pa_rtclock_now()));
  follower_.detach();
  retireConnection();
  connecting_.begin(timing_.reconnect);
}

// Subscribed before anything is looked up, so that no change between the two goes unheard.
void EveryOutputRecording::subscribe() {
  pa_context* context = connection_->context();
  pa_context_set_subscribe_callback(context, &EveryOutputRecording::onEvent, this);
  const auto mask = static_cast<pa_subscription_mask_t>(
      PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SINK_INPUT |
      PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT);
  pa_operation* asked = pa_context_subscribe(context, mask, nullptr, nullptr);
  if (asked == nullptr) return requestFailed();
  pa_operation_unref(asked);
}

void EveryOutputRecording::onEvent(pa_context* /*context*/, pa_subscription_event_type_t type,
                                   std::uint32_t index, void* userdata) {
  auto& self = *static_cast<EveryOutputRecording*>(userdata);
  if (self.phase_ != Phase::Running) return;
  const auto facility =
      static_cast<pa_subscription_event_type_t>(type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK);
  const auto kind =
      static_cast<pa_subscription_event_type_t>(type & PA_SUBSCRIPTION_EVENT_TYPE_MASK);
  if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
    if (self.inputs_) self.inputs_->onEvent(kind, index);
    return;
  }
  if (self.routes_) self.routes_->onEvent(facility, kind, index);
  if (facility != PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT)
    self.follower_.onEvent(facility, kind, index);
}

// The start succeeds once the sink is known, whether or not anything plays into it. Every sink
// is recorded from then on, whichever is the default.
void EveryOutputRecording::sinkFound() {
  if (phase_ == Phase::Starting) run();
  if (phase_ == Phase::Running && !inputs_) recordInputs();
}

void EveryOutputRecording::recordInputs() {
  routes_ = std::make_unique<ServerRoutes>(connection_->context(),
                                           ServerRoutes::Events{
                                               .changed = [this] { inputs_->begin(); },
                                               .requestFailed = [this] { requestFailed(); },
                                           });
  inputs_ = std::make_unique<SinkInputs>(
      loop_, connection_->context(), *routes_,
      SinkInputs::StreamSetup{
          .sampleSpec = sampleSpec_, .fragment = timing_.fragment, .tail = timing_.inputTail},
      SinkInputs::Events{
          .audio = [this](std::uint32_t input, const void* data,
                          std::size_t bytes) { inputAudio(input, data, bytes); },
          .caughtUp = [this] { mixSoon(); },
          .quiet =
              [this](std::uint32_t input) {
                output_.inputs().quiet(input);
                mixAndDeliver();
              },
          .ending =
              [this](std::uint32_t input, pa_usec_t until) {
                output_.inputs().ending(input, until);
                mixAndDeliver();
              },
          .requestFailed = [this] { requestFailed(); },
      });
  // Answered in the order asked: the routes are known before the first input is judged.
  routes_->begin();
  inputs_->begin();
}

void EveryOutputRecording::sinkNotFound(NSErrorRef error) {
  if (phase_ == Phase::Running) return follower_.retryLater();
  lastError_ = std::move(error);
  connecting_.failed();
}

void EveryOutputRecording::run() {
  phase_ = Phase::Running;
  connecting_.end();
  lastError_ = nullptr;
  output_.start(pa_rtclock_now());
  lookTimer_.setEvery(timing_.gapCheck);
  std::exchange(completion_, nullptr)(nullptr);
  // The default may have changed while capture was starting.
  follower_.followDefault();
}

// A request the server neither took nor answered. While the connection is good that is
// something the capture cannot get past; otherwise the connection is going, and its end is
// handled here and now.
void EveryOutputRecording::requestFailed() {
  NSErrorRef error = contextError(connection_->context());
  if (phase_ == Phase::Running &&
      PA_CONTEXT_IS_GOOD(pa_context_get_state(connection_->context()))) {
    return fail(std::move(error));
  }
  connectionEnded(std::move(error));
}

void EveryOutputRecording::look() {
  // Audio the library already holds is not a gap: take it before judging.
  if (inputs_) inputs_->readAvailable();
  const std::uint64_t now = pa_rtclock_now();
  if (inputs_) inputs_->dropGone(now);
  if (inputs_ && now >= inputsCheckedAt_ + timing_.gapCheck) {
    inputsCheckedAt_ = now;
    inputs_->recheck();
  }
  const bool idle = !inputs_ || !inputs_->anyPlaying();
  const RecordingOutput::Tick tick = output_.look(now, idle, connecting_.active());
  deliverSilence(tick.silenceFrames);
  lookTimer_.setEvery(tick.nextLookIn);
}

void EveryOutputRecording::inputAudio(std::uint32_t input, const void* data, std::size_t bytes) {
  const std::uint64_t now = pa_rtclock_now();
  InputMix& inputs = output_.inputs();
  if (data == nullptr) return inputs.addSilence(input, bytes / frameBytes_, now);
  inputs.add(input, {static_cast<const float*>(data), bytes / sizeof(float)}, now);
}

// Once per turn of the loop, after every stream read in it: the server hands a period over in
// several blocks per input, and each piece handed on costs a conversion and a write.
void EveryOutputRecording::mixSoon() {
  if (std::exchange(mixPosted_, true)) return;
  loop_.atTurnEnd([this] {
    mixPosted_ = false;
    mixAndDeliver();
  });
}

// Whatever every input that is sending has delivered goes on. The timer is only ever brought
// forward: one that rings before the mix has anything due finds nothing and is set again.
void EveryOutputRecording::mixAndDeliver() {
  const std::uint64_t now = pa_rtclock_now();
  deliverAudio(output_.mix(now));
  const auto deadline = output_.inputs().nextDeadline(now);
  const auto ringsAt = mixTimer_.ringsAt();
  if (deadline && (!ringsAt || *deadline < *ringsAt)) mixTimer_.setAt(*deadline);
}

void EveryOutputRecording::deliverAudio(std::span<const float> audio) {
  const auto bytes = std::as_bytes(audio);
  deliver({bytes.begin(), bytes.end()});
}

// In fragments, as the server would have sent them; all-zero bytes are 0.0f: silence.
void EveryOutputRecording::deliverSilence(std::uint64_t frames) {
  while (frames > 0) {
    const std::uint64_t now = std::min<std::uint64_t>(frames, output_.fragmentFrames());
    deliver(std::vector<std::byte>(now * frameBytes_));
    frames -= now;
  }
}

// Queued for the output's queue: the loop thread never waits for the program.
void EveryOutputRecording::deliver(std::vector<std::byte> frames) {
  const auto count = static_cast<CMItemCount>(frames.size() / frameBytes_);
  if (count == 0) return;
  std::vector<CMBlockBuffer::Region> regions;
  regions.push_back(CMBlockBuffer::Region{sampleSpec_.channels, std::move(frames)});
  stream_->deliverSampleBuffer(
      std::make_shared<CMSampleBuffer>(format_, count,
                                       std::make_shared<CMBlockBuffer>(std::move(regions))),
      SCStreamOutputTypeAudio);
}

void EveryOutputRecording::fail(NSErrorRef error) {
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
  retire();
}

void EveryOutputRecording::disconnect() {
  connecting_.end();
  follower_.detach();
  inputs_.reset();
  routes_.reset();
  lookTimer_.clear();
  mixTimer_.clear();
  retireConnection();
}

// Possibly inside the connection's own callback: its events are dropped now, the object
// itself on a later turn of the loop.
void EveryOutputRecording::retireConnection() {
  if (!connection_) return;
  if (connection_->context() != nullptr) {
    pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
  }
  connection_->close();
  loop_.post([retired = std::move(connection_)] {});
}
