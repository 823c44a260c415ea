// Unpacks a captured sample into a PCM buffer of the sample's own format.
#pragma once

#include "platform/media/AVAudioPCMBuffer.h"
#include "platform/media/CMSampleBuffer.h"

// A PCM buffer holding all of the sample's frames (capacity and frame length both equal its
// frame count), or nothing when the sample has no usable format, no frames or no audio list.
// Audio in several buffers (channels not interleaved) is copied buffer by buffer; data shorter
// than the frame count leaves the rest of the PCM buffer silent.
AVAudioPCMBufferRef toAVAudioPCMBuffer(const CMSampleBufferRef& sampleBuffer);
