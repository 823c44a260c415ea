// The capture service's interface: shareable content, displays, content filters, stream
// configurations and streams, with the two roles a stream's client takes on.
//
// The service behind it is chosen at link time: the program links the sound-server service;
// tests link a scripted one. Either supplies SCCaptureService::shared().
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/NSError.h"
#include "platform/media/CMSampleBuffer.h"
#include "platform/media/CMTime.h"

class SCStream;
using SCStreamRef = std::shared_ptr<SCStream>;

enum SCStreamOutputType : long {
  SCStreamOutputTypeScreen = 0,
  SCStreamOutputTypeAudio = 1,
};

class SCDisplay {
 public:
  SCDisplay(std::uint32_t displayID, std::string name)
      : displayID_(displayID), name_(std::move(name)) {}
  std::uint32_t displayID() const { return displayID_; }
  // The service's own name for what the display stands for.
  const std::string& name() const { return name_; }

 private:
  std::uint32_t displayID_;
  std::string name_;
};
using SCDisplayRef = std::shared_ptr<const SCDisplay>;

class SCRunningApplication {};
class SCWindow {};

class SCShareableContent;
using SCShareableContentRef = std::shared_ptr<const SCShareableContent>;

class SCShareableContent {
 public:
  using CompletionHandler = std::function<void(SCShareableContentRef, NSErrorRef)>;

  // Asks the service what can be captured; the completion runs once, on a thread of the
  // service's, with content or with an error.
  static void getShareableContentExcludingDesktopWindows(bool excludingDesktopWindows,
                                                         bool onScreenWindowsOnly,
                                                         CompletionHandler completionHandler);

  explicit SCShareableContent(std::vector<SCDisplayRef> displays)
      : displays_(std::move(displays)) {}
  const std::vector<SCDisplayRef>& displays() const { return displays_; }

 private:
  std::vector<SCDisplayRef> displays_;
};

class SCContentFilter {
 public:
  static std::shared_ptr<const SCContentFilter> initWithDisplay(
      SCDisplayRef display,
      const std::vector<std::shared_ptr<const SCRunningApplication>>& excludingApplications,
      const std::vector<std::shared_ptr<const SCWindow>>& exceptingWindows);

  SCContentFilter(SCDisplayRef display, std::size_t excludedApplications,
                  std::size_t exceptedWindows)
      : display_(std::move(display)),
        excludedApplications_(excludedApplications),
        exceptedWindows_(exceptedWindows) {}
  const SCDisplayRef& display() const { return display_; }
  std::size_t excludedApplicationCount() const { return excludedApplications_; }
  std::size_t exceptedWindowCount() const { return exceptedWindows_; }

 private:
  SCDisplayRef display_;
  std::size_t excludedApplications_;
  std::size_t exceptedWindows_;
};
using SCContentFilterRef = std::shared_ptr<const SCContentFilter>;

class SCStreamConfiguration {
 public:
  static std::shared_ptr<SCStreamConfiguration> init() {
    return std::make_shared<SCStreamConfiguration>();
  }

  void setCapturesAudio(bool value) { capturesAudio_ = value; }
  void setSampleRate(long value) { sampleRate_ = value; }
  void setChannelCount(long value) { channelCount_ = value; }
  void setWidth(std::size_t value) { width_ = value; }
  void setHeight(std::size_t value) { height_ = value; }
  void setMinimumFrameInterval(CMTime value) { minimumFrameInterval_ = value; }
  void setShowsCursor(bool value) { showsCursor_ = value; }

  bool capturesAudio() const { return capturesAudio_; }
  long sampleRate() const { return sampleRate_; }
  long channelCount() const { return channelCount_; }
  std::size_t width() const { return width_; }
  std::size_t height() const { return height_; }
  CMTime minimumFrameInterval() const { return minimumFrameInterval_; }
  bool showsCursor() const { return showsCursor_; }

 private:
  // The service's defaults.
  bool capturesAudio_ = false;
  long sampleRate_ = 48000;
  long channelCount_ = 2;
  std::size_t width_ = 1920;
  std::size_t height_ = 1080;
  CMTime minimumFrameInterval_ = CMTime{0, 0, 0, 0};
  bool showsCursor_ = true;
};
using SCStreamConfigurationRef = std::shared_ptr<const SCStreamConfiguration>;

