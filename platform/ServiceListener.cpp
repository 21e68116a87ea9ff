#include "platform/ServiceListener.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <asio/bind_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/write.hpp>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/FileDescriptor.h"
#include "platform/Log.h"
#include "platform/LogThrottle.h"
#include "platform/PropertyList.h"
#include "platform/Systemd.h"

namespace platform {

namespace {

using Protocol = asio::local::stream_protocol;
using Strand = asio::strand<asio::io_context::executor_type>;
// Typed on the strand: every completion of a session runs serialised without
// the cost of a type-erased executor.
using Socket = asio::basic_stream_socket<Protocol, Strand>;
using Timer = asio::basic_waitable_timer<std::chrono::steady_clock, asio::wait_traits<std::chrono::steady_clock>, Strand>;

// Requests decoded but whose replies are not yet written. Reading stops at
// this bound so that a peer that sends without reading cannot make the
// daemon buffer replies without limit.
constexpr std::size_t kMaxInFlight = 64;
constexpr std::size_t kReadChunk = 64 * 1024;
// Direct reads in a row before a busy connection yields to the others.
constexpr int kReadRoundsBeforeYield = 16;
// Bytes read and discarded before closing, so that the peer sees an orderly
// end of stream (and can read a rejection) instead of a reset.
constexpr std::size_t kMaxDrainBytes = 1024 * 1024;
// Threads of one listener identifying peers at once (each waits for an
// inspector's answer), and connections one of them identifies before it lets
// other work on the pool run.
constexpr std::size_t kIdentifiers = 2;
constexpr int kIdentifyBatch = 32;
// Connections the kernel queues before accept() takes them. The queue is
// first come, first served across all users: a long one lets a user who
// connects in a loop put thousands of connections ahead of everybody else's
// (with SOMAXCONN, an entitled call took 7 times longer under a flood of four
// processes than with this bound; see bench_admission).
constexpr int kListenBacklog = 128;

const Logger& log() {
  static const Logger logger("com.corvane.nimbrad", "ServiceListener");
  return logger;
}

std::string errnoText(int error) { return std::strerror(error); }

std::uint32_t readBigEndian32(const char* p) {
  auto b = reinterpret_cast<const unsigned char*>(p);
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | std::uint32_t{b[3]};
}

void appendFrame(std::string& out, const std::string& payload) {
  auto n = static_cast<std::uint32_t>(payload.size());
  char header[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                    static_cast<char>(n)};
  out.append(header, 4);
  out.append(payload);
}

// A frame's property list. Nothing a peer sends may throw past the transport:
// running out of memory on one frame refuses that frame.
Expected<Value, std::string> decodeFrame(std::string_view bytes, const PropertyListLimits& limits) {
  try {
    auto decoded = PropertyList::decode(bytes, limits);
    if (!decoded) return unexpected(std::move(decoded.error().message));
    return std::move(decoded).value();
  } catch (const std::exception& e) {
    return unexpected(std::string(e.what()));
  } catch (...) {
    return unexpected(std::string("the decoder failed"));
  }
}

class Session;

// A connection taken from the backlog whose peer is not identified yet.
struct WaitingConnection {
  Socket socket;
  PeerIdentity peer;  // credentials only
};

// What one user id holds of a listener.
struct UserLoad {
  std::deque<WaitingConnection> waiting;  // in arrival order
  std::size_t undecided = 0;  // waiting, being identified, or before the session handler
  std::size_t sessions = 0;   // accepted by the session handler
  bool inLine = false;        // in `turns`, or being identified
};

// Which count a Session is part of.
enum class Slot { undecided, session, none };

// State shared by the listener object, its accept loop and its sessions;
// outlives the listener while operations are still completing.
//
// Accepting is split so that one user cannot crowd out the others: the
// accept loop only takes connections from the backlog and reads their
// credentials; identifying the peer (a round trip to an inspector) happens on
// up to kIdentifiers pool threads, which take the waiting connections of the
// user ids in turn. Each user id other than root may hold a fair share of
// the undecided connections and of the sessions: the limit divided by the
// number of other non-root users present plus two, so that there is always
// room for root and for a newcomer. Root is the administrator and the
// daemon's own tools, and is held only to the overall limit.
struct ListenerCore {
  ServiceConfig config;
  SessionHandler sessionHandler;
  Protocol::acceptor acceptor;
  Strand acceptStrand;
  asio::steady_timer acceptRetry;
  std::shared_ptr<LogThrottle> refusals;
  std::atomic<bool> stopped{false};
  std::mutex mutex;
  std::unordered_map<Session*, std::weak_ptr<Session>> sessions;  // every live Session; GUARDED_BY(mutex)
  std::unordered_map<uid_t, UserLoad> users;                      // GUARDED_BY(mutex)
  std::deque<uid_t> turns;  // users with waiting connections, round robin; GUARDED_BY(mutex)
  std::size_t undecided = 0;    // GUARDED_BY(mutex)
  std::size_t accepted = 0;     // GUARDED_BY(mutex)
  std::size_t identifiers = 0;  // threads identifying; GUARDED_BY(mutex)

