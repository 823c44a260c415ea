#include "platform/media/AVAudioConverter.h"

#include <algorithm>
#include <cmath>

#include "platform/media/conversion/RateStage.h"
#include "platform/media/conversion/SampleCoding.h"

namespace {

bool convertibleRate(double rate) {
  return rate >= AVAudioConverter::kMinSampleRate && rate <= AVAudioConverter::kMaxSampleRate &&
         std::floor(rate) == rate;
}

bool convertibleChannels(UInt32 from, UInt32 to) {
  if (from > AVAudioConverter::kMaxChannels || to > AVAudioConverter::kMaxChannels) return false;
  return from == to || from == 1 || to == 1;
}

NSErrorRef conversionError(const char* message) {
  return NSError::errorWithDomain("com.apple.coreaudio.avfaudio", -50, message);
}

}  // namespace

AVAudioConverterRef AVAudioConverter::initFromFormat(const AVAudioFormatRef& fromFormat,
                                                     const AVAudioFormatRef& toFormat) {
  if (!fromFormat || !toFormat) return nullptr;
  if (fromFormat->commonFormat() == AVAudioOtherFormat ||
      toFormat->commonFormat() == AVAudioOtherFormat) {
    return nullptr;
  }
  if (!convertibleRate(fromFormat->sampleRate()) || !convertibleRate(toFormat->sampleRate()) ||
      !convertibleChannels(fromFormat->channelCount(), toFormat->channelCount())) {
    return nullptr;
  }
  std::unique_ptr<RateStage> rate;
  if (fromFormat->sampleRate() != toFormat->sampleRate()) {
    rate = makeRateStage(std::min(fromFormat->channelCount(), toFormat->channelCount()),
                         static_cast<std::uint32_t>(fromFormat->sampleRate()),
                         static_cast<std::uint32_t>(toFormat->sampleRate()));
    if (!rate) return nullptr;
  }
  return std::make_shared<AVAudioConverter>(fromFormat, toFormat, std::move(rate));
}

AVAudioConverter::AVAudioConverter(AVAudioFormatRef fromFormat, AVAudioFormatRef toFormat,
                                   std::unique_ptr<RateStage> rate)
    : inputFormat_(std::move(fromFormat)),
      outputFormat_(std::move(toFormat)),
      workChannels_(std::min(inputFormat_->channelCount(), outputFormat_->channelCount())),
      rate_(std::move(rate)) {}

AVAudioConverter::~AVAudioConverter() = default;

AVAudioConverterOutputStatus AVAudioConverter::convertToBuffer(
    AVAudioPCMBuffer& outputBuffer, NSErrorRef* outError,
    const AVAudioConverterInputBlock& inputBlock) {
  auto fail = [outError](const char* message) {
    if (outError != nullptr) *outError = conversionError(message);
    return AVAudioConverterOutputStatus_Error;
  };
  if (!outputBuffer.format()->isEqual(*outputFormat_)) {
    return fail("output buffer format differs from the converter's output format");
  }
  outputBuffer.setFrameLength(outputBuffer.frameCapacity());
  AVAudioFrameCount filled = deliverPending(outputBuffer, 0);
  AVAudioConverterOutputStatus status = AVAudioConverterOutputStatus_HaveData;
  while (filled < outputBuffer.frameCapacity()) {
    AVAudioConverterInputStatus inputStatus = AVAudioConverterInputStatus_NoDataNow;
    const AVAudioPCMBufferRef input =
        inputBlock(packetsFor(outputBuffer.frameCapacity() - filled), &inputStatus);
    if (inputStatus == AVAudioConverterInputStatus_EndOfStream) {
      status = AVAudioConverterOutputStatus_EndOfStream;
      break;
    }
    // An empty buffer counts as no data, so a block that keeps handing one over cannot spin.
    if (inputStatus != AVAudioConverterInputStatus_HaveData || !input ||
        input->frameLength() == 0) {
      if (inputStatus == AVAudioConverterInputStatus_HaveData && !input) {
        outputBuffer.setFrameLength(filled);
        return fail("input block reported data but supplied no buffer");
      }
      status = AVAudioConverterOutputStatus_InputRanDry;
      break;
    }
    if (!input->format()->isEqual(*inputFormat_)) {
      outputBuffer.setFrameLength(filled);
      return fail("input buffer format differs from the converter's input format");
    }
    absorb(input);
    filled += deliverPending(outputBuffer, filled);
  }
  outputBuffer.setFrameLength(filled);
  return status;
}

void AVAudioConverter::absorb(const AVAudioPCMBufferRef& input) {
  if (passesThrough()) {
    pendingInput_ = input;
    pendingInputFrom_ = 0;
    return;
  }
  pending_.clear();
  pendingFrom_ = 0;
  if (!rate_) {
    readFrames(*input, workChannels_, pending_);
    return;
  }
  atInputRate_.clear();
  readFrames(*input, workChannels_, atInputRate_);
  rate_->process(atInputRate_.data(), input->frameLength(), pending_);
}

AVAudioFrameCount AVAudioConverter::deliverPending(AVAudioPCMBuffer& out, AVAudioFrameCount at) {
  const AVAudioFrameCount room = out.frameCapacity() - at;
  if (pendingInput_) {
    const AVAudioFrameCount left = pendingInput_->frameLength() - pendingInputFrom_;
    const AVAudioFrameCount count = std::min(room, left);
    copyFrames(*pendingInput_, pendingInputFrom_, out, at, count);
    pendingInputFrom_ += count;
    if (pendingInputFrom_ == pendingInput_->frameLength()) pendingInput_.reset();
    return count;
  }
  const std::size_t left = pending_.size() / workChannels_ - pendingFrom_;
  const auto count = static_cast<AVAudioFrameCount>(std::min<std::size_t>(room, left));
  writeFrames(pending_.data() + pendingFrom_ * workChannels_, workChannels_, count, out, at);
  pendingFrom_ += count;
  return count;
}

AVAudioPacketCount AVAudioConverter::packetsFor(AVAudioFrameCount outputFrames) const {
  const double frames =
      std::ceil(outputFrames * inputFormat_->sampleRate() / outputFormat_->sampleRate());
  return static_cast<AVAudioPacketCount>(std::min(frames, 4294967295.0));
}
