#include "platform/soundserver/LibpulseOnDemand.h"

#include <dlfcn.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/proplist.h>
#include <pulse/rtclock.h>
#include <pulse/stream.h>
#include <pulse/subscribe.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/soundserver/PulseError.h"

namespace {

constexpr const char* kLibrary = "libpulse.so.0";

// One function the program calls, looked up with all the others as soon as the library is
// loaded: a library that lacks one is then a failure to start, reported like a missing
// library, instead of the end of the process in whatever call first needs it.
class LibpulseFunction {
 public:
  explicit LibpulseFunction(const char* name) : name_(name) { all().push_back(this); }

  // Every function defined below, registered before main runs.
  static std::vector<LibpulseFunction*>& all() {
    static std::vector<LibpulseFunction*> functions;
    return functions;
  }

  bool lookUp(void* library) {
    address_ = dlsym(library, name_);
    return address_ != nullptr;
  }
  void* address() const;

 private:
  const char* name_;
  void* address_ = nullptr;
};

// Called only by a caller that did not ask loadLibpulse() first, or did not heed its answer:
// as the program loader would have refused to run, say what is missing, and stop.
[[noreturn]] void missing(const char* what) {
  std::fprintf(stderr, "sysaudio: %s\n", what);
  _exit(127);
}

void* LibpulseFunction::address() const {
  if (NSErrorRef failure = loadLibpulse()) missing(failure->localizedDescription().c_str());
  return address_;
}

NSErrorRef loadFailure(const char* reason) {
  return NSError::errorWithDomain(kPulseErrorDomain, -1, reason != nullptr ? reason : kLibrary);
}

}  // namespace

NSErrorRef loadLibpulse() {
  static std::once_flag once;
  static NSErrorRef failure;
  std::call_once(once, [] {
    void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      failure = loadFailure(dlerror());
      return;
    }
    for (LibpulseFunction* function : LibpulseFunction::all()) {
      if (!function->lookUp(library)) {
        // Left loaded: unloading a library that brought D-Bus and X11 along is not safe.
        failure = loadFailure(dlerror());
        return;
      }
    }
  });
  return failure;
}

