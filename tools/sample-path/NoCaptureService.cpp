// sample-path feeds the capturer itself, so its capture service has nothing to offer.
#include "platform/screencapture/ScreenCaptureKit.h"

namespace {

NSErrorRef unavailable() {
  return NSError::errorWithDomain("sample-path", 1, "no capture service in this tool");
}

class NoCaptureService final : public SCCaptureService {
 public:
  void getShareableContent(SCShareableContent::CompletionHandler completion) override {
    completion(nullptr, unavailable());
  }
  NSErrorRef validateStreamOutput(const SCStream&, SCStreamOutputType) override {
    return unavailable();
  }
  void startCapture(const SCStreamRef&, SCStream::StartCompletionHandler completion) override {
    completion(unavailable());
  }
};

}  // namespace

SCCaptureService& SCCaptureService::shared() {
  static NoCaptureService service;
  return service;
}
