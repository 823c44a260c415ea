#include "platform/soundserver/PulseLoop.h"

#include <poll.h>
#include <pthread.h>
#include <pulse/def.h>

#include <csignal>
#include <system_error>
#include <utility>

#include "platform/soundserver/LibpulseOnDemand.h"
#include "platform/soundserver/PulseError.h"

namespace {

// Signals are the main thread's to take; this thread never writes standard output, and
// libpulse's own socket writes raise no SIGPIPE.
void keepSignalsForMainThread() {
  sigset_t signals;
  sigfillset(&signals);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

}  // namespace

std::unique_ptr<PulseLoop> PulseLoop::start(NSErrorRef& error) {
  if (NSErrorRef failure = loadLibpulse()) {
    error = std::move(failure);
    return nullptr;
  }
  pa_mainloop* loop = pa_mainloop_new();
  if (loop == nullptr) {
    error = pulseError(PA_ERR_INTERNAL);
    return nullptr;
  }
  auto owner = std::make_unique<PulseLoop>(loop);
  try {
    // The loop thread: waits on the server's sockets and the service's timers, and runs every
    // callback, mix and delivery of the service.
    owner->thread_ = std::thread([loop = owner.get()] { loop->serve(); });
  } catch (const std::system_error&) {
    error = pulseError(PA_ERR_INTERNAL);
    return nullptr;
  }
  return owner;
}

PulseLoop::PulseLoop(pa_mainloop* loop) : loop_(loop) {
  pa_mainloop_set_poll_func(loop_, &PulseLoop::pollUnlocked, this);
  postedEvent_ = api()->defer_new(api(), &PulseLoop::runPosted, this);
  api()->defer_enable(postedEvent_, 0);
}

PulseLoop::~PulseLoop() {
  stop();
  // Work posted last (streams and connections to free) runs before the loop it belongs to goes.
  std::vector<std::function<void()>> batch;
  batch.swap(posted_);
  for (auto& work : batch) work();
  api()->defer_free(postedEvent_);
  pa_mainloop_free(loop_);
}

void PulseLoop::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard guard(mutex_);
    pa_mainloop_quit(loop_, 0);
  }
  thread_.join();
}

void PulseLoop::serve() {
  keepSignalsForMainThread();
  pthread_setname_np(pthread_self(), "sysaudio-pulse");
  std::lock_guard guard(mutex_);
  while (pa_mainloop_iterate(loop_, 1, nullptr) >= 0) runTurnEnd();
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
