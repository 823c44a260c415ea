// What the capture service calls on the capturer once the stream runs.
#include "audio/SampleBufferUnpacking.h"
#include "capture/SystemAudioCapturer.h"
#include "shell/output.h"

void SystemAudioCapturer::streamDidOutputSampleBuffer(SCStream& /*stream*/,
                                                      const CMSampleBufferRef& sampleBuffer,
                                                      SCStreamOutputType type) {
  if (type != SCStreamOutputTypeAudio) return;
  if (!CMSampleBufferIsValid(sampleBuffer)) return;
  const AVAudioPCMBufferRef pcm = toAVAudioPCMBuffer(sampleBuffer);
  if (!pcm) return;
  const std::optional<ByteBlock> block = resampler->convert(pcm);
  if (!block) return;
  writePCM(*block);
}

void SystemAudioCapturer::streamDidStopWithError(SCStream& /*stream*/, const NSErrorRef& error) {
  writeDiagnosticLine(diagnosticLineWithError("SystemAudioCapturer stopped: ", error));
}
