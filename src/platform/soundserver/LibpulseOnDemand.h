// libpulse, loaded when the service first needs it rather than by the program loader.
//
// libpulse brings some thirty libraries with it (D-Bus, X11, the codecs of libsndfile, ...).
// Mapping them all before main ran made up most of the time between launch and the signal
// handlers being in place; a signal sent in that window killed the program outright. Loaded
// here, on the capture task's thread, they no longer stand between launch and the handlers.
//
// The service calls the library's functions as usual: this unit defines each of them and
// forwards the call to the loaded library.
#pragma once

#include "platform/foundation/NSError.h"

// Loads libpulse once; later calls return the first outcome: nil, or why it could not be
// loaded. The service asks this first, to report a missing library as a failure to start;
// any libpulse call also loads it, and ends the process, as the program loader would have,
// when it cannot.
NSErrorRef loadLibpulse();
