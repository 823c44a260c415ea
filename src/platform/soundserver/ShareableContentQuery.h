// Asks the sound server for its sinks, which the service offers as displays: the default sink
// first, then the others in the server's order.
#pragma once

#include <pulse/introspect.h>

#include <string>
#include <vector>

#include "platform/screencapture/ScreenCaptureKit.h"
#include "platform/soundserver/PulseConnection.h"
#include "platform/soundserver/PulseOperation.h"
#include "platform/soundserver/PulseTimer.h"

class ShareableContentQuery final : public PulseOperation {
 public:
  ShareableContentQuery(PulseLoop& loop, pa_usec_t timeout,
                        SCShareableContent::CompletionHandler completion);

 private:
  void begin() override;
  static void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata);
  static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* userdata);
  void askForSinks();
  void finish(SCShareableContentRef content, NSErrorRef error);
  std::vector<SCDisplayRef> displaysDefaultFirst() const;

  pa_usec_t timeout_;
  PulseConnection connection_;
  PulseTimer deadline_;
  SCShareableContent::CompletionHandler completion_;
  std::string defaultSink_;
  std::vector<SCDisplayRef> sinks_;
};