  ListenerCore(ServiceConfig c, SessionHandler h)
      : config(std::move(c)),
        sessionHandler(std::move(h)),
        acceptor(DispatchRuntime::shared().context()),
        acceptStrand(asio::make_strand(DispatchRuntime::shared().context())),
        acceptRetry(acceptStrand),
        refusals(LogThrottle::create(log(), LogLevel::Error,
                                     config.name + ": connections closed at once for want of a session slot",
                                     config.refusalLogWindow)) {}

  // REQUIRES: mutex held.
  std::size_t shareOf(uid_t uid) const {
    if (uid == 0) return config.maxSessions;
    std::size_t others = 0;
    for (const auto& [user, load] : users) {
      if (user != 0 && user != uid && (load.undecided > 0 || load.sessions > 0)) ++others;
    }
    return std::max<std::size_t>(1, config.maxSessions / (others + 2));
  }

  // REQUIRES: mutex held.
  void forgetIfIdle(uid_t uid) {
    auto it = users.find(uid);
    if (it != users.end() && it->second.undecided == 0 && it->second.sessions == 0) users.erase(it);
  }

  // REQUIRES: mutex held. Takes a connection of `uid` out of the count its
  // `slot` names and, when `to` is Slot::session, into the sessions if the
  // limit and the user's share allow; false (and Slot::none) when they do not.
  bool moveSlot(uid_t uid, Slot& slot, Slot to) {
    auto& load = users[uid];
    if (slot == Slot::undecided) {
      --load.undecided;
      --undecided;
    } else if (slot == Slot::session) {
      --load.sessions;
      --accepted;
    }
    slot = Slot::none;
    bool granted = false;
    if (to == Slot::session && accepted < config.maxSessions && load.sessions < shareOf(uid)) {
      ++load.sessions;
      ++accepted;
      slot = Slot::session;
      granted = true;
    }
    forgetIfIdle(uid);
    return granted;
  }

  // One line for the first refusal of a user in a window; the rest are counted.
  void logRefusal(const PeerIdentity& peer, bool overShare, std::size_t share) {
    if (!refusals->admit(std::to_string(peer.uid))) return;
    if (overShare) {
      log().error("{}: uid {} holds its share of {} of the {} sessions; closing the connection of pid {}", config.name,
                  peer.uid, share, config.maxSessions, peer.pid);
    } else {
      log().error("{}: session limit of {} reached; closing the connection of pid {} (uid {})", config.name,
                  config.maxSessions, peer.pid, peer.uid);
    }
  }

  void sessionClosed(Session* session, uid_t uid, Slot& slot) {
    std::lock_guard lock(mutex);
    sessions.erase(session);
    moveSlot(uid, slot, Slot::none);
  }
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(std::shared_ptr<ListenerCore> core, Socket socket, PeerIdentity peer)
      : core_(std::move(core)),
        socket_(std::move(socket)),
        partialTimer_(socket_.get_executor()),
        peer_(std::move(peer)) {
    std::error_code ignored;
    socket_.non_blocking(true, ignored);
  }

  const PeerIdentity& peer() const { return peer_; }

  // Runs the session handler on the target queue.
  void requestAcceptance();

