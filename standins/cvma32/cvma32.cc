// libcvma32.so: sessions on the agent's socket and the messages exchanged over them.
//
// Sessions and messages share one handle table fed by one counter, so a handle is handed
// out again only after the counter has gone all the way round, and a session handle is
// never mistaken for a message handle. A session owns one connection, made when it opens
// and made again at the next send after it broke or timed out. Replies are matched to
// requests by a per-session request id; change notifications read on the way are queued.
// The agent forgets a connection's check-ins when it ends, so a session keeps the check-ins
// the agent accepted and sends them again on every new connection before anything else.
//
// Thread safety: the handle table is under its own mutex and hands out shared owners, so a
// handle closed by one thread stays usable by a call already running in another. A
// session's connection and inbox are used only under Session::mutex, which a send or a
// reconnect holds for its whole exchange (one exchange at a time); its queue of
// notifications and the bookkeeping of who waits for what are under a second, inner mutex
// held only briefly. A taker of notifications never holds the session while it waits: it
// waits without either lock on the connection and on the session's wake-up descriptor, and
// leaves reading to the senders while any is at work (they queue what they read and wake
// it). A message's body and reply are used only under Message::mutex.
#include "standins/agent_api/cvma32.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "platform/machine_root.h"
#include "platform/peer_identity.h"
#include "standins/agent_api/cvpmapi.h"
#ifdef _WIN32
#include "platform/named_pipe_windows.h"
#else
#include "standins/wire/busy_wait.h"
#endif
#include "standins/wire/unique_fd.h"
#include "standins/wire/wire.h"

namespace {

using Clock = std::chrono::steady_clock;
using wire::UniqueFd;

constexpr size_t kMaxQueuedNotifications = 1024;
// Check-ins kept for replay per session (the agent keeps no more per connection either).
constexpr size_t kMaxKeptCheckIns = 1024;
// Bounds a connect to an agent whose listen backlog is full.
constexpr auto kConnectTimeout = std::chrono::seconds(2);
// While sends follow each other, a taker leaves the connection to them (their replies would
// wake it at every one) and looks again this often; it watches the connection itself again
// once a look finds that no send began since the one before.
constexpr auto kSenderTurn = std::chrono::milliseconds(1);

// Milliseconds left until `deadline`, rounded up, for poll().
int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

enum class Io { kOk, kTimeout, kBroken };

#ifdef _WIN32
// On Windows the connection is a pipe and the wake-up a manual-reset event, each named by
// its handle's value. A pipe has no readiness to wait on but a read, and a read in flight
// would take bytes a sender needs: a taker looks at the pipe every kPipeLook instead.
constexpr auto kPipeLook = std::chrono::milliseconds(2);

HANDLE AsHandle(int value) { return reinterpret_cast<HANDLE>(intptr_t{value}); }

UniqueFd MakeWakeUp() {
  return UniqueFd(static_cast<int>(
      reinterpret_cast<intptr_t>(CreateEventW(nullptr, TRUE, FALSE, nullptr))));
}

// Bytes waiting in the pipe, or -1 when it has ended or failed.
long PipeAvailable(int fd) {
  DWORD available = 0;
  if (!PeekNamedPipe(AsHandle(fd), nullptr, 0, nullptr, &available, nullptr)) return -1;
  return static_cast<long>(std::min<DWORD>(available, LONG_MAX));
}
#else
UniqueFd MakeWakeUp() { return UniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)); }
#endif

class Session {
 public:
  explicit Session(std::string path)
      : path_(std::move(path)), wake_(MakeWakeUp()) {}

