// Test audio: a tone as plain numbers, and the same numbers packed as float32 the way the
// capture service and the media layer hold them.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/media/AVAudioPCMBuffer.h"
#include "platform/media/CMSampleBuffer.h"

// One vector per channel.
using ChannelSamples = std::vector<std::vector<float>>;

// Frames [first, first + frames) of a half-scale tone, the same on every channel.
ChannelSamples sineChannels(unsigned channels, std::size_t frames, double frequency = 440.0,
                            double rate = 48000.0, std::size_t first = 0);

// A sample as the capture service delivers it: one region, or one per channel when planar.
CMSampleBufferRef makeSampleBuffer(const ChannelSamples& samples, bool planar = false,
                                   double rate = 48000.0);

// The same, unpacked as the program unpacks it.
AVAudioPCMBufferRef makePCMBuffer(const ChannelSamples& samples, double rate = 48000.0);

// Every sample of a float32 PCM buffer, either layout, per channel.
ChannelSamples readPCMBuffer(const AVAudioPCMBuffer& buffer);

// 16-bit little-endian mono bytes as numbers in [-1, 1).
std::vector<float> decodeInt16(const std::vector<std::byte>& bytes);