// Receives a stream's samples, on the queue given when it was added.
class SCStreamOutput {
 public:
  virtual ~SCStreamOutput() = default;
  virtual void streamDidOutputSampleBuffer(SCStream& stream, const CMSampleBufferRef& sampleBuffer,
                                           SCStreamOutputType type) = 0;
};

// Hears that a stream stopped, on a thread of the service's.
class SCStreamDelegate {
 public:
  virtual ~SCStreamDelegate() = default;
  virtual void streamDidStopWithError(SCStream& stream, const NSErrorRef& error) = 0;
};

class SCStream : public std::enable_shared_from_this<SCStream> {
 public:
  using StartCompletionHandler = std::function<void(NSErrorRef)>;

  static SCStreamRef initWithFilter(SCContentFilterRef filter,
                                    SCStreamConfigurationRef configuration,
                                    std::weak_ptr<SCStreamDelegate> delegate);

  // Registers `output` for samples of `type`, delivered on `sampleHandlerQueue`. False, with
  // `error` set when given, when the service refuses.
  bool addStreamOutput(const std::shared_ptr<SCStreamOutput>& output, SCStreamOutputType type,
                       DispatchQueueRef sampleHandlerQueue, NSErrorRef* error);
  // Starts capture; the completion runs once, on a thread of the service's.
  void startCaptureWithCompletionHandler(StartCompletionHandler completionHandler);

  const SCContentFilterRef& filter() const { return filter_; }
  const SCStreamConfigurationRef& configuration() const { return configuration_; }

  // Audio a stream keeps for an output that has fallen behind (a stalled reader downstream),
  // counted in bytes of 48 kHz stereo float32: 20 seconds. Beyond it the oldest is dropped.
  static constexpr double kMaxBacklogSeconds = 20.0;
  static constexpr std::size_t kMaxBacklogBytes =
      static_cast<std::size_t>(kMaxBacklogSeconds * 48000 * 2 * sizeof(float));
  // A backlog that grew past this before draining hands its freed pages back to the system
  // once drained (one second of audio): a long run must not keep a stall's peak for good.
  static constexpr std::size_t kReleaseAfterBacklogBytes = kMaxBacklogBytes / 20;

  // For the service: hands a sample to the output registered for its type, on that output's
  // queue, in call order, without waiting for the output. False when no output is registered
  // for the type.
  bool deliverSampleBuffer(const CMSampleBufferRef& sampleBuffer, SCStreamOutputType type);
  // Samples dropped so far because an output's backlog was full.
  std::uint64_t droppedSampleCount() const;
  // For the service: tells the delegate, on the calling thread, that the stream stopped.
  void reportStop(const NSErrorRef& error);

  SCStream(SCContentFilterRef filter, SCStreamConfigurationRef configuration,
           std::weak_ptr<SCStreamDelegate> delegate);

 private:
  // An output, its queue, and the samples waiting for it. One block at a time drains the
  // backlog on the queue, so a slow output holds samples here, bounded, not in the queue.
  struct Registration {
    std::weak_ptr<SCStreamOutput> output;
    DispatchQueueRef queue;
    std::deque<CMSampleBufferRef> backlog;
    std::size_t backlogBytes = 0;
    std::size_t peakBacklogBytes = 0;  // since the backlog was last empty
    bool draining = false;
  };

  void drainBacklog(SCStreamOutputType type);

  SCContentFilterRef filter_;
  SCStreamConfigurationRef configuration_;
  std::weak_ptr<SCStreamDelegate> delegate_;
  mutable std::mutex outputsMutex_;
  std::map<SCStreamOutputType, Registration> outputs_;
  std::uint64_t dropped_ = 0;
};

// The service behind the interface above; one per process, chosen at link time.
class SCCaptureService {
 public:
  virtual ~SCCaptureService() = default;

  static SCCaptureService& shared();

  virtual void getShareableContent(SCShareableContent::CompletionHandler completionHandler) = 0;
  // Nothing when the service accepts an output of `type` for `stream`, an error otherwise.
  virtual NSErrorRef validateStreamOutput(const SCStream& stream, SCStreamOutputType type) = 0;
  virtual void startCapture(const SCStreamRef& stream,
                            SCStream::StartCompletionHandler completionHandler) = 0;
};
