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
  TARGET_SAMPLE_RATE = 16000.0;
  stdoutHandle = NSFileHandle::fileHandleWithStandardOutput();
  systemAudio = std::make_shared<SystemAudioCapturer>();
  runLoopGroup = DispatchGroup::create();
  runLoopGroup->enter();
  launchCaptureTask();
  installTerminationHandlers();
  runLoopGroup->wait();  // nothing leaves the group: only a signal ends the process
  return 0;
}
