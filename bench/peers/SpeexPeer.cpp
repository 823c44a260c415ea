#include <speex/speex_resampler.h>

#include <stdexcept>

#include "PeerResampler.h"

namespace {

class SpeexPeer final : public PeerResampler {
 public:
  explicit SpeexPeer(int quality) {
    int error = 0;
    state_ = speex_resampler_init(1, 48000, 16000, quality, &error);
    if (state_ == nullptr) {
      throw std::runtime_error(std::string("speex_resampler_init: ") +
                               speex_resampler_strerror(error));
    }
  }
  ~SpeexPeer() override { speex_resampler_destroy(state_); }
  SpeexPeer(const SpeexPeer&) = delete;
  SpeexPeer& operator=(const SpeexPeer&) = delete;

  void process(const float* in, std::size_t frames, std::vector<float>& out) override {
    // speexdsp may take less than offered when the output space runs short; keep offering.
    while (frames > 0) {
      const std::size_t start = out.size();
      out.resize(start + frames / 3 + 16);
      spx_uint32_t taken = static_cast<spx_uint32_t>(frames);
      spx_uint32_t made = static_cast<spx_uint32_t>(out.size() - start);
      speex_resampler_process_float(state_, 0, in, &taken, out.data() + start, &made);
      out.resize(start + made);
      in += taken;
      frames -= taken;
      if (taken == 0 && made == 0) throw std::runtime_error("speexdsp made no progress");
    }
  }

  // speexdsp keeps its filter delay in the stream and releases everything at once: no tail.
  void flush(std::vector<float>&) override {}

 private:
  SpeexResamplerState* state_ = nullptr;
};

}  // namespace

std::unique_ptr<PeerResampler> makeSpeexPeer(int quality) {
  return std::make_unique<SpeexPeer>(quality);
}