  // False when the session could not get its wake-up descriptor.
  bool usable() const { return wake_.valid(); }
  // Drops any connection and makes a new one.
  bool Connect();
  // The last Connect failed because the socket refuses this process (under `mutex`).
  bool denied() const { return denied_; }
  // The last Connect found the socket served by an account not trusted (under `mutex`).
  bool wrong_server() const { return wrong_server_; }
  // Connect(), then the check-ins accepted on earlier connections are made again. False
  // (and no connection) when either fails.
  bool Reconnect();
  bool connected() const { return conn_ != nullptr; }
  // Runs `body` (an exchange on the connection) under `mutex`, once the senders before it
  // are done. A taker waiting meanwhile leaves the connection to it.
  template <typename F>
  auto Exclusively(F&& body) -> decltype(body());
  // Sends one request and waits for its reply. A CVMA_SEND_* status. Under `mutex`.
  uint32_t Exchange(const std::string& destination, uint32_t message_id, const std::string& body,
                    uint32_t timeout_ms, std::string* reply);
  // Takes the oldest queued notification into `oid` (its OID, terminated), waiting up to
  // `timeout_ms` for one when none is queued. A CVMA_* result. Called without `mutex`.
  int32_t TakeNotification(uint32_t timeout_ms, char* oid, uint32_t capacity);

  std::mutex mutex;

 private:
  using Connection = std::shared_ptr<const UniqueFd>;
  // What a taker is waiting on, so that only the changes it would miss wake it.
  enum class Waiting { kNothing, kSocket, kTurn };

  // Under queue_mutex_: wakes a taker waiting on `what` (any waiting taker when kNothing).
  void WakeLocked(Waiting what) {
    if (waiting_ == Waiting::kNothing || (what != Waiting::kNothing && waiting_ != what)) return;
#ifdef _WIN32
    SetEvent(AsHandle(wake_.get()));
#else
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = write(wake_.get(), &one, sizeof one);  // full: woken already
#endif
  }
  // Under queue_mutex_: forgets wake-ups that came before the taker looked at the state.
  void ClearWakeLocked() {
#ifdef _WIN32
    ResetEvent(AsHandle(wake_.get()));
#else
    uint64_t count;
    [[maybe_unused]] ssize_t ignored = read(wake_.get(), &count, sizeof count);
#endif
  }
  // Replaces the connection (under `mutex`). A taker waiting on the old one looks again; it
  // keeps the old descriptor open until it does, so it never waits on a reused number.
  void SetConnection(Connection connection) {
    std::lock_guard lock(queue_mutex_);
    conn_ = std::move(connection);
    WakeLocked(Waiting::kSocket);
  }
  int fd() const { return conn_->get(); }
  void Drop() {
    SetConnection(nullptr);
    inbox_.clear();
  }
  void Queue(std::string packed_oid) {
    std::lock_guard lock(queue_mutex_);
    if (notifications_.size() == kMaxQueuedNotifications) notifications_.pop_front();
    notifications_.push_back(std::move(packed_oid));
    WakeLocked(Waiting::kNothing);
  }
  // Under queue_mutex_: true with the result in `*result` when a notification was queued
  // (taken into `oid` unless it does not fit).
  bool TakeQueuedLocked(char* oid, uint32_t capacity, int32_t* result);
  Io Write(std::string_view data, Clock::time_point deadline);
  Io ReadFrame(Clock::time_point deadline, wire::Frame* frame);
  uint32_t NextRequestId() {
    const uint32_t id = next_request_id_++;
    if (next_request_id_ == 0) next_request_id_ = 1;
    return id;
  }
  // Keeps the request body (destination + pattern) of a check-in the agent accepted.
  void KeepCheckIn(std::string request_body);
  // Sends the kept check-ins on the new connection, each waiting for its reply.
  bool ReplayCheckIns();
  // Reads whatever has arrived without waiting; false when the connection is gone.
  bool Drain();

  const std::string path_;
  const UniqueFd wake_;  // readable when a waiting taker should look at the state again
  // Under `mutex`:
  std::string inbox_;  // bytes read but not yet taken as frames
#ifndef _WIN32
  wire::BusyWait busy_wait_;
#endif
  uint32_t next_request_id_ = 1;
  bool denied_ = false;
  bool wrong_server_ = false;
  std::vector<std::string> check_ins_;
  // Written under both `mutex` and queue_mutex_, so read under either.
  Connection conn_;
  std::mutex queue_mutex_;
  std::condition_variable taker_turn_;  // signalled when a taker is done
  // Under queue_mutex_:
  bool taking_ = false;  // takers take turns among themselves (never with the senders)
  std::deque<std::string> notifications_;
  int exchanges_ = 0;            // senders inside Exclusively
  uint64_t exchanges_begun_ = 0;  // ever, as a taker's sign that sends go on
  Waiting waiting_ = Waiting::kNothing;
};

