#include "platform/soundserver/SinkInputs.h"

#include <pulse/rtclock.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

SinkInputs::SinkInputs(PulseLoop& loop, pa_context* context, const ServerRoutes& routes,
                       StreamSetup setup, Events events)
    : loop_(loop), context_(context), routes_(routes), setup_(setup), events_(std::move(events)) {}

// Which server it is, answered before the inputs are: the streams' connections depend on it.
void SinkInputs::begin() {
  if (!std::exchange(serverAsked_, true)) {
    ask(pa_context_get_server_info(context_, &SinkInputs::onServerInfo, this));
  }
  ask(pa_context_get_sink_input_info_list(context_, &SinkInputs::onInputInfo, this));
}

// PipeWire's pulse server calls itself "PulseAudio (on PipeWire 1.4.2)".
void SinkInputs::onServerInfo(pa_context* /*context*/, const pa_server_info* info, void* userdata) {
  auto& self = *static_cast<SinkInputs*>(userdata);
  if (info == nullptr) return self.events_.requestFailed();
  self.ownConnections_ =
      info->server_name != nullptr && std::strstr(info->server_name, "PipeWire") != nullptr;
  if (self.ownConnections_ && !self.spare_) self.prepareSpare();
}

void SinkInputs::recheck() {
  if (!inputs_.empty()) begin();
}

void SinkInputs::onEvent(pa_subscription_event_type_t kind, std::uint32_t input) {
  switch (kind) {
    case PA_SUBSCRIPTION_EVENT_NEW:
      // Recorded at once, whatever it turns out to be: its stream waits for the server's word
      // before anything it records is used.
      if (!inputs_.contains(input)) record(input);
      [[fallthrough]];
    case PA_SUBSCRIPTION_EVENT_CHANGE:
      // Moved, corked, uncorked, or only a change of volume: its details say which.
      return ask(pa_context_get_sink_input_info(context_, input, &SinkInputs::onInputInfo, this));
    case PA_SUBSCRIPTION_EVENT_REMOVE:
      return gone(input);
    default:
      return;
  }
}

void SinkInputs::ask(pa_operation* asked) {
  if (!asked_.add(asked)) events_.requestFailed();
}

void SinkInputs::onInputInfo(pa_context* /*context*/, const pa_sink_input_info* info, int eol,
                             void* userdata) {
  auto& self = *static_cast<SinkInputs*>(userdata);
  // An input asked about that is gone already (eol < 0): its removal comes as an event, which
  // drops it.
  if (eol != 0 || info == nullptr) return;
  self.inputSeen(*info);
}

void SinkInputs::inputSeen(const pa_sink_input_info& info) {
  // PipeWire announces an input before it is linked to any sink; a change follows once it is.
  if (info.sink == PA_INVALID_INDEX) return;
  if (isCopy(info)) return drop(info.index);
  const auto monitor = routes_.copies().monitorOf(info.sink);
  // A sink not known yet: once it is, every input is looked at again.
  if (!monitor) return;
  follow(info, *monitor);
  // PulseAudio ends the stream of an input that moved to another sink (the confirmation fails
  // too, should its end come later): recorded again at once, on its new sink.
  if (!inputs_.contains(info.index)) follow(info, *monitor);
}

bool SinkInputs::isCopy(const pa_sink_input_info& info) const {
  return routes_.copies().isCopy(
      {.client = info.client, .owner = ServerRoutes::ownerOf(info.owner_module, info.proplist)});
}

void SinkInputs::follow(const pa_sink_input_info& info, std::uint32_t monitor) {
  Input& input = inputs_[info.index];
  input.known = true;
  input.corked = info.corked != 0;
  const bool corked = input.corked;
  if (!input.stream) record(info.index);
  const auto found = inputs_.find(info.index);
  if (found == inputs_.end() || !found->second.stream) return;
  if (corked) events_.quiet(info.index);
  // Last: a stream on another monitor than its input's sink's ends here, and drops its input.
  found->second.stream->inputConfirmed(monitor);
}

void SinkInputs::record(std::uint32_t input) {
  auto stream = std::make_unique<InputStream>(
      loop_, ownConnections_ ? nullptr : context_, input,
      InputStream::Events{
          .audio = [this, input](const void* data,
                                 std::size_t bytes) { events_.audio(input, data, bytes); },
          .caughtUp = [this] { events_.caughtUp(); },
          .failed = [this, input](const NSErrorRef& /*error*/) { streamFailed(input); },
      });
  std::unique_ptr<PulseConnection> connection;
  if (ownConnections_) {
    // One still connecting would be no quicker than a new one.
    connection = std::exchange(spare_, nullptr);
    if (connection && !connection->ready()) connection.reset();
    prepareSpare();
  }
  // No source named: the server picks the monitor of the sink the input plays into.
  if (stream->open(setup_.sampleSpec, setup_.fragment, nullptr, std::move(connection))) {
    return;  // nothing to do it with
  }
  inputs_[input].stream = std::move(stream);
}

void SinkInputs::prepareSpare() {
  spare_ = std::make_unique<PulseConnection>(loop_);
  spare_->open({});
}

// The input's end is told on this connection, its last audio comes on the stream's own, maybe
// later: the stream is read until the server ends it (PipeWire 0.3.65 does, within a few
// milliseconds; 1.4 never does) or until the tail's time is up.
void SinkInputs::gone(std::uint32_t input) {
  const auto found = inputs_.find(input);
  if (found == inputs_.end()) return;
  // On a shared connection the input's last audio came before the word that it went.
  if (!found->second.stream || !ownConnections_) return drop(input);
  const pa_usec_t until = pa_rtclock_now() + setup_.tail;
  found->second.readUntil = until;
  events_.ending(input, until);
}

void SinkInputs::dropGone(pa_usec_t now) {
  std::vector<std::uint32_t> due;
  for (const auto& [index, input] : inputs_) {
    if (input.readUntil && now >= *input.readUntil) due.push_back(index);
  }
  for (const std::uint32_t input : due) drop(input);
}

// What the stream already holds was played before the input went or moved: handed on first.
void SinkInputs::drop(std::uint32_t input) {
  const auto found = inputs_.find(input);
  if (found == inputs_.end()) return;
  if (found->second.stream) found->second.stream->readAvailable();
  inputs_.erase(found);
  events_.quiet(input);
}

// A stream the server refused, killed or moved: the input is recorded again only once the
// server reports a change of it (moved back in, say), never in a loop of failures.
void SinkInputs::streamFailed(std::uint32_t input) {
  const auto found = inputs_.find(input);
  if (found == inputs_.end()) return;
  // Inside the stream's own failure report, which allows dropping it.
  inputs_.erase(found);
  events_.quiet(input);
}

bool SinkInputs::anyPlaying() const {
  return std::any_of(inputs_.begin(), inputs_.end(), [](const auto& entry) {
    const Input& input = entry.second;
    return input.stream && !input.readUntil && (!input.known || !input.corked);
  });
}

void SinkInputs::readAvailable() {
  for (auto& [index, input] : inputs_) {
    if (input.stream) input.stream->readAvailable();
  }
}
