#include "platform/soundserver/InputMix.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <limits>
#include <utility>

void InputMix::add(Input input, std::span<const float> samples, std::uint64_t now) {
  append(input, std::vector<float>(samples.begin(), samples.end()), now);
}

void InputMix::addSilence(Input input, std::size_t frames, std::uint64_t now) {
  append(input, std::vector<float>(frames * rule_.channels, 0.0F), now);
}

void InputMix::append(Input input, std::vector<float> samples, std::uint64_t now) {
  if (rule_.channels == 0) return;
  samples.resize(samples.size() / rule_.channels * rule_.channels);
  // A lane heard for the first time picks up at the present by construction: every lane's
  // first frame not yet mixed is the mix's next frame.
  bool starts = !lanes_.contains(input);
  Lane& lane = lanes_[input];
  if (!lane.drift) {
    lane.drift = std::make_unique<InputDrift>(
        InputDrift::Rule{.channels = rule_.channels, .rate = rule_.rate});
    lane.entry.emplace(rule_.channels, rule_.fadeInFrames);
    lane.since = now;
  }
  // What it sends after going quiet, or after a wait without a word, does not follow on.
  if (lane.quiet || (!starts && now >= lane.lastHeard + rule_.waitMicros)) lane.drift->restart();
  samples = lane.drift->pass(std::move(samples), now, referenceMoved(input));
  const std::size_t frames = samples.size() / rule_.channels;
  lane.quiet = false;
  lane.lastHeard = now;
  const std::size_t silent = silentFrames(samples);
  if (silent < frames) lane.lastSound = now;
  std::size_t passed = 0;
  if (lane.behind > 0) {
    const std::size_t overlap = std::min(lane.behind, frames);
    passed = std::min(silent, overlap);
    // Silence for frames already mixed adds nothing; sound for them starts at the present.
    starts = passed < overlap;
    lane.behind = starts ? 0 : lane.behind - overlap;
  }
  if (passed == frames) return;
  samples.erase(samples.begin(),
                samples.begin() + static_cast<std::ptrdiff_t>(passed * rule_.channels));
  lane.entry->pass(samples, starts, now < lane.since + rule_.waitMicros);
  lane.frames += frames - passed;
  lane.blocks.push_back(std::move(samples));
}

std::optional<double> InputMix::referenceMoved(Input input) {
  const auto oldest = std::min_element(
      lanes_.begin(), lanes_.end(),
      [](const auto& a, const auto& b) { return a.second.since < b.second.since; });
  if (reference_ != oldest->first) {
    // Each lane holds to the new reference from where it is.
    reference_ = oldest->first;
    for (auto& [index, lane] : lanes_) {
      if (lane.drift) lane.drift->holdAnew();
    }
  }
  if (input == oldest->first || !oldest->second.drift) return std::nullopt;
  return oldest->second.drift->moved();
}

std::size_t InputMix::silentFrames(std::span<const float> samples) const {
  const auto sound =
      std::find_if(samples.begin(), samples.end(), [](float value) { return value != 0.0F; });
  return static_cast<std::size_t>(sound - samples.begin()) / rule_.channels;
}

void InputMix::quiet(Input input) {
  const auto found = lanes_.find(input);
  if (found == lanes_.end()) return;
  if (found->second.frames == 0) {
    lanes_.erase(found);
  } else {
    found->second.quiet = true;
  }
}

void InputMix::ending(Input input, std::uint64_t until) {
  const auto found = lanes_.find(input);
  if (found != lanes_.end()) found->second.endsBy = until;
}

bool InputMix::heardOf(const Lane& lane, std::uint64_t now) const {
  return !lane.quiet && now < lastAwaited(lane);
}

std::uint64_t InputMix::lastAwaited(const Lane& lane) const {
  const std::uint64_t wait = lane.lastHeard + rule_.waitMicros;
  return lane.endsBy ? std::min(wait, *lane.endsBy) : wait;
}

bool InputMix::waitedFor(const Lane& lane, std::uint64_t now) const {
  // A few silent blocks inside sound (a player that ran short) do not count as silence: the
  // input would lose its place to the others, and its sound after them would start late.
  return lane.lastSound && now < *lane.lastSound + rule_.waitMicros && heardOf(lane, now);
}

// Frames every input waited for has delivered, and no further than the slack past any silent
// input still sending; with none of either, all there are. A lane short of them keeps its
// place, behind.
std::size_t InputMix::framesDue(std::uint64_t now) const {
  std::size_t ready = std::numeric_limits<std::size_t>::max();
  std::size_t most = 0;
  for (const auto& [input, lane] : lanes_) {
    most = std::max(most, lane.frames);
    if (waitedFor(lane, now)) {
      ready = std::min(ready, lane.frames);
    } else if (heardOf(lane, now)) {
      // Silent, but sending: it holds nothing back by up to the slack, and past it keeps the
      // output to the pace at which it sends (no input is early for ever).
      const std::size_t reach = lane.frames + rule_.silenceSlackFrames;
      ready = std::min(ready, reach > lane.behind ? reach - lane.behind : 0);
    }
  }
  return std::min(ready, most);
}