template <typename F>
auto Session::Exclusively(F&& body) -> decltype(body()) {
  {
    std::lock_guard lock(queue_mutex_);
    ++exchanges_;
    ++exchanges_begun_;
  }
  struct Leave {  // after `mutex` is released
    Session* session;
    ~Leave() {
      try {
        std::lock_guard lock(session->queue_mutex_);
        --session->exchanges_;
      } catch (...) {
        // Only the lock can throw, and in practice it does not.
      }
    }
  } leave{this};
  std::lock_guard lock(mutex);
  return body();
}

bool Session::Connect() {
  Drop();
  denied_ = false;
  wrong_server_ = false;
#ifdef _WIN32
  const std::wstring name = platform::PipeNameForPath(path_);
  unsigned long error = 0;
  void* pipe = name.empty() ? nullptr : platform::OpenPipe(name, kConnectTimeout, &error);
  if (pipe == nullptr) {
    // The pipe does not admit this process's account.
    denied_ = error == ERROR_ACCESS_DENIED;
    return false;
  }
  UniqueFd fd(static_cast<int>(reinterpret_cast<intptr_t>(pipe)));
  if (!platform::ServedByTrustedAccount(fd.get())) {
    wrong_server_ = true;
    return false;
  }
#else
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.empty() || path_.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, path_.data(), path_.size());
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  timeval timeout{std::chrono::seconds(kConnectTimeout).count(), 0};
  if (!fd.valid() || setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0)
    return false;
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    // The socket or a folder above it is not open to this process's user.
    denied_ = errno == EACCES || errno == EPERM;
    return false;
  }
  // Whoever answers on the path hears nothing until it is known to be the agent.
  if (!platform::ServedByTrustedAccount(fd.get())) {
    wrong_server_ = true;
    return false;
  }
  // Reads and writes are bounded by poll() against the caller's deadline from here on.
  timeval none{};
  if (setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none) != 0) return false;
#endif
  SetConnection(std::make_shared<const UniqueFd>(std::move(fd)));
  return true;
}

bool Session::Reconnect() {
  if (Connect() && ReplayCheckIns()) return true;
  Drop();
  return false;
}

void Session::KeepCheckIn(std::string request_body) {
  if (std::find(check_ins_.begin(), check_ins_.end(), request_body) != check_ins_.end()) return;
  if (check_ins_.size() == kMaxKeptCheckIns) check_ins_.erase(check_ins_.begin());
  check_ins_.push_back(std::move(request_body));
}

bool Session::ReplayCheckIns() {
  const Clock::time_point deadline = Clock::now() + kConnectTimeout;
  for (const std::string& request_body : check_ins_) {
    const uint32_t request_id = NextRequestId();
    std::string bytes;
    if (!wire::EncodeFrame({wire::FrameKind::kRequest, request_id, wire::kCheckIn, request_body},
                           &bytes) ||
        Write(bytes, deadline) != Io::kOk)
      return false;
    for (;;) {
      wire::Frame frame;
      if (ReadFrame(deadline, &frame) != Io::kOk || frame.kind == wire::FrameKind::kRequest)
        return false;
      if (frame.kind == wire::FrameKind::kNotification) {
        Queue(std::move(frame.body));
      } else if (frame.request_id == request_id) {
        break;  // a refusal now is the agent's answer to the same request as before
      }
    }
  }
  return true;
}

