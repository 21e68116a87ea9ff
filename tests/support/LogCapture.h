#pragma once

#include <memory>

#include "platform/Log.h"

namespace nimbra::test {

// Captures every log line (debug level and up) for the lifetime of the
// object, then restores the standard-error sink and the default threshold.
class LogCapture {
 public:
  explicit LogCapture(platform::LogLevel threshold = platform::LogLevel::Debug);
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture();

  platform::CaptureLogSink& sink() { return *sink_; }
  platform::CaptureLogSink* operator->() { return sink_.get(); }

 private:
  std::shared_ptr<platform::CaptureLogSink> sink_;
  platform::LogLevel previous_;
};

}  // namespace nimbra::test
