// libpulse's main loop, run by one thread of its own (the loop thread): every callback, timer
// and piece of work of the service runs there, under the loop's lock, which any other thread
// takes before touching a libpulse object. The lock is let go only while the loop waits.
#pragma once

#include <pulse/mainloop.h>

#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/foundation/NSError.h"

class PulseLoop {
 public:
  // A running loop, or nothing with `error` set when the library cannot make or start one.
  static std::unique_ptr<PulseLoop> start(NSErrorRef& error);

  explicit PulseLoop(pa_mainloop* loop);
  // Stops the loop if it runs; then frees it.
  ~PulseLoop();
  PulseLoop(const PulseLoop&) = delete;
  PulseLoop& operator=(const PulseLoop&) = delete;

  // Joins the loop thread; callbacks stop, libpulse objects stay valid to free. Not on the
  // loop thread.
  void stop();

  pa_mainloop_api* api() const { return pa_mainloop_get_api(loop_); }
  // The loop's lock, for any thread but the loop thread, which holds it already.
  std::unique_lock<std::mutex> lock() const { return std::unique_lock(mutex_); }

  // Runs `work` on the loop thread after the current callback returns, in posting order.
  // Callers hold the lock (as every callback does).
  void post(std::function<void()> work);
  // Runs `work` once the callbacks of the current turn are done, before the loop waits again:
  // for gathering what several callbacks of one turn handed over. Unlike post(), it costs the
  // loop no extra turn. On the loop thread only.
  void atTurnEnd(std::function<void()> work) { turnEnd_.push_back(std::move(work)); }

 private:
  void serve();
  void runTurnEnd();
  static int pollUnlocked(struct pollfd* fds, unsigned long count, int timeout, void* userdata);
  static void runPosted(pa_mainloop_api* api, pa_defer_event* event, void* userdata);

  pa_mainloop* loop_;
  mutable std::mutex mutex_;
  // Guarded by mutex_:
  std::vector<std::function<void()>> posted_;
  std::vector<std::function<void()>> turnEnd_;
  pa_defer_event* postedEvent_ = nullptr;
  std::thread thread_;
};
