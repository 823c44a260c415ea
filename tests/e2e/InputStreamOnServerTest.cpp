// The per-input record stream's own guards, against a real private server that
// scripts/with_server.py starts: whatever the stream lands on, it hands on audio only once the
// server has said it is attached to its input and the input plays into the sink recorded.
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

  RecordedSink sink(const char* name) {
    std::promise<RecordedSink> found;
    onLoop([&] {
      pa_operation_unref(pa_context_get_sink_info_by_name(
          connection_->context(), name,
          [](pa_context*, const pa_sink_info* info, int eol, void* answer) {
            if (eol > 0) return;
            RecordedSink sink;
            if (info != nullptr) {
              sink = {info->name, info->index, info->monitor_source_name, info->monitor_source, {}};
            }
            static_cast<std::promise<RecordedSink>*>(answer)->set_value(sink);
          },
          &found));
    });
    RecordedSink answer = found.get_future().get();
    EXPECT_NE(answer.index, PA_INVALID_INDEX) << name;
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

  // A stream made for `recorded` and input `input`, connected to `source`, given 0.5 s.
  std::shared_ptr<Outcome> record(RecordedSink recorded, std::uint32_t input,
                                  const std::string& source, bool inputConfirmed) {
    auto outcome = std::make_shared<Outcome>();
    recorded.monitorSource = source;
    std::unique_ptr<InputStream> stream;
    onLoop([&] {
      stream = std::make_unique<InputStream>(
          *loop_, connection_->context(), recorded, input,
          InputStream::Events{
              .audio = [outcome](const void*, std::size_t n) { outcome->audioBytes += n; },
              .caughtUp = [] {},
              .failed = [outcome](NSErrorRef error) { outcome->failure = std::move(error); }});
      const pa_sample_spec sampleSpec{.format = PA_SAMPLE_FLOAT32LE, .rate = 48000, .channels = 2};
      outcome->failure = stream->open(sampleSpec, 10 * PA_USEC_PER_MSEC);
      if (inputConfirmed) stream->inputConfirmed();
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

TEST_F(InputStreamOnServerTest, HandsOnAudioOnlyWhenAttachedToAnInputOfTheSinkRecorded) {
  // with_server.py --keep-awake --sink speakers --sink other --microphone microphone: a
  // player in each sink, player-0 in speakers and player-1 in other.
  const RecordedSink speakers = sink("speakers"), other = sink("other");
  RecordedSink otherMonitorClaimed = speakers;  // the stream lands on another monitor
  otherMonitorClaimed.monitorSourceIndex = other.monitorSourceIndex;
  auto listed = inputs();
  ASSERT_TRUE(listed.contains("player-0") && listed.contains("player-1"));
  const std::uint32_t here = listed["player-0"], there = listed["player-1"];
  struct Case {
    const char* what;
    RecordedSink recorded;
    std::uint32_t input;
    std::string source;
    bool inputConfirmed, accepted;
  };
  const Case cases[] = {
      {"its input, on the sink's monitor", speakers, here, "speakers.monitor", true, true},
      {"its input not yet seen on the sink", speakers, here, "speakers.monitor", false, false},
      {"an input of another sink", speakers, there, "speakers.monitor", true, false},
      {"on a microphone", speakers, here, "microphone", true, false},
      {"on the monitor of another sink", otherMonitorClaimed, here, "speakers.monitor", true,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto outcome = record(c.recorded, c.input, c.source, c.inputConfirmed);
    EXPECT_EQ(outcome->confirmed, c.accepted);
    EXPECT_EQ(outcome->audioBytes > 0, c.accepted) << outcome->audioBytes;
    if (c.accepted && outcome->failure) ADD_FAILURE() << outcome->failure->description();
  }
}

}  // namespace
