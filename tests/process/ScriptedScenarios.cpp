// Scripts the capture service of sysaudio-scripted before main() runs, from the scenario named
// in SYSAUDIO_SCENARIO. Only this test double reads the environment; the program reads none.
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <thread>

#include "support/SampleBuffers.h"
#include "support/ScriptedCaptureService.h"

namespace {

using Step = ScriptedCaptureService::Step;

ScriptedCaptureService& service() {
  return ScriptedCaptureService::instance();
}

// Delivers tone samples every 10 ms from a thread of the service's, `count` of them or for
// ever, then reports a stop when asked to.
void deliverTone(std::size_t count, bool stopAfterwards) {
  service().setOnCaptureStarted([count, stopAfterwards](const SCStreamRef& stream) {
    std::thread([stream, count, stopAfterwards] {
      for (std::size_t i = 0; i < count; ++i) {
        ScriptedCaptureService::deliver(stream, captureToneSample(i));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (stopAfterwards) service().reportStop(stream, scriptedError(-3805, "Connection lost"));
    }).detach();
  });
}

bool applyScenario(const char* name) {
  const std::map<std::string, void (*)()> scenarios = {
      {"capturing", [] { deliverTone(SIZE_MAX, false); }},
      {"start-fails",
       [] { service().failStep(Step::kCaptureStart, scriptedError(-3802, "Start failed")); }},
      {"no-display", [] { service().setDisplays({}); }},
      {"start-never-completes", [] { service().holdCompletion(Step::kCaptureStart); }},
      {"stops-with-error", [] { deliverTone(3, true); }},
  };
  const auto found = scenarios.find(name == nullptr ? "" : name);
  if (found == scenarios.end()) {
    static constexpr char kUnknown[] = "sysaudio-scripted: unknown SYSAUDIO_SCENARIO\n";
    [[maybe_unused]] const auto ignored = ::write(STDERR_FILENO, kUnknown, sizeof kUnknown - 1);
    _exit(2);
  }
  found->second();
  return true;
}

[[maybe_unused]] const bool kScenarioApplied = applyScenario(std::getenv("SYSAUDIO_SCENARIO"));

}  // namespace
