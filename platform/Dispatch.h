#pragma once

// Dispatch queues over one Asio io_context.
//
// A serial queue runs its blocks one at a time, in submission order, on any
// thread of the pool (an Asio strand). Global queues are concurrent: their
// blocks run on the pool without ordering. The main thread joins the pool when
// it enters the dispatch main loop. Quality of service is recorded with each
// queue for diagnostics; Linux has no per-block priority to map it to. A block
// that lets an exception escape is logged at fault level; the pool goes on.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace asio {
class io_context;
}

namespace platform {

enum class QoS { Unspecified, Background, Utility, Default, UserInitiated, UserInteractive };

using Block = std::function<void()>;

class DispatchRuntime {
 public:
  DispatchRuntime(const DispatchRuntime&) = delete;
  DispatchRuntime& operator=(const DispatchRuntime&) = delete;

  // The process-wide runtime; its worker threads start on first use.
  static DispatchRuntime& shared();

  asio::io_context& context();

  // Hands the calling thread to the pool for good.
  [[noreturn]] void runMainLoop();

 private:
  DispatchRuntime();
  ~DispatchRuntime();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class DispatchQueue {
 public:
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;
  ~DispatchQueue();

  // A new serial queue. Blocks submitted before the queue is destroyed still run.
  static std::shared_ptr<DispatchQueue> makeSerial(std::string label, QoS qos = QoS::Unspecified);

  // The concurrent global queue of a quality of service; lives for the process.
  static std::shared_ptr<DispatchQueue> global(QoS qos = QoS::Default);

  // The serial main queue ("com.corvane.main-thread"). Its blocks run on the
  // pool like those of any serial queue; the main thread is part of the pool.
  static std::shared_ptr<DispatchQueue> main();

  const std::string& label() const;
  QoS qos() const;
  bool isSerial() const;

  void async(Block block);

  // Like async, except that a caller on a pool thread finding the serial
  // queue idle runs the block right away on its own thread (still on the
  // queue: one block at a time, in order). Saves a thread hand-off on hot
  // paths; the caller must be ready for the block to run before this returns.
  void dispatch(Block block);

  // Runs `block` on the queue and waits for it. On a serial queue that the
  // caller is already running on, and on a concurrent queue, the block runs on
  // the calling thread (a serial queue must not wait for itself). What the
  // block throws is rethrown to the caller.
  void sync(const Block& block);

  // Runs `block` after `delay` on the monotonic clock.
  void asyncAfter(std::chrono::nanoseconds delay, Block block);

  // Runs `block` at `deadline` on the wall clock (follows clock changes).
  void asyncAfterWallClock(std::chrono::system_clock::time_point deadline, Block block);

  // True when called from a block that this serial queue is running.
  bool isCurrent() const;

 private:
  struct Impl;
  explicit DispatchQueue(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
  friend class DispatchTimer;
};

// A timer source on a queue: the handler runs on the queue at the first
// deadline and then every interval (an interval of zero fires once).
// Cancelling, or destroying the timer, stops further runs; a run already
// submitted to the queue may still happen.
class DispatchTimer {
 public:
  DispatchTimer(std::shared_ptr<DispatchQueue> queue, Block handler);
  DispatchTimer(const DispatchTimer&) = delete;
  DispatchTimer& operator=(const DispatchTimer&) = delete;
  ~DispatchTimer();

  void schedule(std::chrono::nanoseconds firstDelay, std::chrono::nanoseconds interval);
  void cancel();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// A signal source: `handler` runs on `queue` each time the process receives
// `signal`. The signal's default action no longer applies while the source
// exists.
class SignalSource {
 public:
  SignalSource(int signal, std::shared_ptr<DispatchQueue> queue, Block handler);
  SignalSource(const SignalSource&) = delete;
  SignalSource& operator=(const SignalSource&) = delete;
  ~SignalSource();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// A block that calls `f(object)` only if `object` still exists when it runs.
template <typename T, typename F>
Block weakly(const std::shared_ptr<T>& object, F f) {
  return [weak = std::weak_ptr<T>(object), f = std::move(f)]() {
    if (auto strong = weak.lock()) f(*strong);
  };
}

}  // namespace platform
