#include "platform/soundserver/ServerRoutes.h"

#include <pulse/proplist.h>

#include <string_view>
#include <utility>

ServerRoutes::ServerRoutes(pa_context* context, Events events)
    : context_(context), events_(std::move(events)) {}

void ServerRoutes::begin() {
  ask(pa_context_get_sink_info_list(context_, &ServerRoutes::onSinkInfo, this));
  ask(pa_context_get_source_output_info_list(context_, &ServerRoutes::onRecordingInfo, this));
}

void ServerRoutes::onEvent(pa_subscription_event_type_t facility, pa_subscription_event_type_t kind,
                           std::uint32_t index) {
  const bool sink = facility == PA_SUBSCRIPTION_EVENT_SINK;
  if (!sink && facility != PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT) return;
  if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
    return changedIf(sink ? copies_.sinkGone(index) : copies_.recordingGone(index));
  }
  // A sink's owner and monitor are fixed when it is made, and its changes (volume, state, with
  // every stream that starts or stops) say nothing here; a module's recording may be moved to
  // another source.
  if (sink) {
    if (kind != PA_SUBSCRIPTION_EVENT_NEW) return;
    return ask(pa_context_get_sink_info_by_index(context_, index, &onSinkInfo, this));
  }
  ask(pa_context_get_source_output_info(context_, index, &onRecordingInfo, this));
}

PlaybackCopies::Owner ServerRoutes::ownerOf(std::uint32_t module, const pa_proplist* properties) {
  const char* group =
      properties != nullptr ? pa_proplist_gets(properties, "node.link-group") : nullptr;
  return {.module = module, .linkGroup = group != nullptr ? group : ""};
}

void ServerRoutes::onSinkInfo(pa_context* /*context*/, const pa_sink_info* info, int eol,
                              void* userdata) {
  auto& self = *static_cast<ServerRoutes*>(userdata);
  // A sink asked about that is gone already: its removal comes as an event.
  if (eol != 0 || info == nullptr) return;
  self.changedIf(self.copies_.sinkSeen(info->index, ownerOf(info->owner_module, info->proplist),
                                       info->monitor_source));
}

void ServerRoutes::onRecordingInfo(pa_context* /*context*/, const pa_source_output_info* info,
                                   int eol, void* userdata) {
  auto& self = *static_cast<ServerRoutes*>(userdata);
  if (eol != 0 || info == nullptr || info->client != PA_INVALID_INDEX) return;
  const char* capturesSink =
      info->proplist != nullptr ? pa_proplist_gets(info->proplist, "stream.capture.sink") : nullptr;
  self.changedIf(self.copies_.recordingSeen(
      info->index, ownerOf(info->owner_module, info->proplist), info->source,
      capturesSink != nullptr && std::string_view(capturesSink) == "true"));
}

void ServerRoutes::ask(pa_operation* asked) {
  if (!asked_.add(asked)) events_.requestFailed();
}

void ServerRoutes::changedIf(bool changed) {
  if (changed) events_.changed();
}
