// Requests made to the server whose answers go to an object that may be dropped before they
// come: dropping the set cancels them, so no answer reaches a dropped owner.
#pragma once

#include <pulse/operation.h>

#include <algorithm>
#include <vector>

class PulseRequests {
 public:
  PulseRequests() = default;
  ~PulseRequests() { cancelAll(); }
  PulseRequests(const PulseRequests&) = delete;
  PulseRequests& operator=(const PulseRequests&) = delete;

  // Keeps `asked` until answered; false when the library did not even send it (null).
  bool add(pa_operation* asked) {
    if (asked == nullptr) return false;
    // Answered ones are let go here, so that the set stays as small as the requests pending.
    std::erase_if(pending_, [](pa_operation* request) {
      if (pa_operation_get_state(request) == PA_OPERATION_RUNNING) return false;
      pa_operation_unref(request);
      return true;
    });
    pending_.push_back(asked);
    return true;
  }

  void cancelAll() {
    for (pa_operation* request : pending_) {
      if (pa_operation_get_state(request) == PA_OPERATION_RUNNING) pa_operation_cancel(request);
      pa_operation_unref(request);
    }
    pending_.clear();
  }

 private:
  std::vector<pa_operation*> pending_;
};
