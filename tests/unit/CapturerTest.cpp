// The capturer against the scripted service: how a start ends, what it tells on standard error,
// and which delivered samples reach standard output.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "audio/SampleBufferUnpacking.h"
#include "capture/SystemAudioCapturer.h"
#include "shell/globals.h"
#include "support/CapturedOutput.h"
#include "support/SampleBuffers.h"
#include "support/ScriptedCaptureService.h"

namespace {

using Step = ScriptedCaptureService::Step;
using Calls = std::vector<std::string>;

const Calls kAllCalls = {"getShareableContent", "validateStreamOutput(audio)", "startCapture"};

ByteBlock convertedAlone(const CMSampleBufferRef& sample) {
  return *Resampler().convert(toAVAudioPCMBuffer(sample));
}

class CapturerTest : public testing::Test {
 protected:
  void SetUp() override {
    service().reset();
    stdoutHandle = NSFileHandle::initWithFileDescriptor(out.fd());
  }
  void TearDown() override { stdoutHandle.reset(); }

  static ScriptedCaptureService& service() { return ScriptedCaptureService::instance(); }

  // Starts a fresh capturer and returns what it wrote to standard error.
  std::string start() {
    const StderrCapture err;
    capturer = std::make_shared<SystemAudioCapturer>();
    capturer->start();
    return err.text();
  }

  // Standard output once it holds `size` bytes. The sample queue is serial: whatever was
  // delivered before the sample that brought them has been handled too.
  ByteBlock outputOnceItHolds(std::size_t size) const {
    for (int tries = 0; tries < 3000 && out.bytes().size() < size; ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return out.bytes();
  }

  CapturedFile out;
  std::shared_ptr<SystemAudioCapturer> capturer;
};

}  // namespace

TEST_F(CapturerTest, EachWayAStartEndsIsToldOnceAndNothingFollowsAFailure) {
  const std::string failed =
      "SystemAudioCapturer failed to start: Error "
      "Domain=com.apple.ScreenCaptureKit.SCStreamErrorDomain Code=-3801 \"The user declined\"\n";
  struct Case {
    std::optional<Step> failing;
    bool displays;
    std::size_t callsMade;
    std::string told;
  };
  for (const auto& [failing, displays, callsMade, told] : {
           Case{std::nullopt, true, 3, ""},
           Case{std::nullopt, false, 1, "SystemAudioCapturer: no display found\n"},
           Case{Step::kContentQuery, true, 1, failed},
           Case{Step::kOutputRegistration, true, 2, failed},
           Case{Step::kCaptureStart, true, 3, failed},
       }) {
    SCOPED_TRACE(testing::Message() << "told: " << told);
    service().reset();
    if (!displays) service().setDisplays({});
    if (failing) service().failStep(*failing, scriptedError(-3801, "The user declined"));
    EXPECT_EQ(start(), told);
    EXPECT_EQ(service().calls(), Calls(kAllCalls.begin(), kAllCalls.begin() + callsMade));
  }
}

TEST_F(CapturerTest, OnlyAudioSamplesThatConvertReachStandardOutputAndAFailureDoesNotStick) {
  ASSERT_EQ(start(), "");
  const SCStreamRef stream = service().lastStream();
  const auto first = captureToneSample(0);
  const auto last = captureToneSample(1);
  const auto invalid = captureToneSample(2);
  invalid->invalidate();
  const auto unconvertible = makeSampleBuffer(sineChannels({440, 0.5, 7000}, 2, 70),
                                              {AVAudioPCMFormatFloat32, 7000, true});
  const auto noData = std::make_shared<CMSampleBuffer>(first->formatDescription(), 480, nullptr);

  const StderrCapture err;
  capturer->streamDidOutputSampleBuffer(*stream, first, SCStreamOutputTypeScreen);
  capturer->streamDidOutputSampleBuffer(*stream, first, static_cast<SCStreamOutputType>(2));
  for (const auto& sample : {first, invalid, noData, unconvertible, CMSampleBufferRef{}, last}) {
    ASSERT_TRUE(stream->deliverSampleBuffer(sample, SCStreamOutputTypeAudio));
  }
  // The failed conversion dropped the converter: the last sample starts on a fresh one.
  ByteBlock expected = convertedAlone(first);
  const ByteBlock fresh = convertedAlone(last);
  expected.insert(expected.end(), fresh.begin(), fresh.end());
  EXPECT_EQ(outputOnceItHolds(expected.size()), expected);
  EXPECT_EQ(err.text(), "");
}

TEST_F(CapturerTest, AStopIsToldOnceAndNothingRestarts) {
  ASSERT_EQ(start(), "");
  const StderrCapture err;
  service().reportStop(service().lastStream(), scriptedError(-3805, "Connection lost"));
  EXPECT_EQ(err.text(),
            "SystemAudioCapturer stopped: Error "
            "Domain=com.apple.ScreenCaptureKit.SCStreamErrorDomain Code=-3805 \"Connection "
            "lost\"\n");
  EXPECT_EQ(service().calls(), kAllCalls);
}
