// The record stream's own guard, against a real private server that scripts/with_server.py
// starts: whatever source the stream lands on, it hands on audio only once the server has said
// that source is the monitor of the sink the stream was made for.
#include <gtest/gtest.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/timeval.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>

#include "platform/soundserver/MonitorStream.h"
#include "platform/soundserver/PulseConnection.h"
#include "platform/soundserver/PulseLoop.h"

namespace {

using namespace std::chrono_literals;

// Written on the loop thread only; read once the stream is gone.
struct Outcome {
  bool confirmed = false;
  std::size_t audioBytes = 0;
  NSErrorRef failure;
  std::promise<void> settled;  // confirmed, or failed before that
};

class MonitorStreamOnServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("SYSAUDIO_SOUND_SERVER") == nullptr) {
      GTEST_SKIP() << "needs a private sound server: run through scripts/with_server.py";
    }
    NSErrorRef error;
    loop_ = PulseLoop::start(error);
    ASSERT_TRUE(loop_) << error->description();
    std::promise<NSErrorRef> connected;
    onLoop([&] {
      connection_ = std::make_unique<PulseConnection>(*loop_);
      connection_->open({.ready = [&] { connected.set_value(nullptr); },
                         .ended = [&](NSErrorRef e) { connected.set_value(std::move(e)); }});
    });
    auto answer = connected.get_future();
    ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
    NSErrorRef failure = answer.get();
    ASSERT_FALSE(failure) << failure->description();
  }

  void TearDown() override {
    if (!loop_) return;
    onLoop([&] { connection_.reset(); });
    loop_->stop();
  }

  // Runs `work` on the loop thread, where every libpulse object lives, and waits for it.
  template <class Work>
  void onLoop(Work work) {
    std::promise<void> done;
    {
      PulseLoop::Lock lock(*loop_);
      loop_->post([&] {
        work();
        done.set_value();
      });
    }
    done.get_future().wait();
  }

  // A stream made for the sink `sinkName` but pointed at `source`, until it is confirmed or
  // fails, and a little longer for audio that should not come.
  std::shared_ptr<Outcome> record(const char* sinkName, const char* source) {
    auto outcome = std::make_shared<Outcome>();
    std::unique_ptr<MonitorStream> stream;
    std::promise<std::uint32_t> index;
    onLoop([&] {
      pa_operation_unref(pa_context_get_sink_info_by_name(
          connection_->context(), sinkName,
          [](pa_context*, const pa_sink_info* info, int eol, void* answer) {
            if (eol <= 0)
              static_cast<std::promise<std::uint32_t>*>(answer)->set_value(
                  info != nullptr ? info->index : PA_INVALID_INDEX);
          },
          &index));
    });
    const MonitoredSink sink{sinkName, index.get_future().get(), source, {}};
    EXPECT_NE(sink.index, PA_INVALID_INDEX) << sinkName;
    onLoop([&] {
      stream = std::make_unique<MonitorStream>(
          *loop_, connection_->context(), sink,
          MonitorStream::Events{
              .confirmed = [outcome] { outcome->confirmed = true, outcome->settled.set_value(); },
              .fragment = [outcome](const void*, std::size_t n) { outcome->audioBytes += n; },
              .failed =
                  [outcome](NSErrorRef error) {
                    outcome->failure = std::move(error);
                    if (!outcome->confirmed) outcome->settled.set_value();
                  }});
      const pa_sample_spec sampleSpec{.format = PA_SAMPLE_FLOAT32LE, .rate = 48000, .channels = 2};
      if ((outcome->failure = stream->open(sampleSpec, 10 * PA_USEC_PER_MSEC))) {
        outcome->settled.set_value();
      }
    });
    EXPECT_EQ(outcome->settled.get_future().wait_for(10s), std::future_status::ready) << source;
    std::this_thread::sleep_for(300ms);
    onLoop([&] { stream.reset(); });
    return outcome;
  }

  std::unique_ptr<PulseLoop> loop_;
  std::unique_ptr<PulseConnection> connection_;
};

TEST_F(MonitorStreamOnServerTest, HandsOnAudioOnlyFromTheMonitorOfItsOwnSink) {
  // with_server.py --sink speakers --sink other --microphone microphone
  const std::pair<const char*, bool> cases[] = {
      {"speakers.monitor", true},
      {"other.monitor", false},  // a monitor, but of another sink
      {"microphone", false},     // no monitor at all
  };
  for (const auto& [source, accepted] : cases) {
    SCOPED_TRACE(source);
    const auto outcome = record("speakers", source);
    EXPECT_EQ(outcome->confirmed, accepted);
    EXPECT_EQ(static_cast<bool>(outcome->failure), !accepted);
    EXPECT_TRUE(accepted || outcome->audioBytes == 0) << outcome->audioBytes;
    if (outcome->failure) {
      EXPECT_EQ(outcome->failure->code(), PA_ERR_NOTSUPPORTED) << outcome->failure->description();
    }
  }
}

}  // namespace
