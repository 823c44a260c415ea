// The capturer against the scripted service: how it starts, what it tells on standard error,
// and what reaches standard output from the samples the service delivers.
#include <gtest/gtest.h>

#include <future>
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

ByteBlock convertedAlone(const std::vector<CMSampleBufferRef>& samples) {
  Resampler resampler;
  ByteBlock all;
  for (const auto& sample : samples) {
    const auto block = resampler.convert(toAVAudioPCMBuffer(sample));
    if (block) all.insert(all.end(), block->begin(), block->end());
  }
  return all;
}

class CapturerTest : public testing::Test {
 protected:
  void SetUp() override {
    service().reset();
    stdoutHandle = NSFileHandle::initWithFileDescriptor(out.fd());
  }
  void TearDown() override { stdoutHandle.reset(); }

  static ScriptedCaptureService& service() { return ScriptedCaptureService::instance(); }

  // Starts the capturer and returns what it wrote to standard error.
  std::string start() {
    const StderrCapture err;
    capturer->start();
    return err.text();
  }

  // Waits until the sample queue has handled everything delivered so far.
  void drainSamples() {
    std::promise<void> drained;
    capturer->samplesQueue()->async([&] { drained.set_value(); });
    ASSERT_EQ(drained.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  }

  CapturedFile out;
  std::shared_ptr<SystemAudioCapturer> capturer = std::make_shared<SystemAudioCapturer>();
};

}  // namespace

TEST_F(CapturerTest, StartsOnTheFirstDisplayWithAnAudioOnlyConfiguration) {
  const auto first = std::make_shared<const SCDisplay>(7, "first");
  service().setDisplays({first, std::make_shared<const SCDisplay>(8, "second")});
  EXPECT_EQ(start(), "");
  EXPECT_EQ(service().calls(), kAllCalls);
  const SCStreamRef& stream = capturer->runningStream();
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream, service().lastStream());
  EXPECT_EQ(stream->filter()->display(), first);
  EXPECT_EQ(stream->filter()->excludedApplicationCount(), 0U);
  EXPECT_EQ(stream->filter()->exceptedWindowCount(), 0U);

  const SCStreamConfiguration& configuration = *stream->configuration();
  EXPECT_EQ(configuration.changedProperties(),
            Calls({"capturesAudio", "sampleRate", "channelCount", "width", "height",
                   "minimumFrameInterval", "showsCursor"}));
  EXPECT_TRUE(configuration.capturesAudio());
  EXPECT_EQ(configuration.sampleRate(), 48000);
  EXPECT_EQ(configuration.channelCount(), 2);
  EXPECT_EQ(configuration.width(), 2U);
  EXPECT_EQ(configuration.height(), 2U);
  EXPECT_TRUE(CMTimeIsValid(configuration.minimumFrameInterval()));
  EXPECT_EQ(CMTimeGetSeconds(configuration.minimumFrameInterval()), 1.0);
  EXPECT_FALSE(configuration.showsCursor());
}

TEST_F(CapturerTest, NoDisplayIsToldOnceAndCreatesNoStream) {
  service().setDisplays({});
  EXPECT_EQ(start(), "SystemAudioCapturer: no display found\n");
  EXPECT_EQ(service().calls(), Calls{"getShareableContent"});
  EXPECT_FALSE(capturer->runningStream());
}

TEST_F(CapturerTest, AFailingStepIsToldOnceAndNothingFollowsIt) {
  const std::vector<std::pair<Step, std::size_t>> steps = {
      {Step::kContentQuery, 1}, {Step::kOutputRegistration, 2}, {Step::kCaptureStart, 3}};
  for (const auto& [step, callsMade] : steps) {
    SCOPED_TRACE(testing::Message() << "failing call " << callsMade);
    service().reset();
    service().failStep(step, scriptedError(-3801, "The user declined"));
    capturer = std::make_shared<SystemAudioCapturer>();
    EXPECT_EQ(start(),
              "SystemAudioCapturer failed to start: Error "
              "Domain=com.apple.ScreenCaptureKit.SCStreamErrorDomain Code=-3801 \"The user "
              "declined\"\n");
    EXPECT_EQ(service().calls(), Calls(kAllCalls.begin(), kAllCalls.begin() + callsMade));
    EXPECT_FALSE(capturer->runningStream());
  }
}

TEST_F(CapturerTest, WhileStartingHasNoStreamAndTakesItOnceStartCompletes) {
  service().holdCompletion(Step::kCaptureStart);
  std::string told = "not started";
  std::thread starting([&] { told = start(); });
  ASSERT_TRUE(service().waitForCalls(3, std::chrono::seconds(30)));
  EXPECT_FALSE(capturer->runningStream());
  ASSERT_TRUE(service().releaseHeldCompletion());
  starting.join();
  EXPECT_EQ(told, "");
  EXPECT_EQ(capturer->runningStream(), service().lastStream());
}

TEST_F(CapturerTest, OnlyAudioSamplesThatUnpackAndConvertReachStandardOutput) {
  ASSERT_EQ(start(), "");
  const SCStreamRef stream = capturer->runningStream();
  const auto first = captureToneSample(0);
  const auto last = captureToneSample(1);
  const auto invalid = captureToneSample(2);
  invalid->invalidate();
  const auto unconvertible = makeSampleBuffer(sineChannels({440, 0.5, 7000}, 2, 70),
                                              {AVAudioPCMFormatFloat32, 7000, true});
  const auto noData = std::make_shared<CMSampleBuffer>(first->formatDescription(), 480, nullptr);

  const StderrCapture err;
  ASSERT_TRUE(ScriptedCaptureService::deliver(stream, first));
  drainSamples();
  const ByteBlock afterFirst = convertedAlone({first});
  ASSERT_EQ(out.bytes(), afterFirst);

  EXPECT_FALSE(ScriptedCaptureService::deliver(stream, first, SCStreamOutputTypeScreen));
  capturer->streamDidOutputSampleBuffer(*stream, first, SCStreamOutputTypeScreen);
  capturer->streamDidOutputSampleBuffer(*stream, first, static_cast<SCStreamOutputType>(2));
  for (const auto& rejected : {invalid, noData, unconvertible, CMSampleBufferRef{}}) {
    ASSERT_TRUE(ScriptedCaptureService::deliver(stream, rejected));
  }
  drainSamples();
  EXPECT_EQ(out.bytes(), afterFirst);

  // The failed conversion dropped the converter; the next sample starts on a fresh one.
  ASSERT_TRUE(ScriptedCaptureService::deliver(stream, last));
  drainSamples();
  ByteBlock expected = afterFirst;
  const ByteBlock fresh = convertedAlone({last});
  expected.insert(expected.end(), fresh.begin(), fresh.end());
  EXPECT_EQ(out.bytes(), expected);
  EXPECT_EQ(err.text(), "");
}

TEST_F(CapturerTest, AStopIsToldOnceAndNothingRestarts) {
  ASSERT_EQ(start(), "");
  {
    const StderrCapture err;
    service().reportStop(capturer->runningStream(), scriptedError(-3805, "Connection lost"));
    EXPECT_EQ(err.text(),
              "SystemAudioCapturer stopped: Error "
              "Domain=com.apple.ScreenCaptureKit.SCStreamErrorDomain Code=-3805 \"Connection "
              "lost\"\n");
  }
  drainSamples();
  EXPECT_EQ(service().calls(), kAllCalls);
  EXPECT_TRUE(out.bytes().empty());
}
