#include <soxr.h>

#include <stdexcept>

#include "PeerResampler.h"

namespace {

constexpr std::size_t kOutputSpace = 4096;

class SoxrPeer final : public PeerResampler {
 public:
  SoxrPeer() {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t error = nullptr;
    soxr_ = soxr_create(48000.0, 16000.0, 1, &error, &io, &quality, nullptr);
    if (error != nullptr) throw std::runtime_error(std::string("soxr_create: ") + error);
  }
  ~SoxrPeer() override { soxr_delete(soxr_); }
  SoxrPeer(const SoxrPeer&) = delete;
  SoxrPeer& operator=(const SoxrPeer&) = delete;

  void process(const float* in, std::size_t frames, std::vector<float>& out) override {
    while (frames > 0) {
      std::size_t taken = 0;
      const std::size_t made = run(in, frames, &taken, out);
      in += taken;
      frames -= taken;
      if (taken == 0 && made == 0) throw std::runtime_error("soxr made no progress");
    }
  }

  // A null input tells libsoxr the stream has ended; it then drains until it has nothing left.
  void flush(std::vector<float>& out) override {
    std::size_t unused = 0;
    while (run(nullptr, 0, &unused, out) > 0) {
    }
  }

 private:
  std::size_t run(const float* in, std::size_t frames, std::size_t* taken,
                  std::vector<float>& out) {
    const std::size_t start = out.size();
    out.resize(start + kOutputSpace);
    std::size_t made = 0;
    const soxr_error_t error =
        soxr_process(soxr_, in, frames, taken, out.data() + start, kOutputSpace, &made);
    if (error != nullptr) throw std::runtime_error(std::string("soxr_process: ") + error);
    out.resize(start + made);
    return made;
  }

  soxr_t soxr_ = nullptr;
};

}  // namespace

std::unique_ptr<PeerResampler> makeSoxrPeer() {
  return std::make_unique<SoxrPeer>();
}
