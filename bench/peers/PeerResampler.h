// The one thing the comparison needs from a resampling library: mono float frames in, whatever
// the library releases at once out, and the tail once the input has ended.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class PeerResampler {
 public:
  virtual ~PeerResampler() = default;

  // Appends to `out` everything the library gives back for these frames, without waiting for more.
  virtual void process(const float* in, std::size_t frames, std::vector<float>& out) = 0;

  // Appends whatever the library still holds once no more input will come.
  virtual void flush(std::vector<float>& out) = 0;
};

// speexdsp at `quality` (0-10), 48 kHz to 16 kHz mono. Throws std::runtime_error on failure.
std::unique_ptr<PeerResampler> makeSpeexPeer(int quality);

// libsoxr with the SOXR_HQ recipe, 48 kHz to 16 kHz mono. Throws std::runtime_error on failure.
std::unique_ptr<PeerResampler> makeSoxrPeer();
