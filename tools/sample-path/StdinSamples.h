// Cuts interleaved float32 audio on standard input into sample buffers of a fixed frame count,
// each with its own copy of the data, as the capture service makes them.
#pragma once

#include <vector>

#include "platform/media/CMSampleBuffer.h"

class StdinSamples {
 public:
  StdinSamples(double rate, UInt32 channels, UInt32 framesPerSample);

  // The next sample, or nothing at the end of the input. A last, shorter sample carries
  // whatever whole frames remained.
  CMSampleBufferRef next();

 private:
  // Refills `input_` from standard input; false at its end.
  bool refill();

  CMFormatDescriptionRef format_;
  std::vector<std::byte> input_;  // read in large blocks: one read per sample would dominate
  std::size_t inputFrom_ = 0;
  std::size_t inputEnd_ = 0;
  UInt32 bytesPerFrame_;
  UInt32 framesPerSample_;
};
