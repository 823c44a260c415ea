// The process-wide state, each value living until the process ends.
#pragma once

#include <memory>

#include "platform/dispatch/DispatchGroup.h"
#include "platform/foundation/NSFileHandle.h"

class SystemAudioCapturer;

// Output frames per second.
extern double TARGET_SAMPLE_RATE;
// Where the PCM stream goes.
extern NSFileHandleRef stdoutHandle;
// The one capturer.
extern std::shared_ptr<SystemAudioCapturer> systemAudio;
// Entered once and never left: the main thread waits on it for good.
extern DispatchGroupRef runLoopGroup;