  // Turns the connection's undecided slot into a session if the limit and
  // the user's share allow; otherwise logs the refusal and closes it.
  bool takeSessionSlot() {
    bool granted;
    std::size_t share;
    bool overShare;
    {
      std::lock_guard lock(core_->mutex);
      granted = core_->moveSlot(peer_.uid, slot_, Slot::session);
      share = core_->shareOf(peer_.uid);
      overShare = core_->accepted < core_->config.maxSessions;
    }
    if (!granted) {
      core_->logRefusal(peer_, overShare, share);
      post([this] { close(); });
    }
    return granted;
  }

  // Target queue only.
  void setHandler(MessageHandler handler) { handler_ = std::move(handler); }

  void startReading() {
    post([this] { pump(); });
  }

  void reject(const std::string& reason) {
    // A peer that is turned away holds no slot while its answer is written.
    {
      std::lock_guard lock(core_->mutex);
      core_->moveSlot(peer_.uid, slot_, Slot::none);
    }
    rejected_ = true;
    post([this, reason] {
      if (closed_) return;
      appendFrame(outPending_, PropertyList::encodeBinary(Value(Dictionary{{"XPCErrorDescription", reason}})));
      closeAfterWrite_ = true;
      startWrite();
    });
  }

  void closeFromListener() {
    post([this] { close(); });
  }

 private:
  template <typename F>
  void post(F f) {
    asio::post(socket_.get_executor(), [self = shared_from_this(), f = std::move(f)]() mutable { f(); });
  }

  // REQUIRES: running on the session's strand (for this and all below).
  //
  // Reading is one activity at a time (readActive_): the read loop, a wait
  // for input, or a queued resumption. Replies may be written from inside
  // the loop (the handler can run inline), so a completed write never
  // re-enters the loop; it asks for a resumption instead.
  void pump() {
    if (closed_ || readActive_) return;
    readActive_ = true;
    if (readEnded_) {
      parseFrames();
      readActive_ = false;
      closeIfDone();
      return;
    }
    readLoop();
  }

  void resumeReading() {
    if (closed_ || readActive_) return;
    post([this] { pump(); });
  }

  bool canRead() const { return !closed_ && !readEnded_ && !closeAfterWrite_ && inFlight_ < kMaxInFlight; }

  // Reads straight from the non-blocking socket while data is there, and
  // only waits through the reactor when it is not: each completion that goes
  // through the event loop costs a thread wake-up, which dominates the cost
  // of a small request. REQUIRES: readActive_.
  void readLoop() {
    for (int round = 0; round < kReadRoundsBeforeYield; ++round) {
      // Frames already buffered come first: replies written inline may have
      // opened the window for them since the last read.
      do {
        parseFrames();
      } while (canRead() && headFrameComplete());
      if (!canRead()) {
        readActive_ = false;
        return;
      }
      // Keep unconsumed bytes at the front so the buffer only grows for a
      // frame that really needs the room.
      if (inStart_ > 0) {
        std::memmove(in_.data(), in_.data() + inStart_, inEnd_ - inStart_);
        inEnd_ -= inStart_;
        inStart_ = 0;
      }
      std::size_t wanted = inEnd_ + kReadChunk;
      if (inEnd_ >= 4) {
        std::size_t frame = 4 + std::min(std::size_t{readBigEndian32(in_.data())}, core_->config.maxFrameBytes);
        wanted = std::max(wanted, frame);
      }
      if (in_.size() < wanted) in_.resize(wanted);
      std::error_code ec;
      std::size_t n = socket_.read_some(asio::buffer(in_.data() + inEnd_, in_.size() - inEnd_), ec);
      if (ec == asio::error::would_block || ec == asio::error::try_again) {
        waitForInput();
        return;
      }
      if (ec) {
        onReadError(ec);
        readActive_ = false;
        return;
      }
      inEnd_ += n;
    }
    // Still readable after many rounds: let other work on the pool run first.
    post([this] { readLoop(); });
  }

  void waitForInput() {
    socket_.async_wait(Socket::wait_read, [self = shared_from_this()](const std::error_code& ec) {
      if (ec || self->closed_) {
        self->readActive_ = false;
        return;
      }
      self->readLoop();
    });
  }

