// Converts PCM audio from one format to another: sample type, channel count and rate.
// Filter state carries over from one conversion to the next.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/foundation/NSError.h"
#include "platform/media/AVAudioPCMBuffer.h"

class RateStage;

enum AVAudioConverterInputStatus : long {
  AVAudioConverterInputStatus_HaveData = 0,
  AVAudioConverterInputStatus_NoDataNow = 1,
  AVAudioConverterInputStatus_EndOfStream = 2,
};

enum AVAudioConverterOutputStatus : long {
  AVAudioConverterOutputStatus_HaveData = 0,
  AVAudioConverterOutputStatus_InputRanDry = 1,
  AVAudioConverterOutputStatus_EndOfStream = 2,
  AVAudioConverterOutputStatus_Error = 3,
};

using AVAudioConverterInputBlock = std::function<AVAudioPCMBufferRef(
    AVAudioPacketCount inNumberOfPackets, AVAudioConverterInputStatus* outStatus)>;

class AVAudioConverter;
using AVAudioConverterRef = std::shared_ptr<AVAudioConverter>;

class AVAudioConverter {
 public:
  static constexpr double kMinSampleRate = 8000.0;
  static constexpr double kMaxSampleRate = 384000.0;
  static constexpr UInt32 kMaxChannels = 8;

  // Nothing when the formats cannot be converted: rates outside 8 to 384 kHz or not whole,
  // more than 8 channels, or channel counts that neither match nor have a mono side.
  static AVAudioConverterRef initFromFormat(const AVAudioFormatRef& fromFormat,
                                            const AVAudioFormatRef& toFormat);

  const AVAudioFormatRef& inputFormat() const { return inputFormat_; }
  const AVAudioFormatRef& outputFormat() const { return outputFormat_; }

  // Fills `outputBuffer` from its start, asking `inputBlock` for input as long as there is room,
  // until the block answers "no data now" (status InputRanDry) or "end of stream" (EndOfStream).
  // Input that does not fit is kept for the next call. Error (with `outError` set, when given)
  // for an output buffer of another format or input of another format.
  AVAudioConverterOutputStatus convertToBuffer(AVAudioPCMBuffer& outputBuffer, NSErrorRef* outError,
                                               const AVAudioConverterInputBlock& inputBlock);

  AVAudioConverter(AVAudioFormatRef fromFormat, AVAudioFormatRef toFormat,
                   std::unique_ptr<RateStage> rate);
  ~AVAudioConverter();
  AVAudioConverter(const AVAudioConverter&) = delete;
  AVAudioConverter& operator=(const AVAudioConverter&) = delete;

 private:
  bool passesThrough() const { return inputFormat_->isEqual(*outputFormat_); }
  AVAudioFrameCount deliverPending(AVAudioPCMBuffer& out, AVAudioFrameCount at);
  void absorb(const AVAudioPCMBufferRef& input);
  AVAudioPacketCount packetsFor(AVAudioFrameCount outputFrames) const;

  AVAudioFormatRef inputFormat_;
  AVAudioFormatRef outputFormat_;
  UInt32 workChannels_;
  std::unique_ptr<RateStage> rate_;   // none when the rates match
  std::vector<float> atInputRate_;    // input read into the working form
  std::vector<float> pending_;        // converted frames not yet delivered
  std::size_t pendingFrom_ = 0;       // first undelivered frame of pending_
  AVAudioPCMBufferRef pendingInput_;  // when passing through: input not yet delivered
  AVAudioFrameCount pendingInputFrom_ = 0;
};
