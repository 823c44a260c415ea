// Turns fragments read from a record stream into sample buffers: float32 interleaved audio at
// the stream's rate and channel count, each with its own copy of the data.
#pragma once

#include <pulse/sample.h>

#include <cstddef>
#include <span>

#include "platform/media/CMSampleBuffer.h"
#include "platform/screencapture/ScreenCaptureKit.h"

class FragmentSamples {
 public:
  // `sampleSpec` is float32le interleaved, as the record stream was opened with; one without
  // channels makes no samples at all.
  explicit FragmentSamples(const pa_sample_spec& sampleSpec);

  // Float32 interleaved at the configuration's rate and channel count. Values out of range,
  // or no configuration at all, give 0, which pa_sample_spec_valid refuses.
  static pa_sample_spec specFor(const SCStreamConfigurationRef& configuration);

  // One sample holding the whole frames of `fragment`; nothing when there is not one frame.
  CMSampleBufferRef fromAudio(std::span<const std::byte> fragment) const;
  // One sample of silence as long as `bytes` of audio: what the server leaves as a hole.
  CMSampleBufferRef fromHole(std::size_t bytes) const;

  std::size_t bytesPerFrame() const { return bytesPerFrame_; }

 private:
  CMSampleBufferRef make(std::vector<std::byte> bytes) const;

  std::size_t bytesPerFrame_;
  UInt32 channels_;
  CMFormatDescriptionRef format_;
};