  void onReadError(const std::error_code& ec) {
    if (closed_) return;
    readEnded_ = true;
    if (ec != asio::error::eof && ec != asio::error::connection_reset) {
      abort(fmt::format("read failed: {}", ec.message()));
      return;
    }
    // The peer may have half-closed after its last request: answer what is
    // already here, then close.
    parseFrames();
    closeIfDone();
  }

  bool headFrameComplete() const {
    std::size_t available = inEnd_ - inStart_;
    if (available < 4) return false;
    return available >= 4 + std::size_t{readBigEndian32(in_.data() + inStart_)};
  }

  void parseFrames() {
    // The vector makes the round trip to the target queue and back; reusing
    // it keeps a busy connection from allocating one per read.
    std::vector<Value> batch = std::move(spareBatch_);
    batch.clear();
    PropertyListLimits limits;
    limits.maxDepth = core_->config.maxDepth;
    while (!closed_ && !closeAfterWrite_ && inFlight_ + batch.size() < kMaxInFlight) {
      std::size_t available = inEnd_ - inStart_;
      if (available < 4) break;
      std::size_t length = readBigEndian32(in_.data() + inStart_);
      if (length > core_->config.maxFrameBytes) {
        fail(fmt::format("frame of {} bytes exceeds the limit of {} bytes", length, core_->config.maxFrameBytes));
        break;
      }
      if (available < 4 + length) break;
      auto decoded = decodeFrame(std::string_view(in_.data() + inStart_ + 4, length), limits);
      if (!decoded) {
        fail(fmt::format("malformed message: {}", decoded.error()));
        break;
      }
      if (core_->config.dictionaryMessages && decoded->type() != Value::Type::Dictionary) {
        fail(fmt::format("message is a {}, not a dictionary", decoded->typeName()));
        break;
      }
      batch.push_back(std::move(decoded).value());
      inStart_ += 4 + length;
    }
    if (inStart_ == inEnd_) inStart_ = inEnd_ = 0;
    if (closeAfterWrite_) {
      // Nothing more is read; the requests ahead of the fault are still
      // answered, so the outcome does not depend on how reads were split.
      partialTimer_.cancel();
      ++timerGeneration_;
      timerArmed_ = false;
    } else {
      updatePartialTimer();
    }
    if (!batch.empty()) {
      inFlight_ += batch.size();
      ++batchesOutstanding_;
      dispatch(std::move(batch));
    } else {
      spareBatch_ = std::move(batch);
    }
    closeIfFinished();
  }

  void dispatch(std::vector<Value> batch) {
    // One block per read keeps the queue traffic low for pipelined requests;
    // the serial target queue still runs messages one at a time, in order.
    // When the queue is idle the block runs right here, and so does the
    // writing of its replies: no thread hand-off at all.
    core_->config.targetQueue->dispatch([self = shared_from_this(), batch = std::move(batch)]() mutable {
      for (auto& message : batch) {
        if (self->core_->stopped.load(std::memory_order_relaxed)) return;
        std::string failure;
        try {
          // Each message is replaced by its reply in place.
          message = self->handler_(message);
          continue;
        } catch (const std::exception& e) {
          failure = e.what();
        } catch (...) {
          failure = "an exception that is not a std::exception";
        }
        // The handler's state is its own business; the daemon goes on, and
        // only this connection, whose reply is lost, ends.
        log().error("{}: message handler failed: {}; closing the connection of pid {} (uid {})",
                    self->core_->config.name, failure, self->peer_.pid, self->peer_.uid);
        self->post([self = self.get()] { self->close(); });
        return;
      }
      // Inline only when no earlier batch's replies are still on their way
      // to the session: those were posted and must be written first.
      if (self->socket_.get_executor().running_in_this_thread() && self->batchesOutstanding_ == 1) {
        self->onReplies(std::move(batch));
      } else {
        // Queued behind other work: encoding and writing happen off the
        // target queue, which other sessions are waiting for.
        self->post([self = self.get(), replies = std::move(batch)]() mutable { self->onReplies(std::move(replies)); });
      }
    });
  }