std::size_t InputMix::mix(std::uint64_t now, std::vector<float>& out) {
  const std::size_t frames = emit(framesDue(now), out);
  levelLeads(now);
  // Lanes with nothing left whose input went quiet are forgotten; the same input heard again
  // starts afresh, at the present. One that is only late keeps its place: starting it afresh
  // would put what it sends next at the present, and the output ahead of the clock by its delay.
  std::erase_if(lanes_, [this, now](const auto& entry) {
    const Lane& lane = entry.second;
    return lane.frames == 0 && (lane.quiet || (lane.endsBy && now >= lastAwaited(lane)));
  });
  return frames;
}

std::size_t InputMix::flush(std::vector<float>& out) {
  std::size_t most = 0;
  for (const auto& [input, lane] : lanes_) most = std::max(most, lane.frames);
  const std::size_t frames = emit(most, out);
  lanes_.clear();
  return frames;
}

std::optional<std::uint64_t> InputMix::nextDeadline(std::uint64_t now) const {
  std::size_t most = 0;
  for (const auto& [input, lane] : lanes_) most = std::max(most, lane.frames);
  std::optional<std::uint64_t> deadline;
  for (const auto& [input, lane] : lanes_) {
    if (lane.frames >= most) continue;
    // A lane with sound is waited for until its last sound is a wait old; a silent one that
    // is still sending holds the others back until its last word is.
    std::uint64_t until = 0;
    if (waitedFor(lane, now)) {
      until = std::min(*lane.lastSound + rule_.waitMicros, lastAwaited(lane));
    } else if (heardOf(lane, now)) {
      until = lastAwaited(lane);
    } else {
      continue;
    }
    deadline = std::min(deadline.value_or(until), until);
  }
  return deadline;
}

// After mixing, an input still holding frames is ahead of one waited for that has none.
void InputMix::levelLeads(std::uint64_t now) {
  const bool held = std::any_of(lanes_.begin(), lanes_.end(), [&](const auto& entry) {
    return entry.second.frames == 0 && waitedFor(entry.second, now);
  });
  for (auto& [input, lane] : lanes_) {
    // The rest of an input that went quiet is mixed in its place, not dropped.
    if (!held || lane.frames == 0 || lane.quiet) {
      lane.aheadSince.reset();
      continue;
    }
    if (!lane.aheadSince) lane.aheadSince = now;
    // A lead within one turn of the server's (inputs handed over one after another) is not
    // one to level.
    if (now < *lane.aheadSince + rule_.waitMicros) continue;
    takeFrom(lane, leadingSilence(lane), nullptr);
    if (lane.frames > rule_.maxLeadFrames)
      takeFrom(lane, lane.frames - rule_.maxLeadFrames, nullptr);
    if (lane.frames == 0) lane.aheadSince.reset();
  }
}

std::size_t InputMix::leadingSilence(const Lane& lane) const {
  std::size_t samples = 0;
  std::size_t offset = lane.frontOffset;
  for (const std::vector<float>& block : lane.blocks) {
    const auto from = block.begin() + static_cast<std::ptrdiff_t>(offset);
    const auto sound = std::find_if(from, block.end(), [](float value) { return value != 0.0F; });
    samples += static_cast<std::size_t>(sound - from);
    if (sound != block.end()) break;
    offset = 0;
  }
  return samples / rule_.channels;
}

// Lanes shorter than `frames` are not waited for: the rest of their share is silence, and
// they fall behind by it.
std::size_t InputMix::emit(std::size_t frames, std::vector<float>& out) {
  if (frames == 0) return 0;
  const std::size_t from = out.size();
  out.resize(from + frames * rule_.channels, 0.0F);
  for (auto& [input, lane] : lanes_) {
    const std::size_t taken = std::min(frames, lane.frames);
    takeFrom(lane, taken, out.data() + from);
    lane.behind += frames - taken;
  }
  return frames;
}

void InputMix::takeFrom(Lane& lane, std::size_t frames, float* into) {
  lane.frames -= frames;
  std::size_t samples = frames * rule_.channels;
  while (samples > 0) {
    const std::vector<float>& block = lane.blocks.front();
    const std::size_t taken = std::min(samples, block.size() - lane.frontOffset);
    if (into != nullptr) {
      const auto first = block.begin() + static_cast<std::ptrdiff_t>(lane.frontOffset);
      std::transform(first, first + static_cast<std::ptrdiff_t>(taken), into, into, std::plus<>());
      into += taken;
    }
    samples -= taken;
    lane.frontOffset += taken;
    if (lane.frontOffset == block.size()) {
      lane.blocks.pop_front();
      lane.frontOffset = 0;
    }
  }
}
