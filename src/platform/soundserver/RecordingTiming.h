// How a recording paces itself and how long it waits for what: the one place these figures
// live, apart from the service, so that the pure pieces and their tests use them as they are.
// Durations are microseconds.
#pragma once

#include <cstdint>

#include "platform/soundserver/RetryRule.h"

// What the program asks for: blocks of 10 ms suit recognisers reading 10 to 30 ms frames at
// about one wake-up per fragment. Other sizes are built only to measure them side by side.
#ifndef SYSAUDIO_FRAGMENT_MILLIS
#define SYSAUDIO_FRAGMENT_MILLIS 10
#endif

struct RecordingTiming {
  static constexpr std::uint64_t kMilli = 1000;
  static constexpr std::uint64_t kSecond = 1000 * kMilli;

  // Listing the server's sinks: a server that accepts the connection but never answers must
  // not hold the program for good.
  std::uint64_t contentTimeout = 5 * kSecond;
  // One try; capture not running by its limit counts as failed to start.
  RetryRule::Policy start{.firstAtOnce = true,
                          .retries = false,
                          .shortestWait = 0,
                          .longestWait = 0,
                          .giveUpAfter = 10 * kSecond};
  // The fragment asked of the server, as a duration.
  std::uint64_t fragment = std::uint64_t{SYSAUDIO_FRAGMENT_MILLIS} * kMilli;
  // No audio for this long is a gap, filled with silence. On a loaded machine a server without
  // real-time scheduling (PipeWire's pulse server) hands over a few hundred milliseconds of
  // audio late, all at once: a shorter wait cut silence into the middle of that audio. Real
  // gaps are still filled up to the clock, only later.
  std::uint64_t stallAfter = 500 * kMilli;
  // How often the loop looks for a gap while audio flows, and asks where each input plays.
  // Each look wakes the loop thread; a gap only counts after half a second, so ten looks a
  // second are plenty.
  std::uint64_t gapCheck = 100 * kMilli;
  // How long the mix waits for an input that has sent nothing before going on without it.
  // Inputs of one sink are rendered in the same cycles, but PipeWire hands over the stream of
  // a player with a long buffer in bursts some 21 ms apart, and a loaded machine makes it
  // skip cycles (with recordings sharing one connection it also held them back 100-550 ms,
  // which each recording's own connection ended); an input is told corked or gone by the
  // server, so this is only the most one that stopped without a word holds the others back.
  // Shorter, a late input got holes cut into its sound (at 100 ms: 4 of 6 runs of the
  // unloaded-sink test, recordings then sharing a connection).
  std::uint64_t inputWait = 25 * std::uint64_t{SYSAUDIO_FRAGMENT_MILLIS} * kMilli;
  // How long an input's recording is still read, and waited for, after the server said the
  // input went, on PipeWire: its last audio comes on the recording's own connection, maybe
  // after that word (PipeWire 0.3.65 ends the recording a few milliseconds later; 1.4 never).
  std::uint64_t inputTail = 50 * kMilli;
  // The most an input may run ahead of the others (see InputMix). Far past what a new stream
  // starts with (PipeWire hands over up to a few hundred milliseconds at once): only an input
  // late again and again gets this far ahead, and only then is its sound cut.
  std::uint64_t inputLead = 2 * kSecond;
  // What a sound that enters the mix in its middle is faded in over: short enough to keep
  // the sound, long enough that its step leaves no click below a few kilohertz. At 5 ms the
  // fade cost a cut sound some 3 ms of its energy on top of the 10 ms PulseAudio renders before
  // a new stream's recording is linked (a 120 ms sound kept 89 %); 2 ms costs about 1 ms and
  // leaves a click below 2 kHz no louder (80 dB or more under a tone, as at 5 ms).
  std::uint64_t fadeIn = 2 * kMilli;
  // A default sink that vanishes as it is looked up is looked for again, soon at first; a
  // sink going comes with events, not through these.
  RetryRule::Policy findSink{.firstAtOnce = false,
                             .retries = true,
                             .shortestWait = 100 * kMilli,
                             .longestWait = 5 * kSecond,
                             .giveUpAfter = std::nullopt};
  // A server restarted (by hand, by an upgrade, after a crash) is back within a second or
  // two: the first tries come quickly, later ones once a second, and ten seconds without one
  // is a server that is not coming back; that ends the capture.
  RetryRule::Policy reconnect{.firstAtOnce = true,
                              .retries = true,
                              .shortestWait = 100 * kMilli,
                              .longestWait = 1 * kSecond,
                              .giveUpAfter = 10 * kSecond};
};