  void onReplies(std::vector<Value>&& replies) {
    --batchesOutstanding_;
    if (closed_) return;
    try {
      for (const auto& reply : replies) appendFrame(outPending_, PropertyList::encodeBinary(reply));
    } catch (const std::exception& e) {
      abort(fmt::format("cannot encode a reply: {}", e.what()));
      return;
    } catch (...) {
      abort("cannot encode a reply");
      return;
    }
    pendingCount_ += replies.size();
    replies.clear();
    spareBatch_ = std::move(replies);
    startWrite();
  }

  // A rejected or faulted session ends once everything owed is written.
  bool closeIfFinished() {
    if (closed_ || !closeAfterWrite_ || inFlight_ > 0 || writing_ || !outPending_.empty()) return false;
    close();
    return true;
  }

  void startWrite() {
    if (closed_ || writing_ || outPending_.empty()) return;
    // Replies that piled up while the previous write was in progress go out
    // together in one write.
    std::swap(outWriting_, outPending_);
    writingCount_ = pendingCount_;
    pendingCount_ = 0;
    writing_ = true;
    writeOffset_ = 0;
    continueWrite();
  }

  // Writes directly while the socket takes the bytes; waits through the
  // reactor only when its buffer is full.
  void continueWrite() {
    while (writeOffset_ < outWriting_.size()) {
      std::error_code ec;
      std::size_t n =
          socket_.write_some(asio::buffer(outWriting_.data() + writeOffset_, outWriting_.size() - writeOffset_), ec);
      if (ec == asio::error::would_block || ec == asio::error::try_again) {
        socket_.async_wait(Socket::wait_write, [self = shared_from_this()](const std::error_code& waitError) {
          if (self->closed_) return;
          if (waitError) {
            self->onWrite(waitError);
          } else {
            self->continueWrite();
          }
        });
        return;
      }
      if (ec) {
        onWrite(ec);
        return;
      }
      writeOffset_ += n;
    }
    onWrite({});
  }

  void onWrite(const std::error_code& ec) {
    writing_ = false;
    if (closed_) return;
    if (ec) {
      // The peer went away before reading its replies; nothing is lost that
      // anyone could still receive. A rejected peer that left is no news.
      if (!rejected_) {
        log().info("{}: connection of pid {} closed while writing replies: {}", core_->config.name, peer_.pid,
                   ec.message());
      }
      close();
      return;
    }
    outWriting_.clear();
    inFlight_ -= writingCount_;
    writingCount_ = 0;
    if (closeIfFinished()) return;
    startWrite();
    // Room in the window again, or replies owed after the peer's end of
    // stream: either way the reading side has work.
    resumeReading();
  }

  // After the peer's end of stream: closes once every complete request has
  // been answered.
  void closeIfDone() {
    if (closed_ || !readEnded_ || inFlight_ > 0 || writing_ || !outPending_.empty() || headFrameComplete()) return;
    if (inEnd_ > inStart_) {
      abort(fmt::format("peer closed the connection in the middle of a frame ({} bytes received)", inEnd_ - inStart_));
      return;
    }
    close();
  }

  void updatePartialTimer() {
    bool partial = inEnd_ > inStart_ && !headFrameComplete();
    if (!partial) {
      if (timerArmed_) {
        timerArmed_ = false;
        ++timerGeneration_;
        partialTimer_.cancel();
      }
      return;
    }
    if (timerArmed_) return;  // the deadline runs from the frame's first byte
    timerArmed_ = true;
    auto generation = ++timerGeneration_;
    partialTimer_.expires_after(core_->config.partialFrameTimeout);
    partialTimer_.async_wait([self = shared_from_this(), generation](const std::error_code& ec) {
      if (ec || self->closed_ || generation != self->timerGeneration_) return;
      self->abort(fmt::format("partial frame stalled for {} ms ({} bytes received)",
                             self->core_->config.partialFrameTimeout.count(), self->inEnd_ - self->inStart_));
    });
  }

  void fail(const std::string& cause) {
    log().error("{}: closing connection of pid {} (uid {}): {}", core_->config.name, peer_.pid, peer_.uid, cause);
    closeAfterWrite_ = true;
  }

