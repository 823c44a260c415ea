// A stream's delivery to an output that has fallen behind: in order, without waiting for the
// output, and bounded, dropping the oldest audio first.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "platform/screencapture/ScreenCaptureKit.h"
#include "support/SampleBuffers.h"

namespace {

// An output whose callback, once it has a sample, waits at a gate, as one writing to a stalled
// reader does.
struct GatedOutput final : SCStreamOutput {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  std::vector<CMSampleBufferRef> received;

  void streamDidOutputSampleBuffer(SCStream&, const CMSampleBufferRef& sample,
                                   SCStreamOutputType) override {
    std::unique_lock lock(mutex);
    received.push_back(sample);
    changed.notify_all();
    changed.wait(lock, [this] { return open; });
  }
  std::vector<CMSampleBufferRef> waitFor(std::size_t count, bool opening = false) {
    std::unique_lock lock(mutex);
    open = open || opening;
    changed.notify_all();
    changed.wait_for(lock, std::chrono::seconds(30), [&] { return received.size() >= count; });
    return received;
  }
};

TEST(StreamBacklog, BeyondTheBoundTheOldestAudioIsDroppedAndCounted) {
  const auto output = std::make_shared<GatedOutput>();
  const SCStreamRef stream = SCStream::initWithFilter(nullptr, nullptr, {});
  stream->addStreamOutput(output, SCStreamOutputTypeAudio, DispatchQueue::create("backlog"),
                          nullptr);
  const auto bound = static_cast<std::size_t>(SCStream::kMaxBacklogSeconds * 100);  // 10 ms each
  std::vector<CMSampleBufferRef> samples;
  for (std::size_t i = 0; i < bound + 500; ++i)
    samples.push_back(makeSampleBuffer(sineChannels(2, 480, 440.0, 48000.0, i * 480)));
  stream->deliverSampleBuffer(samples.front(), SCStreamOutputTypeAudio);
  output->waitFor(1);  // stalled at the gate
  for (std::size_t i = 1; i < samples.size(); ++i) {
    stream->deliverSampleBuffer(samples[i], SCStreamOutputTypeAudio);
  }
  const auto received = output->waitFor(samples.size() - stream->droppedSampleCount(), true);
  // The first sample was already with the output when it stalled; after it comes the newest
  // audio that fits the bound, contiguous and in order.
  ASSERT_EQ(received.size() + stream->droppedSampleCount(), samples.size());
  EXPECT_EQ(received.front(), samples.front());
  const std::size_t kept = received.size() - 1;
  EXPECT_GE(kept, bound - 1);
  EXPECT_LE(kept, bound);
  EXPECT_TRUE(std::equal(received.begin() + 1, received.end(),
                         samples.end() - static_cast<std::ptrdiff_t>(kept)));
}

}  // namespace
