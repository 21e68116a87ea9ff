#include "platform/Dispatch.h"

#include <asio/bind_executor.hpp>
#include <asio/dispatch.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/system_timer.hpp>

#include <array>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Log.h"

namespace platform {

namespace {
// Blocks may wait (a timed save waits up to 15 s for another queue), so the
// pool is larger than the core count.
constexpr std::size_t kWorkerThreads = 8;

// A block that throws must not take the process down with it (an exception
// leaving a thread's function ends the process): it is logged, and the
// thread goes back to work. Blocks that can fail are expected to catch what
// they throw; this is the last line.
void runPool(asio::io_context& context) {
  for (;;) {
    std::string what;
    try {
      context.run();
      return;
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
      what = "an exception that is not a std::exception";
    }
    Logger::defaultLog().fault("dispatch: a block ended with an uncaught exception: {}", what);
  }
}
}  // namespace

struct DispatchRuntime::Impl {
  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};
  std::vector<std::thread> workers;
};

DispatchRuntime::DispatchRuntime() : impl_(std::make_unique<Impl>()) {
  for (std::size_t i = 0; i < kWorkerThreads; ++i) {
    impl_->workers.emplace_back([this] { runPool(impl_->context); });
  }
}

DispatchRuntime::~DispatchRuntime() = default;

DispatchRuntime& DispatchRuntime::shared() {
  // Never destroyed: blocks may still run while static destructors and
  // atexit handlers do.
  static DispatchRuntime* runtime = new DispatchRuntime();
  return *runtime;
}

asio::io_context& DispatchRuntime::context() { return impl_->context; }

void DispatchRuntime::runMainLoop() {
  for (;;) runPool(impl_->context);
}

struct DispatchQueue::Impl {
  std::string label;
  QoS qos;
  bool serial;
  asio::strand<asio::io_context::executor_type> strand;

  Impl(std::string l, QoS q, bool s)
      : label(std::move(l)), qos(q), serial(s), strand(asio::make_strand(DispatchRuntime::shared().context())) {}

  void post(Block block) {
    if (serial) {
      asio::post(strand, std::move(block));
    } else {
      asio::post(DispatchRuntime::shared().context(), std::move(block));
    }
  }
};

