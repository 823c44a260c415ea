// Feeds a resampler the way a live capture does: fixed chunks of interleaved float frames from
// standard input, averaged to mono, each converted and written to standard output at once.
#pragma once

#include <cstdio>
#include <string>

#include "PeerResampler.h"

struct ChunkLoopOptions {
  std::size_t channels = 2;
  std::size_t chunkFrames = 480;
  std::size_t decimation = 3;        // input frames per output frame, for the held-back count
  bool floatOutput = false;          // float32 instead of s16le, to see below the int16 floor
  std::FILE* heldBackLog = nullptr;  // one line per chunk: input/decimation - output so far
};

// Runs until standard input ends, then flushes. Returns false when writing failed.
bool runChunkLoop(PeerResampler& resampler, const ChunkLoopOptions& options);
