#pragma once

#include <gtest/gtest.h>

#include "tests/support/DaemonHarness.h"

namespace nimbra::test {

// A fixture whose tests share one running daemon: started before the suite's
// first test, killed after its last. Suites run one after another, so each
// suite deriving from it gets a fresh daemon.
class SharedDaemonTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    daemon_ = new DaemonHarness();
    ASSERT_TRUE(daemon_->start()) << daemon_->logText();
  }
  static void TearDownTestSuite() {
    delete daemon_;
    daemon_ = nullptr;
  }
  static inline DaemonHarness* daemon_ = nullptr;
};

}  // namespace nimbra::test
