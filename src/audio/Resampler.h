// Turns PCM buffers of any format into the program's output: 16-bit signed mono samples at
// TARGET_SAMPLE_RATE, as a block of bytes.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "platform/media/AVAudioConverter.h"

using ByteBlock = std::vector<std::byte>;

class Resampler {
 public:
  // Stops the process when the output format cannot be made: nothing can run without it.
  Resampler();

  // The buffer's frames in the output format, or nothing when the buffer cannot be converted
  // or converts to no frames. Keeps its converter, and with it the filter state, while the
  // input format stays the same. Only one caller at a time.
  std::optional<ByteBlock> convert(const AVAudioPCMBufferRef& buffer);

  // Frames of room made for `inputFrames` frames at `inputRate`: the expected count plus a
  // margin for the converter's rounding.
  static AVAudioFrameCount outputCapacity(double inputRate, AVAudioFrameCount inputFrames);

 private:
  AVAudioConverterRef converter;
  AVAudioFormatRef outFormat;
};
