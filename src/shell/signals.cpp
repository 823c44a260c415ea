#include "shell/signals.h"

#include <unistd.h>

#include <csignal>

namespace {

// _exit rather than exit: exit would run destructors and atexit work while the sample queue
// may still be using the objects they destroy. Nothing is stopped, flushed or written.
extern "C" void endProcess(int /*signal*/) {
  _exit(0);
}

}  // namespace

void installTerminationHandlers() {
  std::signal(SIGTERM, endProcess);
  std::signal(SIGINT, endProcess);
}