  // For faults after which nothing more can be written or waited for.
  void abort(const std::string& cause) {
    log().error("{}: closing connection of pid {} (uid {}): {}", core_->config.name, peer_.pid, peer_.uid, cause);
    close();
  }

  void close() {
    if (closed_) return;
    closed_ = true;
    // The slot is free before the peer can see the end of the connection.
    core_->sessionClosed(this, peer_.uid, slot_);
    std::error_code ignored;
    partialTimer_.cancel();
    int fd = socket_.native_handle();
    if (fd >= 0) {
      // Unread input would turn the close into a reset on the peer's side,
      // which may then lose a rejection frame it has not read yet.
      char sink[16 * 1024];
      std::size_t drained = 0;
      while (drained < kMaxDrainBytes) {
        ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n <= 0) break;
        drained += static_cast<std::size_t>(n);
      }
    }
    socket_.shutdown(Socket::shutdown_both, ignored);
    socket_.close(ignored);
    in_.clear();
    in_.shrink_to_fit();
    outPending_.clear();
    outWriting_.clear();
  }

  std::shared_ptr<ListenerCore> core_;
  Socket socket_;  // its executor is this session's strand
  Timer partialTimer_;
  PeerIdentity peer_;
  MessageHandler handler_;  // touched on the target queue only
  Slot slot_ = Slot::undecided;  // GUARDED_BY(core_->mutex)
  std::atomic<bool> rejected_{false};

  // Everything below: on the session's strand only.
  std::vector<char> in_;
  std::vector<Value> spareBatch_;
  std::size_t inStart_ = 0;
  std::size_t inEnd_ = 0;
  std::size_t inFlight_ = 0;
  std::size_t batchesOutstanding_ = 0;  // dispatched, replies not yet appended
  std::string outPending_;
  std::size_t pendingCount_ = 0;
  std::string outWriting_;
  std::size_t writingCount_ = 0;
  std::size_t writeOffset_ = 0;
  bool readActive_ = false;
  bool writing_ = false;
  bool readEnded_ = false;
  bool closeAfterWrite_ = false;
  bool closed_ = false;
  bool timerArmed_ = false;
  std::uint64_t timerGeneration_ = 0;
};

class Request final : public SessionRequest {
 public:
  explicit Request(std::shared_ptr<Session> session) : session_(std::move(session)) {}
  const PeerIdentity& peer() const override { return session_->peer(); }
  void accept(MessageHandler handler) override {
    if (decided_) return;
    decided_ = true;
    if (!session_->takeSessionSlot()) return;
    session_->setHandler(std::move(handler));
    session_->startReading();
  }
  void reject(const std::string& reason) override {
    if (decided_) return;
    decided_ = true;
    session_->reject(reason);
  }
  bool decided() const { return decided_; }

