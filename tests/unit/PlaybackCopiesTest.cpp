// Which streams of the server's sinks are copies of audio already rendered into another sink,
// judged from what PulseAudio and PipeWire's pulse server report for each route a user loads
// (as listed by `pactl list` on both): the copies are left out, everything heard stays in.
#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <vector>

#include "platform/soundserver/PlaybackCopies.h"

namespace {

using Owner = PlaybackCopies::Owner;
using Input = PlaybackCopies::Input;

Owner module(std::uint32_t index) {
  return Owner{.module = index, .linkGroup = {}};
}
Input fromModule(const Owner& owner) {
  return Input{.client = PlaybackCopies::kNone, .owner = owner};
}

// The server before the route: two sinks of their own modules, their monitors, a microphone.
constexpr std::uint32_t kSpeakersMonitor = 100;
constexpr std::uint32_t kHeadsetMonitor = 101;
constexpr std::uint32_t kMicrophone = 102;

struct Route {
  const char* name;
  std::vector<std::pair<Owner, std::uint32_t>> sinks;       // the route's own sinks, monitors
  std::vector<std::pair<Owner, std::uint32_t>> recordings;  // its recordings, their sources
  bool recordsASink;                                        // as PipeWire says of them
  PlaybackCopies::Input input;                              // the stream it plays
  bool copy;
};

void PrintTo(const Route& route, std::ostream* out) {
  *out << route.name;
}

class PlaybackCopiesTest : public testing::TestWithParam<Route> {};

TEST_P(PlaybackCopiesTest, ARouteIsJudgedByWhatItsOwnerAlsoOwns) {
  const Route& route = GetParam();
  PlaybackCopies copies;
  copies.sinkSeen(1, module(11), kSpeakersMonitor);
  copies.sinkSeen(2, module(12), kHeadsetMonitor);
  std::uint32_t index = 50;
  for (const auto& [owner, monitor] : route.sinks) copies.sinkSeen(index++, owner, monitor);
  for (const auto& [owner, source] : route.recordings) {
    copies.recordingSeen(index++, owner, source, route.recordsASink);
  }
  EXPECT_EQ(copies.isCopy(route.input), route.copy);
}

const Owner kLoopbackModule = module(20);
const Owner kPipeWireLoopback{.module = 30, .linkGroup = "loopback-1-13"};
const Owner kPipeWireEchoCancel{.module = PlaybackCopies::kNone, .linkGroup = "echo-cancel-1"};

INSTANTIATE_TEST_SUITE_P(
    Routes, PlaybackCopiesTest,
    testing::Values(
        Route{"an application's stream",
              {},
              {},
              false,
              Input{.client = 7, .owner = module(9)},
              false},
        Route{"an application's stream, its protocol's module recording a monitor",
              {},
              {{module(9), kSpeakersMonitor}},
              false,
              Input{.client = 7, .owner = module(9)},
              false},
        Route{"PulseAudio, a loopback of a sink's monitor",
              {},
              {{kLoopbackModule, kSpeakersMonitor}},
              false,
              fromModule(kLoopbackModule),
              true},
        Route{"PulseAudio, a loopback of a microphone",
              {},
              {{kLoopbackModule, kMicrophone}},
              false,
              fromModule(kLoopbackModule),
              false},
        Route{"PulseAudio, a remapped, combined or echo-cancelling sink into its master",
              {{module(21), 103}},
              {{module(21), kMicrophone}},
              false,
              fromModule(module(21)),
              true},
        Route{"PipeWire, a loopback of a sink's monitor",
              {},
              {{kPipeWireLoopback, kSpeakersMonitor}},
              false,
              fromModule(kPipeWireLoopback),
              true},
        Route{"PipeWire, a loopback of a sink's monitor, not linked yet",
              {},
              {{kPipeWireLoopback, PlaybackCopies::kNone}},
              true,
              fromModule(kPipeWireLoopback),
              true},
        Route{"PipeWire, a loopback of a microphone, not linked yet",
              {},
              {{kPipeWireLoopback, PlaybackCopies::kNone}},
              false,
              fromModule(kPipeWireLoopback),
              false},
        Route{"PipeWire, a loopback of a microphone",
              {},
              {{kPipeWireLoopback, kMicrophone}},
              false,
              fromModule(kPipeWireLoopback),
              false},
        Route{"PipeWire, an echo canceller's playback, owned by no module",
              {{kPipeWireEchoCancel, 103}},
              {},
              false,
              fromModule(kPipeWireEchoCancel),
              true},
        Route{"a network receiver: a module's stream with nothing else of its own",
              {},
              {},
              false,
              fromModule(module(22)),
              false},
        Route{"a stream of no client and no owner", {}, {}, false, fromModule(Owner{}), false}),
    [](const testing::TestParamInfo<Route>& info) {
      std::string name;
      for (const char* c = info.param.name; *c != '\0'; ++c) {
        if (std::isalnum(static_cast<unsigned char>(*c)) != 0) name += *c;
      }
      return name;
    });

TEST(PlaybackCopiesChangesTest, AnInputIsJudgedAgainWhenARouteComesOrGoes) {
  PlaybackCopies copies;
  EXPECT_TRUE(copies.sinkSeen(1, module(11), kSpeakersMonitor));
  EXPECT_FALSE(copies.sinkSeen(1, module(11), kSpeakersMonitor)) << "only its volume";
  const Input loopback = fromModule(kLoopbackModule);
  EXPECT_FALSE(copies.isCopy(loopback)) << "its recording not known yet";
  EXPECT_TRUE(copies.recordingSeen(60, kLoopbackModule, kSpeakersMonitor, false));
  EXPECT_TRUE(copies.isCopy(loopback));
  EXPECT_EQ(copies.monitorOf(1), kSpeakersMonitor);
  EXPECT_TRUE(copies.sinkGone(1));
  EXPECT_FALSE(copies.isCopy(loopback)) << "what it records is a monitor no more";
  EXPECT_EQ(copies.monitorOf(1), std::nullopt);
  EXPECT_TRUE(copies.recordingGone(60));
  EXPECT_FALSE(copies.recordingGone(60));
}

}  // namespace
