// sample-path: runs raw audio through the program's own sample path, as fast as it can.
//
// Reads interleaved float32 frames from standard input, cuts them into sample buffers of N frames
// exactly as the capture service delivers them, hands each to the capturer's sample callback
// (unpacking, Resampler, writePCM) and so writes the program's PCM stream to standard output.
//
//   sample-path [--rate HZ] [--channels N] [--frames N] < in.f32 > out.s16

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture/SystemAudioCapturer.h"
#include "shell/globals.h"
#include "tools/sample-path/StdinSamples.h"

namespace {

struct Options {
  double rate = 48000.0;
  UInt32 channels = 2;
  UInt32 frames = 480;
};

[[noreturn]] void usage() {
  std::fputs("usage: sample-path [--rate HZ] [--channels N] [--frames N] < f32 > s16\n", stderr);
  std::exit(2);
}

unsigned long positive(const char* text) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || value == 0) usage();
  return value;
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (i + 1 >= argc) usage();
    const unsigned long value = positive(argv[++i]);
    if (flag == "--rate") {
      options.rate = static_cast<double>(value);
    } else if (flag == "--channels" && value <= 64) {
      options.channels = static_cast<UInt32>(value);
    } else if (flag == "--frames" && value <= (1UL << 20)) {
      options.frames = static_cast<UInt32>(value);
    } else {
      usage();
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  stdoutHandle = NSFileHandle::fileHandleWithStandardOutput();
  auto capturer = std::make_shared<SystemAudioCapturer>();
  const SCStreamRef stream = SCStream::initWithFilter(nullptr, nullptr, capturer);
  StdinSamples samples(options.rate, options.channels, options.frames);
  while (const CMSampleBufferRef sample = samples.next()) {
    capturer->streamDidOutputSampleBuffer(*stream, sample, SCStreamOutputTypeAudio);
  }
  return 0;
}
