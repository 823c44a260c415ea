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

// Loads libpulse once and looks up every function the service calls; later calls return the
// first outcome: nil, or why the library could not be loaded or lacks a function (Code=-1,
// the loader's own words). The service asks this first, to report either as a failure to
// start; a libpulse call made without asking ends the process, as the program loader would
// have, when the library is not usable.
NSErrorRef loadLibpulse();
