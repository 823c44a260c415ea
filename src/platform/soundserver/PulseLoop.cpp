#include "platform/soundserver/PulseLoop.h"

#include <pulse/def.h>

#include <utility>

#include "platform/soundserver/LibpulseOnDemand.h"
#include "platform/soundserver/PulseError.h"

std::unique_ptr<PulseLoop> PulseLoop::start(NSErrorRef& error) {
  if (NSErrorRef failure = loadLibpulse()) {
    error = std::move(failure);
    return nullptr;
  }
  pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
  if (loop == nullptr) {
    error = pulseError(PA_ERR_INTERNAL);
    return nullptr;
  }
  auto owner = std::make_unique<PulseLoop>(loop);
  if (pa_threaded_mainloop_start(loop) < 0) {
    error = pulseError(PA_ERR_INTERNAL);
    return nullptr;
  }
  return owner;
}

PulseLoop::PulseLoop(pa_threaded_mainloop* loop) : loop_(loop) {
  pa_threaded_mainloop_set_name(loop_, "sysaudio-pulse");
  postedEvent_ = api()->defer_new(api(), &PulseLoop::runPosted, this);
  api()->defer_enable(postedEvent_, 0);
}

PulseLoop::~PulseLoop() {
  // Stopping joins the thread, which cannot be done from the thread itself; a loop dropped
  // there (only at process exit) is left to the exit.
  if (onLoopThread()) return;
  stop();
  api()->defer_free(postedEvent_);
  pa_threaded_mainloop_free(loop_);
}

void PulseLoop::stop() {
  if (std::exchange(stopped_, true)) return;
  pa_threaded_mainloop_stop(loop_);
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

PulseLoop::Lock::Lock(const PulseLoop& loop) : locked_(loop.onLoopThread() ? nullptr : loop.loop_) {
  if (locked_ != nullptr) pa_threaded_mainloop_lock(locked_);
}

PulseLoop::Lock::~Lock() {
  if (locked_ != nullptr) pa_threaded_mainloop_unlock(locked_);
}
