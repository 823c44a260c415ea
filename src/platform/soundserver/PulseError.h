// Errors from the sound server as NSErrors: the library's error code and its own text.
#pragma once

#include <pulse/context.h>

#include "platform/foundation/NSError.h"

inline constexpr const char* kPulseErrorDomain = "PulseAudio";

// An error with libpulse's `code` (a PA_ERR_* value) and pa_strerror's text for it.
NSErrorRef pulseError(int code, NSError::UserInfo userInfo = {});
// The context's last error; "Unknown error code" when the library recorded none.
NSErrorRef contextError(pa_context* context);
