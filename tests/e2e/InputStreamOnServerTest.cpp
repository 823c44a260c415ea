// The per-input record stream's own guards, against a real private server that
// scripts/with_server.py starts: whatever the stream lands on, it hands on audio only once the
// server has said it is attached to its input and that is the monitor of its input's sink.
#include <gtest/gtest.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/proplist.h>
#include <pulse/timeval.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/soundserver/InputStream.h"
#include "platform/soundserver/PulseConnection.h"
#include "platform/soundserver/PulseLoop.h"

namespace {

using namespace std::chrono_literals;

// Written on the loop thread only; read once the stream is gone.
struct Outcome {
  bool confirmed = false;
  std::size_t audioBytes = 0;
  NSErrorRef failure;
};

class InputStreamOnServerTest : public ::testing::Test {
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
      const auto lock = loop_->lock();
      loop_->post([&] {
        work();
        done.set_value();
      });
    }
    done.get_future().wait();
  }

  // The index of the monitor of sink `name`.
  std::uint32_t monitorOf(const char* name) {
    std::promise<std::uint32_t> found;
    onLoop([&] {
      pa_operation_unref(pa_context_get_sink_info_by_name(
          connection_->context(), name,
          [](pa_context*, const pa_sink_info* info, int eol, void* answer) {
            if (eol > 0) return;
            static_cast<std::promise<std::uint32_t>*>(answer)->set_value(
                info != nullptr ? info->monitor_source : PA_INVALID_INDEX);
          },
          &found));
    });
    const std::uint32_t answer = found.get_future().get();
    EXPECT_NE(answer, PA_INVALID_INDEX) << name;
    return answer;
  }

  // The inputs the server lists, by media name.
  std::map<std::string, std::uint32_t> inputs() {
    std::pair<std::map<std::string, std::uint32_t>, std::promise<void>> listed;
    onLoop([&] {
      pa_operation_unref(pa_context_get_sink_input_info_list(
          connection_->context(),
          [](pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
            auto& [names, done] = *static_cast<decltype(listed)*>(userdata);
            if (eol != 0) return done.set_value();
            if (const char* name = pa_proplist_gets(info->proplist, "media.name")) {
              names[name] = info->index;
            }
          },
          &listed));
    });
    listed.second.get_future().wait();
    return listed.first;
  }

  // A stream for input `input`, connected to `source` (the server's pick if null), told the
  // monitor of the input's sink (if known), given 0.5 s.
  std::shared_ptr<Outcome> record(std::uint32_t input, const char* source,
                                  std::optional<std::uint32_t> inputMonitor) {
    auto outcome = std::make_shared<Outcome>();
    std::unique_ptr<InputStream> stream;
    onLoop([&] {
      stream = std::make_unique<InputStream>(
          *loop_, connection_->context(), input,
          InputStream::Events{
              .audio = [outcome](const void*, std::size_t n) { outcome->audioBytes += n; },
              .caughtUp = [] {},
              .failed = [outcome](NSErrorRef error) { outcome->failure = std::move(error); }});
      const pa_sample_spec sampleSpec{.format = PA_SAMPLE_FLOAT32LE, .rate = 48000, .channels = 2};
      outcome->failure = stream->open(sampleSpec, 10 * PA_USEC_PER_MSEC, source);
      if (inputMonitor) stream->inputConfirmed(*inputMonitor);
    });
    std::this_thread::sleep_for(500ms);
    onLoop([&] {
      outcome->confirmed = stream->confirmed();
      stream.reset();
    });
    return outcome;
  }

  std::unique_ptr<PulseLoop> loop_;
  std::unique_ptr<PulseConnection> connection_;
};

TEST_F(InputStreamOnServerTest, HandsOnAudioOnlyWhenAttachedToItsInputOnItsSinksMonitor) {
  // with_server.py --keep-awake --sink speakers --sink other --microphone microphone: a
  // player in each sink, player-0 in speakers and player-1 in other.
  const std::uint32_t speakers = monitorOf("speakers"), other = monitorOf("other");
  auto listed = inputs();
  ASSERT_TRUE(listed.contains("player-0") && listed.contains("player-1"));
  const std::uint32_t here = listed["player-0"], there = listed["player-1"];
  struct Case {
    const char* what;
    std::uint32_t input;
    const char* source;
    std::optional<std::uint32_t> inputMonitor;  // what the owner saw of the input
    bool accepted;
  };
  const Case cases[] = {
      {"its input, on the monitor the server picks", here, nullptr, speakers, true},
      {"its input, on its sink's monitor", here, "speakers.monitor", speakers, true},
      {"its input not yet seen on a sink", here, nullptr, std::nullopt, false},
      {"an input of another sink", there, "speakers.monitor", other, false},
      {"on a microphone", here, "microphone", speakers, false},
      {"its input seen moved to another sink", here, nullptr, other, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto outcome = record(c.input, c.source, c.inputMonitor);
    EXPECT_EQ(outcome->confirmed, c.accepted);
    EXPECT_EQ(outcome->audioBytes > 0, c.accepted) << outcome->audioBytes;
    if (c.accepted && outcome->failure) ADD_FAILURE() << outcome->failure->description();
  }
}

}  // namespace
