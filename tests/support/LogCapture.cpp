#include "tests/support/LogCapture.h"

namespace nimbra::test {

LogCapture::LogCapture(platform::LogLevel threshold)
    : sink_(std::make_shared<platform::CaptureLogSink>()), previous_(platform::logging::threshold()) {
  platform::logging::setSink(sink_);
  platform::logging::setThreshold(threshold);
}

LogCapture::~LogCapture() {
  platform::logging::setSink(nullptr);
  platform::logging::setThreshold(previous_);
}

}  // namespace nimbra::test