Io Session::Write(std::string_view data, Clock::time_point deadline) {
#ifdef _WIN32
  if (platform::PipeWriteAll(AsHandle(fd()), data.data(), data.size(), deadline)) return Io::kOk;
  return PipeAvailable(fd()) >= 0 && Clock::now() >= deadline ? Io::kTimeout : Io::kBroken;
#else
  while (!data.empty()) {
    ssize_t sent = send(fd(), data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      data.remove_prefix(static_cast<size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return Io::kBroken;
    int wait = RemainingMs(deadline);
    if (wait == 0) return Io::kTimeout;
    pollfd event{fd(), POLLOUT, 0};
    if (poll(&event, 1, wait) < 0 && errno != EINTR) return Io::kBroken;
  }
  return Io::kOk;
#endif
}

Io Session::ReadFrame(Clock::time_point deadline, wire::Frame* frame) {
  for (;;) {
    if (inbox_.size() >= 4) {
      // The length is checked before anything of that size is awaited or kept.
      uint32_t length;
      if (!wire::DecodeFrameLength(inbox_.data(), &length)) return Io::kBroken;
      if (inbox_.size() - 4 >= length) {
        bool ok = wire::DecodeFrameRest(std::string_view(inbox_).substr(4, length), frame);
        inbox_.erase(0, 4 + size_t{length});
        return ok ? Io::kOk : Io::kBroken;
      }
    }
    char chunk[64 * 1024];
#ifdef _WIN32
    // What is there is read at once; otherwise a read waits for the first bytes.
    const long available = PipeAvailable(fd());
    if (available < 0) return Io::kBroken;
    if (available == 0 && RemainingMs(deadline) == 0) return Io::kTimeout;
    const size_t piece = available > 0 ? std::min<size_t>(available, sizeof chunk) : sizeof chunk;
    const size_t read = platform::PipeReadSome(AsHandle(fd()), chunk, piece, deadline);
    if (read == 0) return PipeAvailable(fd()) < 0 ? Io::kBroken : Io::kTimeout;
    inbox_.append(chunk, read);
#else
    ssize_t got = recv(fd(), chunk, sizeof chunk, MSG_DONTWAIT);
    if (got > 0) {
      inbox_.append(chunk, static_cast<size_t>(got));
      continue;
    }
    if (got == 0) return Io::kBroken;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Io::kBroken;
    int wait = RemainingMs(deadline);
    if (wait == 0) return Io::kTimeout;
    if (busy_wait_.Readable(fd())) continue;  // a reply usually comes within it
    pollfd event{fd(), POLLIN, 0};
    if (poll(&event, 1, wait) < 0 && errno != EINTR) return Io::kBroken;
#endif
  }
}

bool Session::Drain() {
  for (;;) {
    wire::Frame frame;
    switch (ReadFrame(Clock::now(), &frame)) {
      case Io::kTimeout:
        return true;
      case Io::kBroken:
        return false;
      case Io::kOk:
        if (frame.kind == wire::FrameKind::kRequest) return false;
        if (frame.kind == wire::FrameKind::kNotification) Queue(std::move(frame.body));
        break;  // a reply now can only be a late one of a request given up on
    }
  }
}

uint32_t Session::Exchange(const std::string& destination, uint32_t message_id,
                           const std::string& body, uint32_t timeout_ms, std::string* reply) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  const uint32_t request_id = NextRequestId();
  std::string request_body = destination + body;
  std::string bytes;
  if (!wire::EncodeFrame({wire::FrameKind::kRequest, request_id, message_id, request_body},
                         &bytes))
    return CVMA_SEND_BROKEN;

  // An agent that went away since the last exchange shows here as a connection that has
  // ended or refuses the write; nothing of this request reached it, so one new connection
  // is tried.
  if (connected() && !Drain()) Drop();
  bool fresh = !connected();
  if (fresh && !Reconnect()) return CVMA_SEND_NO_AGENT;
  Io sent = Write(bytes, deadline);
  if (sent == Io::kBroken && !fresh) {
    if (!Reconnect()) return CVMA_SEND_NO_AGENT;
    sent = Write(bytes, deadline);
  }
  while (sent == Io::kOk) {
    wire::Frame frame;
    sent = ReadFrame(deadline, &frame);
    if (sent != Io::kOk) break;
    if (frame.kind == wire::FrameKind::kNotification) {
      Queue(std::move(frame.body));
    } else if (frame.kind == wire::FrameKind::kRequest) {
      sent = Io::kBroken;
    } else if (frame.request_id == request_id) {
      std::string_view status_word = frame.body;
      uint32_t status = ~0u;
      if (message_id == wire::kCheckIn && wire::GetU32(&status_word, &status) &&
          status == wire::kStatusOk)
        KeepCheckIn(std::move(request_body));
      *reply = std::move(frame.body);
      // A notification read together with the reply would otherwise wait in the inbox,
      // where no poll on the socket shows it to a taker.
      [[maybe_unused]] const bool still_connected = Drain();
      return CVMA_SEND_OK;
    }
  }
  // A late reply on this connection could be taken for the next request's: start anew.
  Drop();
  return sent == Io::kTimeout ? CVMA_SEND_TIMEOUT : CVMA_SEND_BROKEN;
}

bool Session::TakeQueuedLocked(char* oid, uint32_t capacity, int32_t* result) {
  while (!notifications_.empty()) {
    std::string_view in = notifications_.front();
    std::string text;
    if (wire::DecodePackedOid(&in, &text, false) && in.empty()) {
      if (text.size() >= capacity) {
        *result = CVMA_E_ARGUMENT;  // stays queued for a caller with room for it
      } else {
        std::memcpy(oid, text.c_str(), text.size() + 1);
        notifications_.pop_front();
        *result = CVMA_OK;
      }
      return true;
    }
    notifications_.pop_front();  // not an OID: nothing a caller could do with it
  }
  return false;
}

// A taker looks at the state under queue_mutex_ only. While no send goes on it waits on the
// connection and reads what arrived under `mutex`, taken without waiting (a sender that has
// it reads the same bytes). While sends go on it leaves the connection to them: they queue
// the notifications they read and wake it, and it looks again every kSenderTurn. Every wait
// also ends at a wake-up, so nothing queued or changed meanwhile is missed, and a taker
// never delays a sender by more than one read of bytes already there.
int32_t Session::TakeNotification(uint32_t timeout_ms, char* oid, uint32_t capacity) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  {
    std::unique_lock lock(queue_mutex_);
    if (!taker_turn_.wait_until(lock, deadline, [this] { return !taking_; }))
      return CVMA_E_NO_NOTIFICATION;
    taking_ = true;
  }
  struct Done {
    Session* session;
    ~Done() {
      try {
        {
          std::lock_guard lock(session->queue_mutex_);
          session->taking_ = false;
          session->waiting_ = Waiting::kNothing;
        }
        session->taker_turn_.notify_one();
      } catch (...) {
        // Only the lock can throw, and in practice it does not.
      }
    }
  } done{this};
  bool first = true;
  uint64_t begun = 0;     // exchanges begun at the last look
  bool readable = false;  // the connection had something to read at the last look
  bool last_look = false;
  for (;;) {
    Connection connection;
    {
      std::lock_guard lock(queue_mutex_);
      ClearWakeLocked();
      int32_t result;
      if (TakeQueuedLocked(oid, capacity, &result)) return result;
      const bool sending = exchanges_ > 0 || (!first && exchanges_begun_ != begun);
      first = false;
      begun = exchanges_begun_;
      if (!sending) {
        if (conn_ == nullptr) return CVMA_E_CONNECT;
        connection = conn_;
      }
      waiting_ = sending ? Waiting::kTurn : Waiting::kSocket;
    }
    if (connection != nullptr && readable) {
      readable = false;
      std::unique_lock exchange(mutex, std::try_to_lock);
      // Not had: a sender is at it and reads the same bytes.
      if (exchange.owns_lock() && conn_ == connection && !Drain()) {
        Drop();
        return CVMA_E_CONNECT;
      }
      continue;
    }
    if (last_look) return CVMA_E_NO_NOTIFICATION;
    int wait = RemainingMs(deadline);
    last_look = wait == 0;
    if (connection == nullptr) wait = std::min(wait, static_cast<int>(kSenderTurn.count()));
#ifdef _WIN32
    if (connection != nullptr) wait = std::min(wait, static_cast<int>(kPipeLook.count()));
    if (WaitForSingleObject(AsHandle(wake_.get()), static_cast<DWORD>(wait)) == WAIT_FAILED)
      return CVMA_E_MEMORY;
    readable = connection != nullptr && PipeAvailable(connection->get()) != 0;  // data or an end
#else
    pollfd looks[2] = {{wake_.get(), POLLIN, 0},
                       {connection != nullptr ? connection->get() : -1, POLLIN, 0}};
    if (poll(looks, 2, wait) < 0 && errno != EINTR) return CVMA_E_MEMORY;
    readable = looks[1].revents != 0;  // data, an end or an error: the read tells which
#endif
  }
}

