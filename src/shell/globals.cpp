#include "shell/globals.h"

#include "capture/SystemAudioCapturer.h"

double TARGET_SAMPLE_RATE = 16000.0;
NSFileHandleRef stdoutHandle;
std::shared_ptr<SystemAudioCapturer> systemAudio;
DispatchGroupRef runLoopGroup;
