// One client connection to the user's sound server, driven by the loop thread. The library
// finds the server as it does for every client (environment, client.conf, X11 root window).
#pragma once

#include <pulse/context.h>

#include <functional>
#include <utility>

#include "platform/foundation/NSError.h"
#include "platform/soundserver/PulseLoop.h"

class PulseConnection {
 public:
  struct Events {
    std::function<void()> ready;            // at most once
    std::function<void(NSErrorRef)> ended;  // at most once: failed, refused or lost later
  };

  explicit PulseConnection(const PulseLoop& loop);
  // Disconnects without reporting. On the loop thread or with the lock held.
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  // Starts connecting; on the loop thread. A connection that cannot even start ends at once.
  void open(Events events);
  // Drops the events and disconnects; nothing is reported afterwards.
  void close();
  // Reports to `events` from now on, in place of those given to open(): a connection handed
  // over to a new owner.
  void reportTo(Events events) { events_ = std::move(events); }
  bool ready() const;

  pa_context* context() const { return context_; }

 private:
  static void onStateChange(pa_context* context, void* userdata);
  void end(NSErrorRef error);

  pa_context* context_ = nullptr;
  Events events_;
};
