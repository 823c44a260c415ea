// A time value: a count over a time scale.
#pragma once

#include <cstdint>

using CMTimeValue = std::int64_t;
using CMTimeScale = std::int32_t;
using CMTimeEpoch = std::int64_t;
using CMTimeFlags = std::uint32_t;

inline constexpr CMTimeFlags kCMTimeFlags_Valid = 1U << 0;

struct CMTime {
  CMTimeValue value;
  CMTimeScale timescale;
  CMTimeFlags flags;
  CMTimeEpoch epoch;
};

constexpr CMTime CMTimeMake(CMTimeValue value, CMTimeScale timescale) {
  return CMTime{value, timescale, kCMTimeFlags_Valid, 0};
}

constexpr bool CMTimeIsValid(const CMTime& time) {
  return (time.flags & kCMTimeFlags_Valid) != 0;
}

constexpr double CMTimeGetSeconds(const CMTime& time) {
  return time.timescale == 0 ? 0.0 : static_cast<double>(time.value) / time.timescale;
}