struct Message {
  explicit Message(uint32_t id) : id(id) {}

  const uint32_t id;
  std::mutex mutex;
  std::string body;
  std::string reply;
  bool has_reply = false;
};

class HandleTable {
 public:
  using Entry = std::variant<std::shared_ptr<Session>, std::shared_ptr<Message>>;

  uint32_t Add(Entry entry) {
    std::lock_guard lock(mutex_);
    for (;;) {
      uint32_t handle = next_++;
      if (handle != 0 && entries_.emplace(handle, std::move(entry)).second) return handle;
    }
  }

  template <typename T>
  std::shared_ptr<T> Find(uint32_t handle) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(handle);
    if (it == entries_.end()) return nullptr;
    auto* owner = std::get_if<std::shared_ptr<T>>(&it->second);
    return owner != nullptr ? *owner : nullptr;
  }

  template <typename T>
  bool Remove(uint32_t handle) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(handle);
    if (it == entries_.end() || !std::holds_alternative<std::shared_ptr<T>>(it->second))
      return false;
    entries_.erase(it);
    return true;
  }

 private:
  std::mutex mutex_;
  uint32_t next_ = 1;
  std::unordered_map<uint32_t, Entry> entries_;
};

// Never destroyed, so calls made while the process exits still find a table.
HandleTable& Handles() {
  static HandleTable* table = new HandleTable;
  return *table;
}