// Defines `name` with the library's own signature (the compiler holds it to the declaration
// in the header) and forwards to the loaded function.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define FORWARD(result, name, parameters, arguments)                         \
  namespace {                                                                \
  LibpulseFunction name##_in_library(#name);                                 \
  }                                                                          \
  extern "C" result name parameters {                                        \
    static const auto function =                                             \
        reinterpret_cast<result(*) parameters>(name##_in_library.address()); \
    return function arguments;                                               \
  }
// NOLINTEND(bugprone-macro-parentheses)

// Main loop
FORWARD(pa_mainloop*, pa_mainloop_new, (void), ())
FORWARD(void, pa_mainloop_free, (pa_mainloop * m), (m))
FORWARD(int, pa_mainloop_iterate, (pa_mainloop * m, int block, int* retval), (m, block, retval))
FORWARD(void, pa_mainloop_quit, (pa_mainloop * m, int retval), (m, retval))
FORWARD(pa_mainloop_api*, pa_mainloop_get_api, (pa_mainloop * m), (m))
FORWARD(void, pa_mainloop_set_poll_func, (pa_mainloop * m, pa_poll_func poll_func, void* userdata),
        (m, poll_func, userdata))

// Context
FORWARD(pa_context*, pa_context_new_with_proplist,
        (pa_mainloop_api * api, const char* name, const pa_proplist* proplist),
        (api, name, proplist))
FORWARD(int, pa_context_connect,
        (pa_context * c, const char* server, pa_context_flags_t flags, const pa_spawn_api* api),
        (c, server, flags, api))
FORWARD(void, pa_context_disconnect, (pa_context * c), (c))
FORWARD(void, pa_context_unref, (pa_context * c), (c))
FORWARD(int, pa_context_errno, (const pa_context* c), (c))
FORWARD(pa_context_state_t, pa_context_get_state, (const pa_context* c), (c))
FORWARD(void, pa_context_set_state_callback,
        (pa_context * c, pa_context_notify_cb_t cb, void* userdata), (c, cb, userdata))
FORWARD(void, pa_context_set_subscribe_callback,
        (pa_context * c, pa_context_subscribe_cb_t cb, void* userdata), (c, cb, userdata))
FORWARD(pa_operation*, pa_context_subscribe,
        (pa_context * c, pa_subscription_mask_t m, pa_context_success_cb_t cb, void* userdata),
        (c, m, cb, userdata))

// Introspection
FORWARD(pa_operation*, pa_context_get_server_info,
        (pa_context * c, pa_server_info_cb_t cb, void* userdata), (c, cb, userdata))
FORWARD(pa_operation*, pa_context_get_sink_info_list,
        (pa_context * c, pa_sink_info_cb_t cb, void* userdata), (c, cb, userdata))
FORWARD(pa_operation*, pa_context_get_sink_info_by_name,
        (pa_context * c, const char* name, pa_sink_info_cb_t cb, void* userdata),
        (c, name, cb, userdata))
FORWARD(pa_operation*, pa_context_get_sink_input_info,
        (pa_context * c, uint32_t idx, pa_sink_input_info_cb_t cb, void* userdata),
        (c, idx, cb, userdata))
FORWARD(pa_operation*, pa_context_get_sink_input_info_list,
        (pa_context * c, pa_sink_input_info_cb_t cb, void* userdata), (c, cb, userdata))
FORWARD(pa_operation*, pa_context_get_sink_info_by_index,
        (pa_context * c, uint32_t idx, pa_sink_info_cb_t cb, void* userdata),
        (c, idx, cb, userdata))
FORWARD(pa_operation*, pa_context_get_source_output_info_list,
        (pa_context * c, pa_source_output_info_cb_t cb, void* userdata), (c, cb, userdata))
FORWARD(pa_operation*, pa_context_get_source_output_info,
        (pa_context * c, uint32_t idx, pa_source_output_info_cb_t cb, void* userdata),
        (c, idx, cb, userdata))

// Operations
FORWARD(void, pa_operation_cancel, (pa_operation * o), (o))
FORWARD(void, pa_operation_unref, (pa_operation * o), (o))
FORWARD(pa_operation_state_t, pa_operation_get_state, (const pa_operation* o), (o))

// Streams
FORWARD(pa_stream*, pa_stream_new,
        (pa_context * c, const char* name, const pa_sample_spec* ss, const pa_channel_map* map),
        (c, name, ss, map))
FORWARD(int, pa_stream_connect_record,
        (pa_stream * s, const char* dev, const pa_buffer_attr* attr, pa_stream_flags_t flags),
        (s, dev, attr, flags))
FORWARD(int, pa_stream_disconnect, (pa_stream * s), (s))
FORWARD(void, pa_stream_unref, (pa_stream * s), (s))
FORWARD(pa_stream_state_t, pa_stream_get_state, (const pa_stream* p), (p))
FORWARD(uint32_t, pa_stream_get_index, (const pa_stream* s), (s))
FORWARD(int, pa_stream_set_monitor_stream, (pa_stream * s, uint32_t sink_input_idx),
        (s, sink_input_idx))
FORWARD(void, pa_stream_set_moved_callback,
        (pa_stream * p, pa_stream_notify_cb_t cb, void* userdata), (p, cb, userdata))
FORWARD(void, pa_stream_set_state_callback,
        (pa_stream * s, pa_stream_notify_cb_t cb, void* userdata), (s, cb, userdata))
FORWARD(void, pa_stream_set_read_callback,
        (pa_stream * p, pa_stream_request_cb_t cb, void* userdata), (p, cb, userdata))
FORWARD(size_t, pa_stream_readable_size, (const pa_stream* p), (p))
FORWARD(int, pa_stream_peek, (pa_stream * p, const void** data, size_t* nbytes), (p, data, nbytes))
FORWARD(int, pa_stream_drop, (pa_stream * p), (p))

// Property lists, samples, time, errors
FORWARD(pa_proplist*, pa_proplist_new, (void), ())
FORWARD(void, pa_proplist_free, (pa_proplist * p), (p))
FORWARD(const char*, pa_proplist_gets, (const pa_proplist* p, const char* key), (p, key))
FORWARD(int, pa_proplist_sets, (pa_proplist * p, const char* key, const char* value),
        (p, key, value))
FORWARD(int, pa_sample_spec_valid, (const pa_sample_spec* spec), (spec))
FORWARD(size_t, pa_frame_size, (const pa_sample_spec* spec), (spec))
FORWARD(size_t, pa_usec_to_bytes, (pa_usec_t t, const pa_sample_spec* spec), (t, spec))
FORWARD(pa_usec_t, pa_rtclock_now, (void), ())
FORWARD(const char*, pa_strerror, (int error), (error))
