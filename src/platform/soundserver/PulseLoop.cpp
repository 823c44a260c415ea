#include "platform/soundserver/PulseLoop.h"

#include <poll.h>
#include <pthread.h>
#include <pulse/def.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <ctime>
#include <system_error>
#include <utility>

#include "platform/soundserver/LibpulseOnDemand.h"
#include "platform/soundserver/PulseError.h"

namespace {

// How long lent blocks may hold the loop before the other thread reads the server instead. A
// block normally takes well under a millisecond; the server keeps two seconds for a late
// reader, so this only needs to be far below that. It is also how often, at most, the thread
// standing by wakes while blocks run.
constexpr std::int64_t kHandoverAfterNanos = 200'000'000;
constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

std::int64_t monotonicNanos() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * kNanosPerSecond + now.tv_nsec;
}

thread_local const PulseLoop* loopDispatchedHere = nullptr;

// Signals go to the program's main thread, except SIGPIPE: a write to a standard output whose
// reader is gone (run here as a lent block) ends the process as it would on any thread.
// libpulse's own socket writes do not raise it.
void keepSignalsForMainThread() {
  sigset_t signals;
  sigfillset(&signals);
  sigdelset(&signals, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

}  // namespace

std::unique_ptr<PulseLoop> PulseLoop::start(NSErrorRef& error) {
  if (NSErrorRef failure = loadLibpulse()) {
    error = std::move(failure);
    return nullptr;
  }
  pa_mainloop* loop = pa_mainloop_new();
  const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (loop == nullptr || timer < 0) {
    if (loop != nullptr) pa_mainloop_free(loop);
    if (timer >= 0) close(timer);
    error = pulseError(PA_ERR_INTERNAL);
    return nullptr;
  }
  auto owner = std::make_unique<PulseLoop>(loop, timer);
  try {
    owner->launch();
  } catch (const std::system_error&) {
    error = pulseError(PA_ERR_INTERNAL);
    return nullptr;
  }
  return owner;
}

PulseLoop::PulseLoop(pa_mainloop* loop, int handoverTimer)
    : loop_(loop), handoverTimer_(handoverTimer) {
  pa_mainloop_set_poll_func(loop_, &PulseLoop::pollUnlocked, this);
  postedEvent_ = api()->defer_new(api(), &PulseLoop::runPosted, this);
  api()->defer_enable(postedEvent_, 0);
}

PulseLoop::~PulseLoop() {
  // Stopping joins the threads, which cannot be done from one of them; a loop dropped there
  // (only at process exit) is left to the exit.
  if (onOwnThread()) return;
  stop();
  api()->defer_free(postedEvent_);
  pa_mainloop_free(loop_);
  close(handoverTimer_);
}

void PulseLoop::launch() {
  for (Role role = 0; role < static_cast<Role>(threads_.size()); ++role) {
    threads_[role] = std::thread([this, role] { serve(role); });
  }
}

void PulseLoop::stop() {
  if (std::exchange(stopped_, true)) return;
  {
    Guard guard(mutex_);
    quitting_ = true;
    pa_mainloop_quit(loop_, 0);
  }
  wakeStandby();
  for (auto& thread : threads_) {
    if (!thread.joinable()) continue;
    // Only an exit from a lent block gets here on a loop thread; it is left to the exit.
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  }
}

bool PulseLoop::onLoopThread() const {
  return loopDispatchedHere == this;
}

bool PulseLoop::onOwnThread() const {
  for (const auto& thread : threads_) {
    if (thread.get_id() == std::this_thread::get_id()) return true;
  }
  return false;
}

void PulseLoop::serve(Role role) {
  keepSignalsForMainThread();
  pthread_setname_np(pthread_self(), "sysaudio-pulse");
  DispatchQueue::Lending lending;
  Guard guard(mutex_);
  while (!quitting_) {
    if (leader_ != role) {
      standBy(guard, role);
      continue;
    }
    loopDispatchedHere = this;
    const int result = pa_mainloop_iterate(loop_, 1, nullptr);
    runTurnEnd();
    loopDispatchedHere = nullptr;
    if (result < 0) break;
    if (lending.owesWork()) runLentBlocks(guard, role, lending);
  }
  quitting_ = true;
  guard.unlock();
  wakeStandby();  // the other thread, if it stands by, ends too
}

void PulseLoop::runLentBlocks(Guard& guard, Role role, DispatchQueue::Lending& lending) {
  leaderInBlocks_ = true;
  blocksSince_ = monotonicNanos();
  // Once stopping, the timer is left alone: it is what wakes the other thread to end, and
  // setting it again would swallow that.
  if (!timerArmed_ && !quitting_) {
    timerArmed_ = true;
    armHandover(blocksSince_ + kHandoverAfterNanos);
  }
  guard.unlock();
  lending.runLentBlocks();
  guard.lock();
  // Unless the other thread took the loop over meanwhile.
  if (leader_ == role) leaderInBlocks_ = false;
}

void PulseLoop::standBy(Guard& guard, Role role) {
  guard.unlock();
  pollfd timer{.fd = handoverTimer_, .events = POLLIN, .revents = 0};
  while (poll(&timer, 1, -1) < 0) {
  }
  std::uint64_t expirations = 0;
  // Nothing to read when the timer was set again after it fired.
  (void)!read(handoverTimer_, &expirations, sizeof expirations);
  guard.lock();
  timerArmed_ = false;
  if (!leaderInBlocks_ || quitting_) return;
  const std::int64_t deadline = blocksSince_ + kHandoverAfterNanos;
  if (monotonicNanos() >= deadline) {
    leaderInBlocks_ = false;
    leader_ = role;
  } else {
    // The run that armed the timer ended; a later one is under way.
    timerArmed_ = true;
    armHandover(deadline);
  }
}

void PulseLoop::armHandover(std::int64_t atNanos) const {
  itimerspec when{};
  when.it_value.tv_sec = static_cast<time_t>(atNanos / kNanosPerSecond);
  when.it_value.tv_nsec = static_cast<long>(atNanos % kNanosPerSecond);
  timerfd_settime(handoverTimer_, TFD_TIMER_ABSTIME, &when, nullptr);
}

// Fires the timer at once, for a thread that must look at `quitting_`.
void PulseLoop::wakeStandby() const {
  armHandover(1);
}

// As libpulse's threaded loop does: other threads take the lock while the loop waits.
int PulseLoop::pollUnlocked(struct pollfd* fds, unsigned long count, int timeout, void* userdata) {
  auto& self = *static_cast<PulseLoop*>(userdata);
  self.mutex_.unlock();
  const int result = poll(fds, count, timeout);
  self.mutex_.lock();
  return result;
}

void PulseLoop::post(std::function<void()> work) {
  posted_.push_back(std::move(work));
  api()->defer_enable(postedEvent_, 1);
}

void PulseLoop::atTurnEnd(std::function<void()> work) {
  if (!onLoopThread()) return post(std::move(work));
  turnEnd_.push_back(std::move(work));
}

void PulseLoop::runTurnEnd() {
  // Work may ask for more; it runs before the loop waits, not after.
  while (!turnEnd_.empty()) {
    std::vector<std::function<void()>> batch;
    batch.swap(turnEnd_);
    for (auto& work : batch) work();
  }
}

void PulseLoop::runPosted(pa_mainloop_api* api, pa_defer_event* event, void* userdata) {
  auto& self = *static_cast<PulseLoop*>(userdata);
  api->defer_enable(event, 0);
  // Work may post more work; that runs on the next turn of the loop.
  std::vector<std::function<void()>> batch;
  batch.swap(self.posted_);
  for (auto& work : batch) work();
}

PulseLoop::Lock::Lock(const PulseLoop& loop) : locked_(loop.onLoopThread() ? nullptr : &loop) {
  if (locked_ != nullptr) locked_->mutex_.lock();
}

PulseLoop::Lock::~Lock() {
  if (locked_ != nullptr) locked_->mutex_.unlock();
}