 private:
  std::shared_ptr<Session> session_;
  bool decided_ = false;
};

void Session::requestAcceptance() {
  core_->config.targetQueue->async([self = shared_from_this()] {
    if (self->core_->stopped.load(std::memory_order_relaxed)) return;
    Request request(self);
    try {
      self->core_->sessionHandler(request);
    } catch (const std::exception& e) {
      log().error("{}: session handler failed: {}", self->core_->config.name, e.what());
    } catch (...) {
      log().error("{}: session handler failed with an exception that is not a std::exception",
                  self->core_->config.name);
    }
    if (!request.decided()) request.reject("session not accepted");
  });
}

// Identifies waiting connections, one user id after the other, and hands
// each to the session handler. Runs on a pool thread; the inspector's round
// trip is made without any lock held. A user id is served by one thread at a
// time, so its connections reach the session handler in the order they came.
void identifyWaiting(const std::shared_ptr<ListenerCore>& core) {
  for (int round = 0; round < kIdentifyBatch; ++round) {
    std::optional<WaitingConnection> next;
    uid_t uid;
    {
      std::lock_guard lock(core->mutex);
      if (core->stopped.load() || core->turns.empty()) {
        --core->identifiers;
        return;
      }
      uid = core->turns.front();
      core->turns.pop_front();
      auto& load = core->users[uid];
      next.emplace(std::move(load.waiting.front()));
      load.waiting.pop_front();
    }
    next->peer.identifyExecutable(next->socket.native_handle());
    auto session = std::make_shared<Session>(core, std::move(next->socket), std::move(next->peer));
    {
      std::lock_guard lock(core->mutex);
      if (core->stopped.load()) continue;
      core->sessions.emplace(session.get(), session);
      // Back in line behind the other users, after this one is handed on.
      auto& load = core->users[uid];
      if (load.waiting.empty()) {
        load.inLine = false;
      } else {
        core->turns.push_back(uid);
      }
      session->requestAcceptance();
    }
  }
  asio::post(DispatchRuntime::shared().context(), [core] { identifyWaiting(core); });
}

void acceptNext(const std::shared_ptr<ListenerCore>& core) {
  core->acceptor.async_accept(
      asio::make_strand(DispatchRuntime::shared().context()),
      asio::bind_executor(core->acceptStrand, [core](const std::error_code& ec, Socket socket) {
        if (core->stopped.load() || ec == asio::error::operation_aborted) return;
        if (ec) {
          // Out of descriptors or memory: back off instead of spinning; the
          // pending connection stays in the backlog until then.
          log().error("{}: accept failed: {}", core->config.name, ec.message());
          core->acceptRetry.expires_after(std::chrono::milliseconds(100));
          core->acceptRetry.async_wait([core](const std::error_code& waitError) {
            if (!waitError && !core->stopped.load()) acceptNext(core);
          });
          return;
        }
        // Only the credentials here: the backlog is drained at the speed of
        // accept(), whatever identifying the peers costs.
        PeerIdentity peer = PeerIdentity::credentialsOf(socket.native_handle());
        bool admitted = false;
        bool overShare = false;
        bool startIdentifier = false;
        std::size_t share = 0;
        {
          std::lock_guard lock(core->mutex);
          auto& load = core->users[peer.uid];
          share = core->shareOf(peer.uid);
          // The shares bound the undecided connections of all users together
          // to a small multiple of the limit.
          overShare = load.undecided >= share;
          admitted = !overShare;
          if (admitted) {
            ++load.undecided;
            ++core->undecided;
            load.waiting.push_back({std::move(socket), peer});
            // A user whose connection is being identified right now is put
            // back in line by that thread.
            if (!load.inLine) {
              load.inLine = true;
              core->turns.push_back(peer.uid);
            }
            if (core->identifiers < kIdentifiers) {
              ++core->identifiers;
              startIdentifier = true;
            }
          } else {
            core->forgetIfIdle(peer.uid);
          }
        }
        if (!admitted) {
          core->logRefusal(peer, overShare, share);
          std::error_code ignored;
          socket.close(ignored);
        }
        if (startIdentifier) asio::post(DispatchRuntime::shared().context(), [core] { identifyWaiting(core); });
        acceptNext(core);
      }));
}

// Binds and listens on `path`, replacing a socket file that nobody listens on
// any more. The mode is applied before listen(), so there is no moment in
// which the socket accepts connections with the default permissions.
Expected<FileDescriptor, std::string> bindSocket(const std::string& path, unsigned mode) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    return unexpected(fmt::format("socket path '{}' is empty or too long", path));
  }
  std::memcpy(address.sun_path, path.data(), path.size());

  struct stat st{};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return unexpected(fmt::format("refusing to replace '{}': not a socket", path));
    FileDescriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe) return unexpected(fmt::format("socket: {}", errnoText(errno)));
    int rc = ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    int probeError = errno;
    probe.reset();
    if (rc == 0 || probeError == EAGAIN) {
      return unexpected(fmt::format("another listener is active on '{}'", path));
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      return unexpected(fmt::format("cannot remove stale socket '{}': {}", path, errnoText(errno)));
    }
  } else if (errno != ENOENT) {
    return unexpected(fmt::format("cannot inspect '{}': {}", path, errnoText(errno)));
  }

  FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return unexpected(fmt::format("socket: {}", errnoText(errno)));
  auto failWith = [&](const char* what) -> Expected<FileDescriptor, std::string> {
    return unexpected(fmt::format("{} '{}': {}", what, path, errnoText(errno)));
  };
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return failWith("cannot bind");
  if (::chmod(path.c_str(), mode) != 0) {
    auto result = failWith("cannot set the mode of");
    ::unlink(path.c_str());
    return result;
  }
  if (::listen(fd.get(), kListenBacklog) != 0) {
    auto result = failWith("cannot listen on");
    ::unlink(path.c_str());
    return result;
  }
  return fd;
}

