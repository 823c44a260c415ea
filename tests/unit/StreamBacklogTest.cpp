// A stream's delivery to an output that has fallen behind: in order, without waiting for the
// output, and bounded, dropping the oldest audio first.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "platform/screencapture/ScreenCaptureKit.h"
#include "support/SampleBuffers.h"

namespace {

// An output whose callback waits at a gate, as one writing to a stalled reader does.
class GatedOutput final : public SCStreamOutput {
 public:
  void streamDidOutputSampleBuffer(SCStream&, const CMSampleBufferRef& sample,
                                   SCStreamOutputType) override {
    std::unique_lock lock(mutex_);
    ++entered_;
    changed_.notify_all();
    opened_.wait(lock, [this] { return open_; });
    received_.push_back(sample);
    changed_.notify_all();
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    opened_.notify_all();
  }
  // Waits until the first sample is held at the gate.
  bool waitUntilStalled() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return entered_ > 0; });
  }
  std::vector<CMSampleBufferRef> waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [&] { return received_.size() >= count; });
    return received_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  std::condition_variable changed_;
  bool open_ = false;
  std::size_t entered_ = 0;
  std::vector<CMSampleBufferRef> received_;
};

struct Delivery {
  std::shared_ptr<GatedOutput> output = std::make_shared<GatedOutput>();
  SCStreamRef stream = SCStream::initWithFilter(nullptr, nullptr, {});
  Delivery() {
    stream->addStreamOutput(output, SCStreamOutputTypeAudio, DispatchQueue::create("backlog"),
                            nullptr);
  }
};

// 10 ms of 48 kHz stereo float32, numbered by its index.
std::vector<CMSampleBufferRef> tenMillisecondSamples(std::size_t count) {
  std::vector<CMSampleBufferRef> samples;
  for (std::size_t i = 0; i < count; ++i) samples.push_back(captureToneSample(i));
  return samples;
}

TEST(StreamBacklog, BeyondTheBoundTheOldestAudioIsDroppedAndCounted) {
  Delivery delivery;
  const std::size_t bound = static_cast<std::size_t>(SCStream::kMaxBacklogSeconds * 100);
  const auto samples = tenMillisecondSamples(bound + 500);
  delivery.stream->deliverSampleBuffer(samples.front(), SCStreamOutputTypeAudio);
  ASSERT_TRUE(delivery.output->waitUntilStalled());
  for (std::size_t i = 1; i < samples.size(); ++i) {
    delivery.stream->deliverSampleBuffer(samples[i], SCStreamOutputTypeAudio);
  }
  delivery.output->open();
  const auto received =
      delivery.output->waitFor(samples.size() - delivery.stream->droppedSampleCount());
  // The first sample was already with the output when it stalled; after it comes the newest
  // audio that fits the bound, contiguous and in order.
  ASSERT_EQ(received.size() + delivery.stream->droppedSampleCount(), samples.size());
  EXPECT_EQ(received.front(), samples.front());
  const std::size_t kept = received.size() - 1;
  EXPECT_GE(kept, bound - 1);
  EXPECT_LE(kept, bound);
  const std::vector<CMSampleBufferRef> newest(samples.end() - static_cast<std::ptrdiff_t>(kept),
                                              samples.end());
  EXPECT_EQ(std::vector<CMSampleBufferRef>(received.begin() + 1, received.end()), newest);
}

}  // namespace
