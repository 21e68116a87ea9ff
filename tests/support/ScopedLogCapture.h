#pragma once

#include <memory>

#include "platform/Log.h"

namespace nimbra::test {

// Captures every log line (debug level and up) for the lifetime of the
// object, then restores the standard-error sink and the default threshold.
class ScopedLogCapture {
 public:
  explicit ScopedLogCapture(platform::LogLevel threshold = platform::LogLevel::Debug);
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;
  ~ScopedLogCapture();

  platform::CaptureLogSink& sink() { return *sink_; }
  platform::CaptureLogSink* operator->() { return sink_.get(); }

 private:
  std::shared_ptr<platform::CaptureLogSink> sink_;
  platform::LogLevel previous_;
};

}  // namespace nimbra::test
