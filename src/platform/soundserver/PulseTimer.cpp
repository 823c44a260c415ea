#include "platform/soundserver/PulseTimer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>

namespace {

constexpr std::uint64_t kMicrosPerSecond = 1'000'000;

timespec toTimespec(std::uint64_t micros) {
  return timespec{.tv_sec = static_cast<time_t>(micros / kMicrosPerSecond),
                  .tv_nsec = static_cast<long>(micros % kMicrosPerSecond) * 1000};
}

}  // namespace

// A timerfd the loop polls with the server's sockets: the loop's own time events would need a
// connection to read this clock, and a recording outlives its connections.
PulseTimer::PulseTimer(const PulseLoop& loop, std::function<void()> ring)
    : api_(loop.api()),
      fd_(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)),
      ring_(std::move(ring)) {
  if (fd_ >= 0) event_ = api_->io_new(api_, fd_, PA_IO_EVENT_INPUT, &PulseTimer::onExpiry, this);
}

PulseTimer::~PulseTimer() {
  if (event_ != nullptr) api_->io_free(event_);
  if (fd_ >= 0) close(fd_);
}

void PulseTimer::setAt(std::uint64_t when) {
  if (ringsAt_ == when) return;
  ringsAt_ = when;
  period_ = 0;
  // Zero would disarm the timer: a time long past rings at once as well.
  arm(when > 0 ? when : 1, 0, true);
}

void PulseTimer::setEvery(std::uint64_t period) {
  if (period == period_ || period == 0) return;
  ringsAt_.reset();
  period_ = period;
  arm(period, period, false);
}

void PulseTimer::clear() {
  if (!ringsAt_ && period_ == 0) return;
  ringsAt_.reset();
  period_ = 0;
  arm(0, 0, false);
}

void PulseTimer::arm(std::uint64_t first, std::uint64_t period, bool absolute) {
  const itimerspec setting{.it_interval = toTimespec(period), .it_value = toTimespec(first)};
  timerfd_settime(fd_, absolute ? TFD_TIMER_ABSTIME : 0, &setting, nullptr);
}

void PulseTimer::onExpiry(pa_mainloop_api* /*api*/, pa_io_event* /*event*/, int fd,
                          pa_io_event_flags_t /*flags*/, void* userdata) {
  auto& self = *static_cast<PulseTimer*>(userdata);
  std::uint64_t expirations = 0;
  // Nothing to read when the timer was set again since it rang: that ring no longer counts.
  if (read(fd, &expirations, sizeof expirations) != sizeof expirations) return;
  if (self.period_ == 0) self.ringsAt_.reset();
  // A copy: the work may drop this timer.
  const std::function<void()> ring = self.ring_;
  ring();
}
