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
  // First of all, so that a signal sent right after launch ends the process with status 0 too,
  // not by the default disposition: the rest of start-up, and the capture task that loads the
  // sound library alongside it, can hold the main thread up for milliseconds on a busy machine.
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
