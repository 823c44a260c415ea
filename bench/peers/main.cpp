// resampler-peer: converts 48 kHz interleaved float32 to 16 kHz mono with a library the
// program's converter could stand on, in the 480-frame chunks a live capture delivers, so
// bench/compare can hold the program's own sample path against it.
//
//   resampler-peer (speex Q | soxr-hq) [--float] [--held-back FILE] < in.f32 > out.s16

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "ChunkLoop.h"
#include "PeerResampler.h"

namespace {

struct Options {
  std::string library;
  int quality = 0;
  bool floatOutput = false;
  std::string heldBackPath;
};

[[noreturn]] void usage() {
  std::fputs("usage: resampler-peer (speex QUALITY | soxr-hq) [--float] [--held-back FILE]\n",
             stderr);
  std::exit(2);
}

int qualityFrom(const char* text) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0 || value > 10) usage();
  return static_cast<int>(value);
}

Options parse(int argc, char** argv) {
  Options options;
  int i = 1;
  if (i >= argc) usage();
  options.library = argv[i++];
  if (options.library == "speex") {
    if (i >= argc) usage();
    options.quality = qualityFrom(argv[i++]);
  } else if (options.library != "soxr-hq") {
    usage();
  }
  for (; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--float") {
      options.floatOutput = true;
    } else if (flag == "--held-back" && i + 1 < argc) {
      options.heldBackPath = argv[++i];
    } else {
      usage();
    }
  }
  return options;
}

std::unique_ptr<PeerResampler> makePeer(const Options& options) {
  if (options.library == "speex") return makeSpeexPeer(options.quality);
  return makeSoxrPeer();
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  try {
    const auto peer = makePeer(options);
    ChunkLoopOptions loop;
    loop.floatOutput = options.floatOutput;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> log(nullptr, std::fclose);
    if (!options.heldBackPath.empty()) {
      log.reset(std::fopen(options.heldBackPath.c_str(), "w"));
      if (!log) {
        std::perror(options.heldBackPath.c_str());
        return 1;
      }
      loop.heldBackLog = log.get();
    }
    if (!runChunkLoop(*peer, loop)) {
      std::perror("resampler-peer: write");
      return 1;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "resampler-peer: %s\n", error.what());
    return 1;
  }
  return 0;
}
