// Sums the audio of a sink's inputs, each read through its own record stream, into the one
// stream the sink itself would have played at full volume.
//
// The server renders every input of a sink in the same cycles, but hands each input's audio
// over on its own: on PulseAudio usually in one wake-up, on PipeWire's pulse server one
// wake-up per input, each at a phase of its own. So each input has a lane of its own, and a
// frame is mixed once every input that is sending sound has delivered it. An input in digital
// silence for `waitMicros` holds nothing back by more than `silenceSlackFrames`: it adds nothing to
// the sum. Nor does an input that stops sending (corked, ended, late): it is waited for only while
// it has delivered within `waitMicros`, or not at all once the caller says it went quiet.
//
// A lane the mix has gone past keeps its place: what it delivers for frames already mixed is
// dropped while it is digital silence (nothing is lost), so silent inputs at other phases
// never put the output ahead of the clock. Sound delivered for frames already mixed starts at
// the present instead, whole: late audio is never dropped and never moves the other inputs in
// time. An input heard for the first time, or again after `waitMicros` without a word, starts
// at the present too: at the first frame not yet mixed.
//
// An input that starts at the present with what queued while its stream started, or after
// being late, is ahead of the others: its audio waits for theirs, later by that lead. Once the
// lead has lasted `waitMicros`, digital silence at its head is dropped, which brings it back
// level at no cost; and a lead beyond `maxLeadFrames` (an input late again and again) is cut,
// oldest first, so that neither the delay nor the memory held can grow without bound.
//
// An input that starts at the present in the middle of a sound (a new stream whose first
// milliseconds went before the server linked its recording, a late input's sound moved to the
// present) is faded in over `fadeInFrames`, each channel from its own first sound (EntryFade):
// a sound that arrives whole, from silence, is left as it is.
//
// An input whose sink runs on a clock of its own is brought to the pace of the oldest input
// before it enters its lane (InputDrift), so that inputs of different sinks stay aligned for
// hours; inputs of the oldest one's sink keep theirs, untouched.
//
// Values are summed as they are, beyond full scale included: the conversion to 16 bits clips.
//
// Pure: times are microseconds on a monotonic clock, passed in by the caller.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/soundserver/EntryFade.h"
#include "platform/soundserver/InputDrift.h"

class InputMix {
 public:
  using Input = std::uint32_t;  // the server's index of the sink input
  struct Rule {
    std::uint32_t channels;     // samples per frame, interleaved
    std::uint32_t rate;         // frames per second; 0: each input taken at its own pace
    std::uint64_t waitMicros;   // how long an input that delivered nothing is still waited for
    std::size_t maxLeadFrames;  // the most an input may run ahead of the others
    // How far the mix may go past an input in digital silence that is still sending: one
    // hand-over of the server's, so that its phase delays no other input's sound.
    std::size_t silenceSlackFrames;
    // Audio that enters the mix in the middle of a sound is faded in over this many frames.
    std::size_t fadeInFrames;
  };

  explicit InputMix(Rule rule) : rule_(rule) {}

  // Audio that `input` delivered at `now`: interleaved samples, whole frames.
  void add(Input input, std::span<const float> samples, std::uint64_t now);
  // `frames` of silence from `input`: what the server leaves as a hole.
  void addSilence(Input input, std::size_t frames, std::uint64_t now);
  // The input sends nothing more for now (corked, gone, its stream dropped): the others no
  // longer wait for it; what it delivered is still mixed, in its place.
  void quiet(Input input);
  // The input went, but the rest of its audio may still come (a recording on a connection of
  // its own): what comes by `until` follows on in its place; the others wait for it no longer.
  void ending(Input input, std::uint64_t until);

  // Appends to `out` the frames due at `now`, mixed; answers how many.
  std::size_t mix(std::uint64_t now, std::vector<float>& out);
  // Appends every frame delivered so far, mixed, whatever is still awaited (the sink is no
  // longer recorded); the mix starts afresh.
  std::size_t flush(std::vector<float>& out);
  // When mix() may have frames by time alone: an input that holds the others back stops being
  // waited for. None while nothing is held back.
  std::optional<std::uint64_t> nextDeadline(std::uint64_t now) const;

 private:
  struct Lane {
    std::deque<std::vector<float>> blocks;  // as delivered; the front one partly mixed
    std::size_t frontOffset = 0;            // samples of the front block already mixed
    std::size_t frames = 0;                 // frames not yet mixed
    std::size_t behind = 0;                 // frames mixed past the lane's end, while empty
    std::uint64_t lastHeard = 0;
    std::optional<std::uint64_t> aheadSince;  // held back by the others since then
    std::optional<std::uint64_t> lastSound;   // its latest delivery of more than digital silence
    bool quiet = false;
    std::optional<std::uint64_t> endsBy;  // its input went; waited for until then at most
    std::optional<EntryFade> entry;       // fades its sound in where it enters in its middle
    std::unique_ptr<InputDrift> drift;    // its pace against the reference's
    std::uint64_t since = 0;              // when it was first heard
  };

  void append(Input input, std::vector<float> samples, std::uint64_t now);
  // The pace `input` is brought to: the oldest lane's, which keeps its own.
  std::optional<double> referenceMoved(Input input);
  bool waitedFor(const Lane& lane, std::uint64_t now) const;
  bool heardOf(const Lane& lane, std::uint64_t now) const;
  // Past this the lane's input is no longer waited for.
  std::uint64_t lastAwaited(const Lane& lane) const;
  // Frames at the head of `samples` that are digital silence.
  std::size_t silentFrames(std::span<const float> samples) const;
  std::size_t framesDue(std::uint64_t now) const;
  std::size_t emit(std::size_t frames, std::vector<float>& out);
  void levelLeads(std::uint64_t now);
  std::size_t leadingSilence(const Lane& lane) const;
  // Mixes the lane's next `frames` into `into`; drops them when `into` is null.
  void takeFrom(Lane& lane, std::size_t frames, float* into);

  Rule rule_;
  std::map<Input, Lane> lanes_;
  std::optional<Input> reference_;
};
