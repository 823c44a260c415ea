#include "platform/soundserver/PulseLoop.h"

#include <poll.h>
#include <pthread.h>
#include <pulse/def.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <system_error>
#include <utility>

#include "platform/soundserver/LibpulseOnDemand.h"
#include "platform/soundserver/PulseError.h"

namespace {

// How long lent blocks may hold the loop before the other thread reads the server instead. A
// block normally takes well under a millisecond; the server keeps two seconds for a late
// reader, so this only needs to be far below that.
constexpr long kHandoverAfterNanos = 50'000'000;

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
  armHandover(1);  // wakes the thread standing by
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
    loopDispatchedHere = nullptr;
    if (result < 0) break;
    if (lending.owesWork()) runLentBlocks(guard, role, lending);
  }
  quitting_ = true;
  guard.unlock();
  armHandover(1);  // the other thread, if it stands by, ends too
}

void PulseLoop::runLentBlocks(Guard& guard, Role role, DispatchQueue::Lending& lending) {
  leaderInBlocks_ = true;
  armHandover(kHandoverAfterNanos);
  guard.unlock();
  lending.runLentBlocks();
  guard.lock();
  // Unless the other thread took the loop over meanwhile, the timer is still armed. Once
  // stopping, it stays armed: it is what wakes the other thread to end.
  if (leader_ == role && !quitting_) {
    leaderInBlocks_ = false;
    armHandover(0);
  }
}

void PulseLoop::standBy(Guard& guard, Role role) {
  guard.unlock();
  pollfd timer{.fd = handoverTimer_, .events = POLLIN, .revents = 0};
  while (poll(&timer, 1, -1) < 0) {
  }
  std::uint64_t expirations = 0;
  // Nothing to read when the timer was disarmed after it fired.
  (void)!read(handoverTimer_, &expirations, sizeof expirations);
  guard.lock();
  // The leader may have finished its blocks between the timer firing and this.
  if (leaderInBlocks_) {
    leaderInBlocks_ = false;
    leader_ = role;
  }
}

// 0 disarms.
void PulseLoop::armHandover(long nanoseconds) const {
  itimerspec when{};
  when.it_value.tv_nsec = nanoseconds;
  timerfd_settime(handoverTimer_, 0, &when, nullptr);
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