DispatchQueue::DispatchQueue(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::makeSerial(std::string label, QoS qos) {
  return std::shared_ptr<DispatchQueue>(new DispatchQueue(std::make_unique<Impl>(std::move(label), qos, true)));
}

std::shared_ptr<DispatchQueue> DispatchQueue::global(QoS qos) {
  static const auto* queues = new std::array<std::shared_ptr<DispatchQueue>, 6>([] {
    const char* labels[] = {"com.corvane.root.default-qos", "com.corvane.root.background-qos",
                            "com.corvane.root.utility-qos", "com.corvane.root.default-qos",
                            "com.corvane.root.user-initiated-qos", "com.corvane.root.user-interactive-qos"};
    std::array<std::shared_ptr<DispatchQueue>, 6> out;
    for (int i = 0; i < 6; ++i) {
      out[static_cast<std::size_t>(i)] = std::shared_ptr<DispatchQueue>(
          new DispatchQueue(std::make_unique<Impl>(labels[i], static_cast<QoS>(i), false)));
    }
    return out;
  }());
  return (*queues)[static_cast<std::size_t>(qos)];
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
  static const auto* queue = new std::shared_ptr<DispatchQueue>(makeSerial("com.corvane.main-thread"));
  return *queue;
}

const std::string& DispatchQueue::label() const { return impl_->label; }
QoS DispatchQueue::qos() const { return impl_->qos; }
bool DispatchQueue::isSerial() const { return impl_->serial; }

void DispatchQueue::async(Block block) { impl_->post(std::move(block)); }

void DispatchQueue::dispatch(Block block) {
  if (impl_->serial) {
    asio::dispatch(impl_->strand, std::move(block));
  } else {
    asio::dispatch(DispatchRuntime::shared().context(), std::move(block));
  }
}

bool DispatchQueue::isCurrent() const { return impl_->serial && impl_->strand.running_in_this_thread(); }

void DispatchQueue::sync(const Block& block) {
  if (!impl_->serial || isCurrent()) {
    block();
    return;
  }
  std::promise<void> done;
  auto finished = done.get_future();
  impl_->post([&] {
    // What the block throws reaches the waiting caller, as if it had run there.
    try {
      block();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  finished.get();
}

void DispatchQueue::asyncAfter(std::chrono::nanoseconds delay, Block block) {
  auto timer = std::make_shared<asio::steady_timer>(DispatchRuntime::shared().context(), delay);
  Impl* impl = impl_.get();
  // The strand is copied so that the block runs serialised even if the queue
  // object has gone by then.
  auto strand = impl->strand;
  bool serial = impl->serial;
  timer->async_wait([timer, strand, serial, block = std::move(block)](const std::error_code&) mutable {
    if (serial) {
      asio::post(strand, std::move(block));
    } else {
      block();
    }
  });
}

void DispatchQueue::asyncAfterWallClock(std::chrono::system_clock::time_point deadline, Block block) {
  auto timer = std::make_shared<asio::system_timer>(DispatchRuntime::shared().context(), deadline);
  auto strand = impl_->strand;
  bool serial = impl_->serial;
  timer->async_wait([timer, strand, serial, block = std::move(block)](const std::error_code&) mutable {
    if (serial) {
      asio::post(strand, std::move(block));
    } else {
      block();
    }
  });
}

struct DispatchTimer::State : std::enable_shared_from_this<DispatchTimer::State> {
  std::shared_ptr<DispatchQueue> queue;
  Block handler;
  asio::steady_timer timer{DispatchRuntime::shared().context()};
  std::mutex mutex;
  std::chrono::nanoseconds interval{0};
  std::uint64_t generation = 0;  // bumped by schedule() and cancel() to retire older waits

  void arm(std::chrono::steady_clock::time_point deadline, std::uint64_t gen) {
    timer.expires_at(deadline);
    timer.async_wait([weak = weak_from_this(), deadline, gen](const std::error_code& ec) {
      auto self = weak.lock();
      if (!self || ec) return;
      std::lock_guard lock(self->mutex);
      if (self->generation != gen) return;
      self->queue->async([weak, gen] {
        auto s = weak.lock();
        if (!s) return;
        {
          std::lock_guard inner(s->mutex);
          if (s->generation != gen) return;
        }
        s->handler();
      });
      if (self->interval.count() > 0) self->arm(deadline + self->interval, gen);
    });
  }
};

DispatchTimer::DispatchTimer(std::shared_ptr<DispatchQueue> queue, Block handler) : state_(std::make_shared<State>()) {
  state_->queue = std::move(queue);
  state_->handler = std::move(handler);
}

DispatchTimer::~DispatchTimer() { cancel(); }

void DispatchTimer::schedule(std::chrono::nanoseconds firstDelay, std::chrono::nanoseconds interval) {
  std::lock_guard lock(state_->mutex);
  ++state_->generation;
  state_->interval = interval;
  state_->arm(std::chrono::steady_clock::now() + firstDelay, state_->generation);
}

void DispatchTimer::cancel() {
  std::lock_guard lock(state_->mutex);
  ++state_->generation;
  state_->timer.cancel();
}

struct SignalSource::State : std::enable_shared_from_this<SignalSource::State> {
  asio::signal_set signals{DispatchRuntime::shared().context()};
  std::shared_ptr<DispatchQueue> queue;
  Block handler;

  void wait() {
    signals.async_wait([weak = weak_from_this()](const std::error_code& ec, int) {
      auto self = weak.lock();
      if (!self || ec) return;
      self->queue->async(self->handler);
      self->wait();
    });
  }
};

SignalSource::SignalSource(int signal, std::shared_ptr<DispatchQueue> queue, Block handler)
    : state_(std::make_shared<State>()) {
  state_->queue = std::move(queue);
  state_->handler = std::move(handler);
  state_->signals.add(signal);
  state_->wait();
}

SignalSource::~SignalSource() {
  std::error_code ignored;
  state_->signals.cancel(ignored);
}

}  // namespace platform
