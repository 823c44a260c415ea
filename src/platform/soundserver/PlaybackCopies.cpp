#include "platform/soundserver/PlaybackCopies.h"

#include <algorithm>

bool PlaybackCopies::Owner::sameAs(const Owner& other) const {
  return (module != kNone && module == other.module) ||
         (!linkGroup.empty() && linkGroup == other.linkGroup);
}

bool PlaybackCopies::sinkSeen(std::uint32_t sink, const Owner& owner, std::uint32_t monitorSource) {
  const auto known = sinks_.find(sink);
  if (known != sinks_.end() && known->second.monitorSource == monitorSource &&
      known->second.owner.module == owner.module &&
      known->second.owner.linkGroup == owner.linkGroup) {
    return false;  // listed and announced both
  }
  sinks_[sink] = Sink{.owner = owner, .monitorSource = monitorSource};
  return true;
}

bool PlaybackCopies::sinkGone(std::uint32_t sink) {
  return sinks_.erase(sink) > 0;
}

bool PlaybackCopies::recordingSeen(std::uint32_t recording, const Owner& owner,
                                   std::uint32_t source, bool recordsASink) {
  const auto known = recordings_.find(recording);
  if (known != recordings_.end() && known->second.source == source &&
      known->second.recordsASink == recordsASink) {
    return false;
  }
  recordings_[recording] =
      Recording{.owner = owner, .source = source, .recordsASink = recordsASink};
  return true;
}

bool PlaybackCopies::recordingGone(std::uint32_t recording) {
  return recordings_.erase(recording) > 0;
}

bool PlaybackCopies::isCopy(const Input& input) const {
  if (input.client != kNone) return false;  // an application's own stream
  const bool rendersASink = std::any_of(sinks_.begin(), sinks_.end(), [&](const auto& sink) {
    return sink.second.owner.sameAs(input.owner);
  });
  if (rendersASink) return true;
  return std::any_of(recordings_.begin(), recordings_.end(), [&](const auto& recording) {
    return recording.second.owner.sameAs(input.owner) &&
           (recording.second.recordsASink || isMonitor(recording.second.source));
  });
}

std::optional<std::uint32_t> PlaybackCopies::monitorOf(std::uint32_t sink) const {
  const auto known = sinks_.find(sink);
  if (known == sinks_.end()) return std::nullopt;
  return known->second.monitorSource;
}

bool PlaybackCopies::isMonitor(std::uint32_t source) const {
  return source != kNone && std::any_of(sinks_.begin(), sinks_.end(), [&](const auto& sink) {
           return sink.second.monitorSource == source;
         });
}
