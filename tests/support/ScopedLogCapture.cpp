#include "tests/support/ScopedLogCapture.h"

namespace nimbra::test {

ScopedLogCapture::ScopedLogCapture(platform::LogLevel threshold)
    : sink_(std::make_shared<platform::CaptureLogSink>()), previous_(platform::logging::threshold()) {
  platform::logging::setSink(sink_);
  platform::logging::setThreshold(threshold);
}

ScopedLogCapture::~ScopedLogCapture() {
  platform::logging::setSink(nullptr);
  platform::logging::setThreshold(previous_);
}

}  // namespace nimbra::test
