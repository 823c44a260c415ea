// Moves samples between PCM buffers of any common format and the converter's working form:
// 32-bit float, interleaved, in a chosen number of channels.
#pragma once

#include <vector>

#include "platform/media/AVAudioPCMBuffer.h"

// Appends the buffer's frames to `work` in `workChannels` channels: the buffer's own channels
// when the counts match, otherwise (workChannels == 1) the average of all of them.
void readFrames(const AVAudioPCMBuffer& buffer, UInt32 workChannels, std::vector<float>& work);

// Writes `frames` working frames from `work` into `buffer` starting at frame `at`, rounding and
// clipping to the buffer's sample type; a mono source fills every channel of the buffer.
void writeFrames(const float* work, UInt32 workChannels, AVAudioFrameCount frames,
                 AVAudioPCMBuffer& buffer, AVAudioFrameCount at);

// Copies `frames` frames of `from` starting at `fromFrame` into `to` at `toFrame`; both buffers
// have the same format.
void copyFrames(const AVAudioPCMBuffer& from, AVAudioFrameCount fromFrame, AVAudioPCMBuffer& to,
                AVAudioFrameCount toFrame, AVAudioFrameCount frames);
