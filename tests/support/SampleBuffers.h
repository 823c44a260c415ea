// Test audio: tones as plain numbers, and the same numbers packed the way the capture service
// and the media layer hold them (CMSampleBuffers, AVAudioPCMBuffers) in any common format.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/media/AVAudioPCMBuffer.h"
#include "platform/media/CMSampleBuffer.h"

// One vector per channel, values in [-1, 1).
using ChannelSamples = std::vector<std::vector<double>>;

struct Tone {
  double frequency = 440.0;
  double amplitude = 0.5;
  double sampleRate = 48000.0;
};

// `frames` frames of `tone` starting at frame `firstFrame`, the same on every channel.
ChannelSamples sineChannels(const Tone& tone, unsigned channels, std::size_t frames,
                            std::size_t firstFrame = 0);

// Frames [first, first + count) of every channel.
ChannelSamples sliceFrames(const ChannelSamples& samples, std::size_t first, std::size_t count);

// The record for packed native-endian PCM, written out independently of AVAudioFormat.
AudioStreamBasicDescription describePCM(AVAudioCommonFormat type, double rate, unsigned channels,
                                        bool interleaved);

// The samples encoded as `type`: one region holding all channels when interleaved, one region
// per channel otherwise.
std::vector<CMBlockBuffer::Region> encodeRegions(const ChannelSamples& samples,
                                                 AVAudioCommonFormat type, bool interleaved);

struct SampleLayout {
  AVAudioCommonFormat type = AVAudioPCMFormatFloat32;
  double sampleRate = 48000.0;
  bool interleaved = true;
};

// A sample as the capture service delivers it.
CMSampleBufferRef makeSampleBuffer(const ChannelSamples& samples, const SampleLayout& layout);

// The 480-frame 48 kHz stereo float32 tone sample number `index` of an endless tone.
CMSampleBufferRef captureToneSample(std::size_t index);

// A PCM buffer of the given layout holding `samples`, frame length set.
AVAudioPCMBufferRef makePCMBuffer(const ChannelSamples& samples, const SampleLayout& layout);

// Every sample of a PCM buffer (any common format, any layout) as numbers, per channel.
ChannelSamples readPCMBuffer(const AVAudioPCMBuffer& buffer);

// 16-bit little-endian mono bytes as numbers in [-1, 1).
std::vector<double> decodeInt16(const std::vector<std::byte>& bytes);
