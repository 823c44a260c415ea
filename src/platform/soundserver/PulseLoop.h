// libpulse's threaded main loop: one thread that runs every callback of the service, and the
// lock that every other thread takes before touching a libpulse object.
#pragma once

#include <pulse/thread-mainloop.h>

#include <functional>
#include <memory>
#include <vector>

#include "platform/foundation/NSError.h"

class PulseLoop {
 public:
  // A running loop, or nothing with `error` set when the library cannot make or start one.
  static std::unique_ptr<PulseLoop> start(NSErrorRef& error);

  explicit PulseLoop(pa_threaded_mainloop* loop);
  ~PulseLoop();
  PulseLoop(const PulseLoop&) = delete;
  PulseLoop& operator=(const PulseLoop&) = delete;

  // Joins the loop thread; callbacks stop, libpulse objects stay valid to free. Not on the loop
  // thread, which cannot join itself.
  void stop();

  pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(loop_); }
  bool onLoopThread() const { return pa_threaded_mainloop_in_thread(loop_) != 0; }

  // Runs `work` on the loop thread after the current callback returns, in posting order.
  // Callers hold the lock (as every callback does).
  void post(std::function<void()> work);

  // Holds the loop's lock. On the loop thread the lock is already held (callbacks run under
  // it) and libpulse forbids taking it again, so there it does nothing.
  class Lock {
   public:
    explicit Lock(const PulseLoop& loop);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* locked_;
  };

 private:
  static void runPosted(pa_mainloop_api* api, pa_defer_event* event, void* userdata);

  pa_threaded_mainloop* loop_;
  pa_defer_event* postedEvent_ = nullptr;
  bool stopped_ = false;
  std::vector<std::function<void()>> posted_;
};
