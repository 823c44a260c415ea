// The record stream's own guard, against a real private server (with_server.py starts it):
// whatever source the stream lands on, it hands on audio only once the server has said that
// source is the monitor of the sink the stream was made for.
#include <gtest/gtest.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/timeval.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "platform/soundserver/MonitorStream.h"
#include "platform/soundserver/PulseConnection.h"
#include "platform/soundserver/PulseLoop.h"

namespace {

using namespace std::chrono_literals;

struct Outcome {
  bool confirmed = false;
  std::size_t audioBytes = 0;
  NSErrorRef failure;
};

class MonitorStreamOnServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("SYSAUDIO_SOUND_SERVER") == nullptr) {
      GTEST_SKIP() << "needs a private sound server: run through tests/e2e/with_server.py";
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
    onLoop([&] {
      stream_.reset();
      connection_.reset();
    });
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

  std::uint32_t sinkIndex(const std::string& name) {
    std::promise<std::uint32_t> index;
    onLoop([&] {
      pa_operation_unref(pa_context_get_sink_info_by_name(
          connection_->context(), name.c_str(),
          [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
            auto& answer = *static_cast<std::promise<std::uint32_t>*>(userdata);
            if (eol < 0) answer.set_value(PA_INVALID_INDEX);
            if (eol == 0 && info != nullptr) answer.set_value(info->index);
          },
          &index));
    });
    return index.get_future().get();
  }

  // A stream made for `sink` but pointed at `source`, until it is confirmed or fails, and a
  // little longer for audio that should not come.
  Outcome record(const std::string& sink, const std::string& source) {
    const std::uint32_t index = sinkIndex(sink);
    EXPECT_NE(index, PA_INVALID_INDEX) << sink;
    auto outcome = std::make_shared<Outcome>();
    auto settled = std::make_shared<std::promise<void>>();
    onLoop([&] {
      stream_ = std::make_unique<MonitorStream>(
          *loop_, connection_->context(),
          MonitoredSink{.name = sink, .index = index, .monitorSource = source, .description = {}},
          MonitorStream::Events{
              .confirmed =
                  [outcome, settled] {
                    outcome->confirmed = true;
                    settled->set_value();
                  },
              .fragment = [outcome](const void*,
                                    std::size_t bytes) { outcome->audioBytes += bytes; },
              .failed =
                  [outcome, settled](NSErrorRef error) {
                    outcome->failure = std::move(error);
                    if (!outcome->confirmed) settled->set_value();
                  },
          });
      const pa_sample_spec spec{.format = PA_SAMPLE_FLOAT32LE, .rate = 48000, .channels = 2};
      if (NSErrorRef error = stream_->open(spec, 10 * PA_USEC_PER_MSEC)) {
        outcome->failure = error;
        settled->set_value();
      }
    });
    EXPECT_EQ(settled->get_future().wait_for(10s), std::future_status::ready) << source;
    std::this_thread::sleep_for(300ms);
    Outcome seen;
    onLoop([&] {
      seen = *outcome;
      stream_.reset();
    });
    return seen;
  }

  std::unique_ptr<PulseLoop> loop_;
  std::unique_ptr<PulseConnection> connection_;
  std::unique_ptr<MonitorStream> stream_;
};

TEST_F(MonitorStreamOnServerTest, HandsOnAudioOnlyFromTheMonitorOfItsOwnSink) {
  struct Case {
    const char* source;
    bool accepted;
  };
  // with_server.py --sink speakers --sink other --microphone microphone
  const Case cases[] = {
      {"speakers.monitor", true},
      {"other.monitor", false},  // a monitor, but of another sink
      {"microphone", false},     // no monitor at all
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    const Outcome outcome = record("speakers", c.source);
    EXPECT_EQ(outcome.confirmed, c.accepted);
    if (c.accepted) {
      EXPECT_FALSE(outcome.failure) << outcome.failure->description();
      continue;
    }
    EXPECT_EQ(outcome.audioBytes, 0U);
    ASSERT_TRUE(outcome.failure);
    EXPECT_EQ(outcome.failure->code(), PA_ERR_NOTSUPPORTED) << outcome.failure->description();
  }
}

}  // namespace
