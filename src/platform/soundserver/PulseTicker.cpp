#include "platform/soundserver/PulseTicker.h"

#include <pulse/rtclock.h>

PulseTicker::PulseTicker(const PulseLoop& loop, pa_context* context, pa_usec_t period,
                         std::function<void()> tick)
    : context_(context), api_(loop.api()), period_(period), tick_(std::move(tick)) {
  if (context_ != nullptr) {
    event_ =
        pa_context_rttime_new(context_, pa_rtclock_now() + period_, &PulseTicker::onTick, this);
  }
}

void PulseTicker::setPeriod(pa_usec_t period) {
  if (period == period_) return;
  period_ = period;
  if (event_ != nullptr) pa_context_rttime_restart(context_, event_, pa_rtclock_now() + period_);
}

PulseTicker::~PulseTicker() {
  if (event_ != nullptr) api_->time_free(event_);
}

void PulseTicker::onTick(pa_mainloop_api* /*api*/, pa_time_event* event,
                         const struct timeval* /*when*/, void* userdata) {
  auto& self = *static_cast<PulseTicker*>(userdata);
  // Re-armed before the work, which may drop this ticker or change its period.
  pa_context_rttime_restart(self.context_, event, pa_rtclock_now() + self.period_);
  self.tick_();
}

PulseAlarm::PulseAlarm(const PulseLoop& loop, pa_context* context, std::function<void()> ring)
    : context_(context), api_(loop.api()), ring_(std::move(ring)) {
  if (context_ != nullptr) {
    event_ = pa_context_rttime_new(context_, PA_USEC_INVALID, &PulseAlarm::onRing, this);
  }
}

PulseAlarm::~PulseAlarm() {
  if (event_ != nullptr) api_->time_free(event_);
}

void PulseAlarm::setAt(pa_usec_t when) {
  if (event_ == nullptr || when == setFor_) return;
  setFor_ = when;
  pa_context_rttime_restart(context_, event_, when);
}

void PulseAlarm::clear() {
  setAt(PA_USEC_INVALID);
}

void PulseAlarm::onRing(pa_mainloop_api* /*api*/, pa_time_event* /*event*/,
                        const struct timeval* /*when*/, void* userdata) {
  auto& self = *static_cast<PulseAlarm*>(userdata);
  // One-shot: the loop keeps the event enabled for the time it was set to, so it is cleared.
  self.clear();
  self.ring_();
}
