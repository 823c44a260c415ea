// A repeating timer on the loop thread, on the monotonic clock (a wall-clock step must not
// stall or flood it); cancelled when dropped. The first tick comes one period after creation.
#pragma once

#include <pulse/context.h>
#include <pulse/timeval.h>

#include <functional>

#include "platform/soundserver/PulseLoop.h"

class PulseTicker {
 public:
  PulseTicker(const PulseLoop& loop, pa_context* context, pa_usec_t period,
              std::function<void()> tick);
  ~PulseTicker();
  PulseTicker(const PulseTicker&) = delete;
  PulseTicker& operator=(const PulseTicker&) = delete;

  // The next tick comes one new period from now (on the loop thread, from a tick or under
  // the loop's lock).
  void setPeriod(pa_usec_t period);

 private:
  static void onTick(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when,
                     void* userdata);

  pa_context* context_;
  pa_mainloop_api* api_;
  pa_usec_t period_;
  pa_time_event* event_ = nullptr;
  std::function<void()> tick_;
};

// A one-shot timer on the loop thread, on the monotonic clock, set and cleared as often as
// needed at no cost beyond the loop's own bookkeeping; cancelled when dropped.
class PulseAlarm {
 public:
  PulseAlarm(const PulseLoop& loop, pa_context* context, std::function<void()> ring);
  ~PulseAlarm();
  PulseAlarm(const PulseAlarm&) = delete;
  PulseAlarm& operator=(const PulseAlarm&) = delete;

  // Rings once at `when` (pa_rtclock_now's clock), instead of any time set before.
  void setAt(pa_usec_t when);
  void clear();

 private:
  static void onRing(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when,
                     void* userdata);

  pa_context* context_;
  pa_mainloop_api* api_;
  pa_time_event* event_ = nullptr;
  pa_usec_t setFor_ = PA_USEC_INVALID;
  std::function<void()> ring_;
};
