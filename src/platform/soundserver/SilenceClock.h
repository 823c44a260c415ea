// Keeps a recording level with the wall clock. Consumers downstream (recognisers, recorders)
// read the output as a continuous timeline, so time in which the server sends nothing (a
// switch of output device, a suspended sink, no sink at all) must still come out, as silence.
//
// The rule, in frames at the record rate, counted from the moment the recording starts:
//  - Real audio is handed on as it comes, even when it puts the count ahead of the clock (the
//    burst a new stream starts with, a device whose clock runs a little fast): dropping it
//    would lose what was played.
//  - Silence is added only once audio has stopped coming for `stallAfter` (long enough that
//    a server held up by a busy machine never gets a hole cut into its late audio), or at
//    once when nothing is playing that could send any, then up to one fragment short of the
//    clock, in whole fragments. Audio that resumes arrives a latency late, so it overlaps the
//    clock by at most that latency: time is never repeated by more than that, and never lost.
//  - Except audio for time already filled with silence: a server that was held still (a
//    starved machine, a stopped process) hands over what its sink rendered meanwhile all at
//    once when it goes on. Within `stallAfter` of the last silence, as much of the arriving
//    audio, oldest first, as would put the count ahead of the clock is skipped, up to the
//    silence added: the time is not handed on twice, and the output stays on the clock for
//    good. Later audio is the server's present, handed on whole as above; so is audio after
//    silence added while nothing was playing, for which no audio was on its way.
#pragma once

#include <cstdint>

class SilenceClock {
 public:
  struct Rule {
    std::uint32_t rate;              // frames per second
    std::uint32_t fragmentFrames;    // the unit silence is added in
    std::uint64_t stallAfterMicros;  // no audio for this long is a gap
  };

  explicit SilenceClock(Rule rule) : rule_(rule) {}

  // Times are microseconds on a monotonic clock.
  void start(std::uint64_t now);
  // Answers how many of the arriving frames, from the oldest on, to skip; the rest count as
  // handed on.
  std::uint64_t audioArrived(std::uint64_t frames, std::uint64_t now);
  // Whether audio has stopped coming for the rule's `stallAfter`.
  bool stalled(std::uint64_t now) const { return now >= lastAudio_ + rule_.stallAfterMicros; }
  // Frames of silence to hand on at `now` (whole fragments, possibly none), counted as
  // handed on. `nothingPlaying`: no audio is on its way, so there is no stall to wait out.
  std::uint64_t takeSilenceDue(std::uint64_t now, bool nothingPlaying = false);

 private:
  std::uint64_t framesDueAt(std::uint64_t now) const;

  Rule rule_;
  std::uint64_t origin_ = 0;
  std::uint64_t lastAudio_ = 0;
  std::uint64_t handedOn_ = 0;
  std::uint64_t lastSilence_ = 0;
  // Silence added that audio arriving late for the same time replaces.
  std::uint64_t silenceToOverlap_ = 0;
};
