// sysaudio: streams what the computer plays to standard output as 16-bit mono PCM at 16 kHz.

#include <thread>

#include "capture/SystemAudioCapturer.h"
#include "shell/globals.h"
#include "shell/signals.h"

namespace {

// Runs the capturer's start off the main thread; nobody waits for it or keeps hold of it.
void launchCaptureTask() {
  std::thread([] { systemAudio->start(); }).detach();
}

}  // namespace

int main() {
  // First of all: a signal that comes while the rest starts up (creating the capturer takes
  // milliseconds) must end the process with status 0 too, not by the default disposition.
  installTerminationHandlers();
  TARGET_SAMPLE_RATE = 16000.0;
  stdoutHandle = NSFileHandle::fileHandleWithStandardOutput();
  systemAudio = std::make_shared<SystemAudioCapturer>();
  runLoopGroup = DispatchGroup::create();
  runLoopGroup->enter();
  launchCaptureTask();
  runLoopGroup->wait();  // nothing leaves the group: only a signal ends the process
  return 0;
}
