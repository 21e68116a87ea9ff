#include "platform/OSTransaction.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<std::size_t> gActive{0};
}  // namespace

OSTransaction::OSTransaction(std::string label) : label_(std::move(label)) {
  gActive.fetch_add(1, std::memory_order_relaxed);
}

OSTransaction::~OSTransaction() { gActive.fetch_sub(1, std::memory_order_relaxed); }

std::size_t OSTransaction::activeCount() { return gActive.load(std::memory_order_relaxed); }

}  // namespace platform
