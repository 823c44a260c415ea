// libpulse's main loop, run by a thread of its own: every callback of the service runs there,
// under the loop's lock, which every other thread takes before touching a libpulse object.
//
// The thread that waits on the server also runs the sample queue's blocks when that queue is
// idle (DispatchQueue::Lending), after each turn of the loop and outside its lock, so a
// fragment costs one wake-up instead of two. A block can stall (a reader that stops reading
// standard output), and the server must still be read meanwhile: before running lent blocks
// the thread makes sure a one-shot timer is set, and a second thread, asleep on that timer and
// woken by nothing else, takes over the loop if the blocks outlast it. The stalled thread keeps
// running the queue's blocks and, once they are done, becomes the one asleep on the timer.
//
// Arming and disarming a timer around every run of blocks would cost two system calls per
// fragment; instead a run only notes when it began, and arms the timer if it is not armed
// already. When the timer fires, the thread asleep on it looks: a run that began long enough
// ago is taken over, a later one gets the timer again for its own deadline, and with no run
// under way the timer stays unarmed until the next one.
#pragma once

#include <pulse/mainloop.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/NSError.h"

class PulseLoop {
 public:
  // A running loop, or nothing with `error` set when the library cannot make or start one.
  static std::unique_ptr<PulseLoop> start(NSErrorRef& error);

  PulseLoop(pa_mainloop* loop, int handoverTimer);
  ~PulseLoop();
  PulseLoop(const PulseLoop&) = delete;
  PulseLoop& operator=(const PulseLoop&) = delete;

  // Joins the loop's threads; callbacks stop, libpulse objects stay valid to free. Not on the
  // loop thread, which cannot join itself.
  void stop();

  pa_mainloop_api* api() const { return pa_mainloop_get_api(loop_); }
  // True inside the loop's callbacks (which hold the lock), on whichever thread runs them.
  bool onLoopThread() const;

  // Runs `work` on the loop thread after the current callback returns, in posting order.
  // Callers hold the lock (as every callback does).
  void post(std::function<void()> work);
  // Runs `work` on the loop thread once the callbacks of the current turn are done, before the
  // loop waits again: for gathering what several callbacks of one turn handed over. Unlike
  // post(), it costs the loop no extra turn. Elsewhere than in a callback, it posts.
  void atTurnEnd(std::function<void()> work);

  // Holds the loop's lock. On the loop thread the lock is already held (callbacks run under
  // it), so there it does nothing.
  class Lock {
   public:
    explicit Lock(const PulseLoop& loop);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    const PulseLoop* locked_;
  };

 private:
  using Role = int;  // which of the two threads: 0 or 1
  using Guard = std::unique_lock<std::recursive_mutex>;

  void launch();
  void runTurnEnd();
  void serve(Role role);
  void runLentBlocks(Guard& guard, Role role, DispatchQueue::Lending& lending);
  void standBy(Guard& guard, Role role);
  bool onOwnThread() const;
  void armHandover(std::int64_t atNanos) const;
  void wakeStandby() const;
  static int pollUnlocked(struct pollfd* fds, unsigned long count, int timeout, void* userdata);
  static void runPosted(pa_mainloop_api* api, pa_defer_event* event, void* userdata);

  pa_mainloop* loop_;
  int handoverTimer_;  // timerfd: fires when lent blocks have held the loop too long
  mutable std::recursive_mutex mutex_;
  // Guarded by mutex_:
  Role leader_ = 0;               // the thread that runs the loop
  bool leaderInBlocks_ = false;   // the leader is running lent blocks, outside the lock
  std::int64_t blocksSince_ = 0;  // when that run began, on CLOCK_MONOTONIC
  bool timerArmed_ = false;
  bool quitting_ = false;
  std::vector<std::function<void()>> posted_;
  std::vector<std::function<void()>> turnEnd_;

  pa_defer_event* postedEvent_ = nullptr;
  bool stopped_ = false;
  std::array<std::thread, 2> threads_;
};