// Runs `body`, turning anything it throws (only allocation and lock failures can) into
// `on_failure`: no exception leaves the library.
template <typename R, typename F>
R Guarded(R on_failure, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return on_failure;
  }
}

}  // namespace

extern "C" {

int32_t CVMAOpenSession(const char* socket_path, uint32_t* session) {
  return Guarded<int32_t>(CVMA_E_MEMORY, [&]() -> int32_t {
    if (session == nullptr) return CVMA_E_ARGUMENT;
    *session = 0;
    std::string path = socket_path != nullptr && *socket_path != '\0'
                           ? socket_path
                           : platform::MachineFile(wire::kAgentSocket);
    auto owner = std::make_shared<Session>(std::move(path));
    if (!owner->usable()) return CVMA_E_MEMORY;
    if (!owner->Connect()) {
      return owner->denied()         ? CVMA_E_ACCESS
             : owner->wrong_server() ? CVMA_E_WRONG_SERVER
                                     : CVMA_E_CONNECT;
    }
    *session = Handles().Add(std::move(owner));
    return CVMA_OK;
  });
}

int32_t CVMACloseSession(uint32_t session) {
  return Guarded<int32_t>(CVMA_E_MEMORY, [&]() -> int32_t {
    return Handles().Remove<Session>(session) ? CVMA_OK : CVMA_E_HANDLE;
  });
}

uint32_t CVMACreateMessage(uint32_t message_id) {
  return Guarded<uint32_t>(0, [&] { return Handles().Add(std::make_shared<Message>(message_id)); });
}

int32_t CVMADeleteMessage(uint32_t message) {
  return Guarded<int32_t>(CVMA_E_MEMORY, [&]() -> int32_t {
    return Handles().Remove<Message>(message) ? CVMA_OK : CVMA_E_HANDLE;
  });
}

int32_t CVMASetMessageData(uint32_t message, const void* data, uint32_t length) {
  return Guarded<int32_t>(CVMA_E_MEMORY, [&]() -> int32_t {
    auto owner = Handles().Find<Message>(message);
    if (owner == nullptr) return CVMA_E_HANDLE;
    if ((data == nullptr && length != 0) || length > wire::kMaxFrameBody) return CVMA_E_ARGUMENT;
    std::string body(static_cast<const char*>(data), length);
    std::lock_guard lock(owner->mutex);
    owner->body = std::move(body);
    return CVMA_OK;
  });
}

uint32_t CVMAGetMessageID(uint32_t message) {
  return Guarded<uint32_t>(0, [&]() -> uint32_t {
    auto owner = Handles().Find<Message>(message);
    return owner != nullptr ? owner->id : 0;
  });
}

uint32_t CVMAGetMessageDataSize(uint32_t message) {
  return Guarded<uint32_t>(0, [&]() -> uint32_t {
    auto owner = Handles().Find<Message>(message);
    if (owner == nullptr) return 0;
    std::lock_guard lock(owner->mutex);
    return static_cast<uint32_t>(owner->body.size());
  });
}

const void* CVMAGetMessageDataBuffer(uint32_t message) {
  return Guarded<const void*>(nullptr, [&]() -> const void* {
    auto owner = Handles().Find<Message>(message);
    if (owner == nullptr) return nullptr;
    std::lock_guard lock(owner->mutex);
    return owner->body.empty() ? nullptr : owner->body.data();
  });
}

uint32_t CVMASendMessage(uint32_t session, uint32_t destination, uint32_t message,
                         uint32_t timeout_ms) {
  return Guarded<uint32_t>(CVMA_SEND_BROKEN, [&]() -> uint32_t {
    auto link = Handles().Find<Session>(session);
    auto owner = Handles().Find<Message>(message);
    const void* packed = nullptr;
    if (link == nullptr || owner == nullptr || PqhGetPackedOID(destination, &packed) != VMP_OK ||
        packed == nullptr)
      return CVMA_SEND_BAD_HANDLE;
    uint32_t packed_size = PqhGetPackedOIDSize(packed);
    if (packed_size == 0) return CVMA_SEND_BAD_HANDLE;
    std::string target(static_cast<const char*>(packed), packed_size);
    std::string body;
    {
      std::lock_guard lock(owner->mutex);
      body = owner->body;
    }
    std::string reply;
    uint32_t status;
    {
      status = link->Exclusively(
          [&] { return link->Exchange(target, owner->id, body, timeout_ms, &reply); });
    }
    if (status == CVMA_SEND_OK) {
      std::lock_guard lock(owner->mutex);
      owner->reply = std::move(reply);
      owner->has_reply = true;
    }
    return status;
  });
}

uint32_t CVMAGetResponseDataSize(uint32_t message) {
  return Guarded<uint32_t>(0, [&]() -> uint32_t {
    auto owner = Handles().Find<Message>(message);
    if (owner == nullptr) return 0;
    std::lock_guard lock(owner->mutex);
    return static_cast<uint32_t>(owner->reply.size());
  });
}

int32_t CVMAGetResponseData(uint32_t message, void* buffer, uint32_t length) {
  return Guarded<int32_t>(CVMA_E_MEMORY, [&]() -> int32_t {
    auto owner = Handles().Find<Message>(message);
    if (owner == nullptr) return CVMA_E_HANDLE;
    std::lock_guard lock(owner->mutex);
    if ((buffer == nullptr && length != 0) || length > owner->reply.size()) return CVMA_E_ARGUMENT;
    if (length != 0) std::memcpy(buffer, owner->reply.data(), length);
    return CVMA_OK;
  });
}

const void* CVMAGetResponseDataBuffer(uint32_t message) {
  return Guarded<const void*>(nullptr, [&]() -> const void* {
    auto owner = Handles().Find<Message>(message);
    if (owner == nullptr) return nullptr;
    std::lock_guard lock(owner->mutex);
    return owner->has_reply ? owner->reply.data() : nullptr;
  });
}

int32_t CVMATakeNotification(uint32_t session, uint32_t timeout_ms, char* oid,
                             uint32_t capacity) {
  return Guarded<int32_t>(CVMA_E_MEMORY, [&]() -> int32_t {
    auto link = Handles().Find<Session>(session);
    if (link == nullptr) return CVMA_E_HANDLE;
    if (oid == nullptr || capacity == 0) return CVMA_E_ARGUMENT;
    return link->TakeNotification(timeout_ms, oid, capacity);
  });
}

int32_t CVMAReconnectSession(uint32_t session) {
  return Guarded<int32_t>(CVMA_E_MEMORY, [&]() -> int32_t {
    auto link = Handles().Find<Session>(session);
    if (link == nullptr) return CVMA_E_HANDLE;
    return link->Exclusively([&]() -> int32_t {
      if (link->connected()) return CVMA_OK;
      return link->Reconnect() ? CVMA_OK : CVMA_E_CONNECT;
    });
  });
}

}  // extern "C"
