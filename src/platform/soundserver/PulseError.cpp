#include "platform/soundserver/PulseError.h"

#include <pulse/error.h>

NSErrorRef pulseError(int code, NSError::UserInfo userInfo) {
  const char* text = pa_strerror(code);
  return NSError::errorWithDomain(kPulseErrorDomain, code, text != nullptr ? text : "",
                                  std::move(userInfo));
}

NSErrorRef contextError(pa_context* context) {
  const int code = context != nullptr ? pa_context_errno(context) : PA_ERR_UNKNOWN;
  // A failure with no recorded cause still has to say something.
  return pulseError(code != PA_OK ? code : PA_ERR_UNKNOWN);
}