class AsioServiceListener final : public ServiceListener {
 public:
  AsioServiceListener(std::shared_ptr<ListenerCore> core, bool ownsPath, ino_t inode)
      : core_(std::move(core)), ownsPath_(ownsPath), inode_(inode) {}

  ~AsioServiceListener() override {
    core_->stopped.store(true);
    std::promise<void> closed;
    asio::post(core_->acceptStrand, [&] {
      std::error_code ignored;
      core_->acceptor.close(ignored);
      core_->acceptRetry.cancel();
      closed.set_value();
    });
    closed.get_future().wait();
    std::vector<std::shared_ptr<Session>> sessions;
    std::vector<WaitingConnection> waiting;
    {
      std::lock_guard lock(core_->mutex);
      for (auto& [raw, weak] : core_->sessions) {
        if (auto session = weak.lock()) sessions.push_back(std::move(session));
      }
      for (auto& [uid, load] : core_->users) {
        for (auto& connection : load.waiting) waiting.push_back(std::move(connection));
        load.waiting.clear();
      }
      core_->turns.clear();
    }
    waiting.clear();  // closes them
    for (auto& session : sessions) session->closeFromListener();
    if (ownsPath_) {
      // Only our own socket: a newer listener may have replaced the file.
      struct stat st{};
      if (::lstat(core_->config.socketPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == inode_) {
        ::unlink(core_->config.socketPath.c_str());
      }
    }
  }

  const ServiceConfig& config() const override { return core_->config; }
  std::size_t openSessions() const override {
    std::lock_guard lock(core_->mutex);
    return core_->undecided + core_->accepted;
  }

 private:
  std::shared_ptr<ListenerCore> core_;
  bool ownsPath_;
  ino_t inode_;
};

}  // namespace

Expected<std::unique_ptr<ServiceListener>, std::string> ServiceListener::start(ServiceConfig config,
                                                                                SessionHandler handler) {
  if (!config.targetQueue) return unexpected(fmt::format("{}: no target queue", config.name));
  // Replies are written in the order the queue finishes batches; only a
  // serial queue finishes them in the order they arrived.
  if (!config.targetQueue->isSerial()) return unexpected(fmt::format("{}: the target queue must be serial", config.name));
  if (!handler) return unexpected(fmt::format("{}: no session handler", config.name));

  bool ownsPath = false;
  ino_t inode = 0;
  FileDescriptor fd;
  if (auto passed = systemd::takeListeningSocket(config.name)) {
    if (sd_is_socket_unix(*passed, SOCK_STREAM, 1, nullptr, 0) <= 0) {
      return unexpected(fmt::format("{}: the socket passed by the service manager is not a listening Unix stream socket",
                                    config.name));
    }
    fd.reset(*passed);
  } else {
    auto bound = bindSocket(config.socketPath, config.mode);
    if (!bound) return unexpected(fmt::format("{}: {}", config.name, bound.error()));
    fd = std::move(bound).value();
    ownsPath = true;
    struct stat st{};
    if (::lstat(config.socketPath.c_str(), &st) == 0) inode = st.st_ino;
  }

  auto core = std::make_shared<ListenerCore>(std::move(config), std::move(handler));
  std::error_code ec;
  core->acceptor.assign(Protocol(), fd.get(), ec);
  if (ec) return unexpected(fmt::format("{}: cannot use the listening socket: {}", core->config.name, ec.message()));
  fd.release();  // the acceptor owns it now
  asio::post(core->acceptStrand, [core] { acceptNext(core); });
  return std::unique_ptr<ServiceListener>(new AsioServiceListener(core, ownsPath, inode));
}

}  // namespace platform
