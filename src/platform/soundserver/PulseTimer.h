// The loop's timer, on the monotonic clock that pa_rtclock_now() reads (a step of the wall
// clock neither stalls nor floods it): set to ring once at a time, or every period, moved or
// cleared as often as needed; cancelled when dropped. It rings on the loop thread.
#pragma once

#include <pulse/mainloop-api.h>

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/soundserver/PulseLoop.h"

class PulseTimer {
 public:
  PulseTimer(const PulseLoop& loop, std::function<void()> ring);
  ~PulseTimer();
  PulseTimer(const PulseTimer&) = delete;
  PulseTimer& operator=(const PulseTimer&) = delete;

  // Rings once at `when` (microseconds of pa_rtclock_now()), instead of anything set before.
  void setAt(std::uint64_t when);
  // Rings every `period` from now on, the first one period from now; unchanged when it rings
  // at that period already.
  void setEvery(std::uint64_t period);
  void clear();
  // When a one-shot ring is due; none while cleared or periodic.
  std::optional<std::uint64_t> ringsAt() const { return ringsAt_; }

 private:
  static void onExpiry(pa_mainloop_api* api, pa_io_event* event, int fd, pa_io_event_flags_t flags,
                       void* userdata);
  void arm(std::uint64_t first, std::uint64_t period, bool absolute);

  pa_mainloop_api* api_;
  int fd_;
  pa_io_event* event_ = nullptr;
  std::optional<std::uint64_t> ringsAt_;
  std::uint64_t period_ = 0;
  std::function<void()> ring_;
};
