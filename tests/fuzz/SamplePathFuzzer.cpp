// Drives the capturer's sample callback with hostile samples: arbitrary stream descriptions,
// frame counts that disagree with the data, several buffers or none, and format changes from
// one sample to the next. Each run ends with a well-formed sample, which must convert normally.

#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <poll.h>

#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "capture/SystemAudioCapturer.h"
#include "shell/globals.h"
#include "support/SampleBuffers.h"

// The harness never starts a capture.
SCCaptureService& SCCaptureService::shared() {
  std::abort();
}

namespace {

constexpr double kRates[] = {0.0, -1.0, 7999.0, 8000.0, 44100.0, 48000.0, 384001.0, 1e300, 48000.5};

CMSampleBufferRef hostileSample(FuzzedDataProvider& data) {
  AudioStreamBasicDescription d{};
  d.mSampleRate =
      data.ConsumeBool() ? data.PickValueInArray(kRates) : data.ConsumeFloatingPoint<double>();
  d.mFormatID = data.ConsumeBool() ? kAudioFormatLinearPCM : data.ConsumeIntegral<UInt32>();
  d.mFormatFlags = data.ConsumeIntegral<UInt32>();
  d.mChannelsPerFrame = data.ConsumeIntegralInRange<UInt32>(0, 80);
  d.mBitsPerChannel = data.PickValueInArray({0U, 8U, 16U, 24U, 32U, 64U, 65U});
  const bool planar = (d.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
  const bool consistent = data.ConsumeBool();  // often, so the deeper code is reached too
  const UInt32 frameBytes = d.mBitsPerChannel / 8 * (planar ? 1 : d.mChannelsPerFrame);
  d.mBytesPerFrame = consistent ? frameBytes : data.ConsumeIntegral<UInt32>();
  d.mBytesPerPacket = consistent ? frameBytes : data.ConsumeIntegral<UInt32>();
  d.mFramesPerPacket = consistent ? 1 : data.ConsumeIntegral<UInt32>();
  const CMItemCount frames = data.ConsumeBool() ? data.ConsumeIntegralInRange<CMItemCount>(-2, 4096)
                                                : data.ConsumeIntegral<CMItemCount>();
  std::vector<CMBlockBuffer::Region> regions(data.ConsumeIntegralInRange<std::size_t>(0, 9));
  for (auto& region : regions) {
    region.numberChannels = data.ConsumeIntegralInRange<UInt32>(0, 9);
    region.bytes = data.ConsumeBytes<std::byte>(data.ConsumeIntegralInRange<std::size_t>(0, 65536));
  }
  auto description =
      data.ConsumeBool() ? std::make_shared<const CMAudioFormatDescription>(d) : nullptr;
  auto block = data.ConsumeBool() ? std::make_shared<CMBlockBuffer>(std::move(regions)) : nullptr;
  return std::make_shared<CMSampleBuffer>(description, frames, block, data.ConsumeBool());
}

// The stream goes to a pipe that a thread of the harness drains while the program writes, as
// a reader would: a sample converting to more than the pipe holds must not hang the run.
struct Harness {
  std::shared_ptr<SystemAudioCapturer> capturer = std::make_shared<SystemAudioCapturer>();
  SCStreamRef stream = SCStream::initWithFilter(nullptr, nullptr, capturer);
  int fds[2] = {-1, -1};
  int& output = fds[0];
  std::mutex mutex;
  std::size_t taken = 0;  // bytes read since the last call's count

  Harness() {
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) std::abort();
    ::fcntl(fds[1], F_SETFL, 0);  // the writer blocks as the program's would
    stdoutHandle = NSFileHandle::initWithFileDescriptor(fds[1]);
    std::thread([this] {
      for (pollfd ready{output, POLLIN, 0};; ::poll(&ready, 1, -1)) {
        const std::lock_guard lock(mutex);
        takeWhatIsThere();
      }
    }).detach();
  }
  // Bytes written since the last call; the writes are done, so what the reader has not taken
  // yet is still in the pipe. Reading under the lock keeps the count exact.
  std::size_t writtenSinceLastCall() {
    const std::lock_guard lock(mutex);
    takeWhatIsThere();
    return std::exchange(taken, 0);
  }
  void takeWhatIsThere() {
    std::byte chunk[65536];
    for (ssize_t n; (n = ::read(output, chunk, sizeof chunk)) > 0;) taken += std::size_t(n);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  static Harness harness;
  FuzzedDataProvider data(bytes, size);
  while (data.remaining_bytes() > 0) {
    const auto type = static_cast<SCStreamOutputType>(data.ConsumeIntegralInRange<long>(-1, 2));
    harness.capturer->streamDidOutputSampleBuffer(*harness.stream, hostileSample(data), type);
    // The stream is whole 16-bit samples.
    if (harness.writtenSinceLastCall() % 2 != 0) std::abort();
  }
  harness.capturer->streamDidOutputSampleBuffer(
      *harness.stream, makeSampleBuffer(sineChannels(2, 480)), SCStreamOutputTypeAudio);
  // 480 frames at 48 kHz are 160 at 16 kHz; a converter in mid-phase may give one more or less.
  const std::size_t written = harness.writtenSinceLastCall();
  if (written < 2 * 150 || written > 2 * 170) std::abort();
  return 0;
}
