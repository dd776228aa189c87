// The service frame: one accept loop, one thread per admitted connection, each running the
// same loop: measure the next message, wait for its share of the memory budget, read it
// whole within the message time-out, answer it, and send the replies as the client takes
// them. Nothing is read from a client while its unread replies are over their bound, so a
// client that sends and never reads holds at most that much.
//
// Thread safety: see service.h. Lock order: connections_mutex_, then a connection's mutex;
// the budget's lock is taken alone.
#include "standins/service/service.h"

#include <fcntl.h>
#include <grp.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/machine_root.h"
#include "standins/wire/busy_wait.h"

namespace service {
namespace {

using Clock = std::chrono::steady_clock;
using wire::UniqueFd;

constexpr int kBacklog = 64;
// What one read takes at most, perhaps beyond the message under way (outside the budget:
// one such buffer per connection, on its thread's stack).
constexpr size_t kReadChunk = 64 * 1024;
// A buffer left larger than this by a big message is given back once it is empty.
constexpr size_t kKeptBuffer = 256 * 1024;
// A message that held this much of the budget is followed by giving freed memory back.
constexpr size_t kTrimAfter = 1u << 20;
int MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

void DropIfLarge(std::string* buffer) {
  buffer->clear();
  if (buffer->capacity() > kKeptBuffer) buffer->shrink_to_fit();
}

}  // namespace

struct Server::Connection {
  Connection(UniqueFd socket, uid_t peer, std::unique_ptr<Session> protocol)
      : fd(std::move(socket)), uid(peer), session(std::move(protocol)) {}

  // Bytes queued and not sent yet.
  size_t UnreadLocked() const { return outbox.size() - sent; }
  void Wake() const {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = write(wake.get(), &one, sizeof one);
  }

  const UniqueFd fd;  // closed only when the last owner goes, so never reused under a user
  const uid_t uid;
  const std::unique_ptr<Session> session;
  const UniqueFd wake{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};  // a notification was queued
  std::mutex mutex;
  std::string outbox;  // replies and notifications; guarded by mutex
  size_t sent = 0;     // of outbox; guarded by mutex
  size_t charged = 0;  // budget held for outbox; guarded by mutex
  std::thread thread;  // started by Run, joined by Reap
  std::atomic<bool> stopping{false};
  std::atomic<bool> ended{false};
};

Server::Server(std::vector<gid_t> admitted_groups, SessionFactory make_session, Limits limits)
    : admitted_groups_(std::move(admitted_groups)),
      make_session_(std::move(make_session)),
      limits_(limits),
      budget_(limits.memory_budget) {}

Server::~Server() {
  if (listener_.valid()) {
    listener_.Reset();
    unlink(path_.c_str());
  }
  Reap(true);
}

bool Server::Listen(const std::string& path, std::string* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path || path.find('/') == std::string::npos) {
    *error = path + ": not usable as a socket path";
    return false;
  }
  // The folder decides who may replace the socket: ours alone, or nobody can trust it.
  const std::string folder = path.substr(0, path.rfind('/'));
  const bool grouped = !admitted_groups_.empty();
  struct stat info;
  if (lstat(folder.c_str(), &info) != 0 && errno == ENOENT) {
    if (mkdir(folder.c_str(), 0700) == 0 && grouped &&
        (chown(folder.c_str(), static_cast<uid_t>(-1), admitted_groups_.front()) != 0 ||
         chmod(folder.c_str(), 0750) != 0)) {
      *error = folder + ": " + ErrorText(errno);
      return false;
    }
  }
  if (lstat(folder.c_str(), &info) != 0) {
    *error = folder + ": " + ErrorText(errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 022) != 0) {
    *error = folder +
             ": not a folder of this account's alone (another account could replace the socket)";
    return false;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  if (lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      *error = path + ": exists and is not a socket";
      return false;
    }
    UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (probe.valid() && connect(probe.get(), generic, sizeof address) == 0) {
      *error = path + ": another server answers on it";
      return false;
    }
    unlink(path.c_str());  // left by a server that did not stop cleanly
  }
  UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  // Nobody else may connect before the socket's mode and group are set.
  mode_t old_mask = umask(0177);
  bool bound = listener.valid() && bind(listener.get(), generic, sizeof address) == 0;
  int bind_error = errno;
  umask(old_mask);
  if (!bound) {
    *error = path + ": " + ErrorText(bind_error);
    return false;
  }
  path_ = path;
  listener_ = std::move(listener);
  if ((grouped && chown(path.c_str(), static_cast<uid_t>(-1), admitted_groups_.front()) != 0) ||
      chmod(path.c_str(), grouped ? 0660 : 0600) != 0 || listen(listener_.get(), kBacklog) != 0) {
    *error = path + ": " + ErrorText(errno);
    return false;
  }
  return true;
}

bool Server::Admit(int fd, Session::Peer* credentials) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  *credentials = {peer.uid, peer.pid};
  if (peer.uid == geteuid()) return true;
  auto admitted = [this](gid_t group) {
    return std::find(admitted_groups_.begin(), admitted_groups_.end(), group) !=
           admitted_groups_.end();
  };
  if (admitted(peer.gid)) return true;
  std::ifstream status("/proc/" + std::to_string(peer.pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Groups:", 0) != 0) continue;
    std::istringstream groups(line.substr(7));
    for (gid_t group; groups >> group;)
      if (admitted(group)) return true;
  }
  LogLimited("refusing peer pid %d uid %u: neither the server's user nor in an admitted group",
             static_cast<int>(peer.pid), static_cast<unsigned>(peer.uid));
  return false;
}

void Server::Run(int stop_fd) {
  pollfd events[2] = {{listener_.get(), POLLIN, 0}, {stop_fd, POLLIN, 0}};
  for (;;) {
    if (poll(events, 2, -1) < 0) {
      if (errno == EINTR) continue;
      Log("poll: %s", ErrorText(errno).c_str());
      break;
    }
    if (events[1].revents != 0) break;
    if ((events[0].revents & (POLLERR | POLLNVAL)) != 0) {
      Log("the listening socket failed");
      break;
    }
    if ((events[0].revents & POLLIN) == 0) continue;
    UniqueFd peer(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    Session::Peer credentials;
    if (!peer.valid() || !Admit(peer.get(), &credentials)) continue;
    const uid_t uid = credentials.uid;
    Reap(false);
    std::lock_guard lock(connections_mutex_);
    if (connections_.size() >= limits_.max_connections) {
      LogLimited("refusing a connection: %zu are open", connections_.size());
      continue;
    }
    const auto held = per_account_.find(uid);
    if (held != per_account_.end() && held->second >= limits_.max_per_account) {
      LogLimited("refusing a connection of uid %u: it holds %zu, its share",
                 static_cast<unsigned>(uid), held->second);
      continue;
    }
    try {
      std::unique_ptr<Session> session = make_session_();
      session->peer_ = credentials;
      auto connection = std::make_shared<Connection>(std::move(peer), uid, std::move(session));
      if (!connection->wake.valid()) continue;
      connections_.push_back(connection);
      ++per_account_[uid];
      connection->thread = std::thread(&Server::Serve, this, connection.get());
    } catch (const std::exception& error) {
      Log("refusing a connection: %s", error.what());
      if (!connections_.empty() && !connections_.back()->thread.joinable()) {
        if (--per_account_[connections_.back()->uid] == 0)
          per_account_.erase(connections_.back()->uid);
        connections_.pop_back();
      }
    }
  }
  listener_.Reset();
  unlink(path_.c_str());
  Reap(true);
}

void Server::Reap(bool all) {
  std::list<std::shared_ptr<Connection>> done;
  {
    std::lock_guard lock(connections_mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      if (all) {
        (*it)->stopping = true;
        shutdown((*it)->fd.get(), SHUT_RDWR);  // wakes its thread
      }
      if (all || (*it)->ended) {
        if (--per_account_[(*it)->uid] == 0) per_account_.erase((*it)->uid);
        done.splice(done.end(), connections_, it);
      }
      it = next;
    }
  }
  for (const auto& connection : done) connection->thread.join();
}

void Server::Notify(const Session* origin, const std::function<std::string(Session&)>& message) {
  std::vector<std::shared_ptr<Connection>> others;
  {
    std::lock_guard lock(connections_mutex_);
    for (const auto& connection : connections_)
      if (connection->session.get() != origin && !connection->ended) others.push_back(connection);
  }
  for (const auto& connection : others) {
    const std::string bytes = message(*connection->session);
    if (bytes.empty()) continue;
    std::lock_guard lock(connection->mutex);
    if (connection->UnreadLocked() + bytes.size() > limits_.max_unread_reply_bytes ||
        !budget_.TryTake(bytes.size())) {
      LogLimited("disconnecting a session that does not read its notifications");
      shutdown(connection->fd.get(), SHUT_RDWR);
      continue;
    }
    connection->outbox += bytes;
    connection->charged += bytes.size();
    connection->Wake();
  }
}

void Server::Serve(Connection* connection) {
  const int fd = connection->fd.get();
  wire::BusyWait busy_wait;
  Session& session = *connection->session;
  std::string inbox;  // bytes received and not handled yet, from `start` on
  size_t start = 0;
  size_t size = 0;      // of the message under way, once measured
  size_t reserved = 0;  // budget held for it
  bool measured = false, closing = false;
  Clock::time_point now = Clock::now();
  // A new connection is idle until its first byte (a client library may open its session
  // well before its first message); each account holds only its share of them.
  Clock::time_point message_due = now;
  bool awaiting = false;  // a message under way is due by message_due
  Clock::time_point idle_due = now + limits_.idle_timeout;
  Clock::time_point write_due = now;
  const char* why = nullptr;  // the reason to end, when it is worth a line
  auto give_up = [connection] { return connection->stopping.load(); };
  try {
    for (;;) {
      // Answer every whole message there is, while the client reads its replies.
      std::string replies;
      size_t unread;
      {
        std::lock_guard lock(connection->mutex);
        unread = connection->UnreadLocked();
      }
      while (!closing && unread < limits_.max_unread_reply_bytes) {
        const std::string_view head = std::string_view(inbox).substr(start);
        if (!measured) {
          if (head.empty()) break;
          size_t cost = 0;
          const Session::Measure measure = session.MeasureNext(head, &size, &cost);
          if (measure == Session::Measure::kNeedMore) break;
          if (measure == Session::Measure::kMalformed || size == 0) {
            why = "closing a connection that sent a malformed message";
            break;
          }
          if (!budget_.Take(size + cost, give_up)) {
            why = connection->stopping
                      ? nullptr
                      : "closing a connection whose message exceeds the memory budget";
            break;
          }
          reserved = size + cost;
          measured = true;
          // Waiting for the budget is the server's time, not the client's.
          message_due = Clock::now() + limits_.message_timeout;
          if (start > 0) inbox.erase(0, std::exchange(start, 0));
          inbox.reserve(size + kReadChunk);  // a read may bring the next one's first bytes
          continue;
        }
        if (head.size() < size) break;
        const bool keep = session.Handle(head.substr(0, size), &replies);
        start += size;
        measured = false;
        now = Clock::now();
        idle_due = now + limits_.idle_timeout;
        awaiting = start < inbox.size();
        if (awaiting) {
          message_due = now + limits_.message_timeout;
        } else {
          start = 0;
          DropIfLarge(&inbox);
        }
        // A large message's decoded pieces are freed by now; the allocator keeps freed
        // memory in the arena of the thread that freed it unless told to give it back.
        if (reserved >= kTrimAfter) malloc_trim(0);
        // The replies take the place of the message in the budget.
        std::lock_guard lock(connection->mutex);
        const size_t kept = std::min(reserved, replies.size());
        budget_.Give(reserved - kept);
        connection->charged += kept;
        reserved = 0;
        if (!keep) closing = true;
        if (connection->UnreadLocked() == 0) write_due = now + limits_.message_timeout;
        connection->outbox += replies;
        unread = connection->UnreadLocked();
        replies.clear();
      }
      if (why != nullptr) break;

      // Send what the client takes now.
      bool writing, broken = false;
      {
        std::lock_guard lock(connection->mutex);
        while (connection->UnreadLocked() > 0) {
          const ssize_t sent = send(fd, connection->outbox.data() + connection->sent,
                                    connection->UnreadLocked(), MSG_NOSIGNAL | MSG_DONTWAIT);
          if (sent > 0) {
            // What the socket took is no longer ours to hold.
            connection->sent += static_cast<size_t>(sent);
            const size_t given = std::min(connection->charged, static_cast<size_t>(sent));
            budget_.Give(given);
            connection->charged -= given;
            if (connection->sent > connection->outbox.size() / 2) {
              connection->outbox.erase(0, std::exchange(connection->sent, 0));
            }
            write_due = Clock::now() + limits_.message_timeout;
          } else if (sent < 0 && errno == EINTR) {
            continue;
          } else {
            broken = sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
            break;
          }
        }
        if (connection->UnreadLocked() == 0 && !connection->outbox.empty()) {
          connection->sent = 0;
          DropIfLarge(&connection->outbox);
          budget_.Give(std::exchange(connection->charged, 0));
        }
        writing = connection->UnreadLocked() > 0;
        unread = connection->UnreadLocked();
      }
      if (broken || (closing && !writing)) break;

      // Wait for the client, or for a notification queued by another thread.
      const bool want_input = !closing && unread < limits_.max_unread_reply_bytes;
      now = Clock::now();
      const Clock::time_point due = writing ? write_due : awaiting ? message_due : idle_due;
      if (now >= due) {
        why = writing    ? "closing a connection that does not read its replies"
              : awaiting ? "closing a connection that stalled in the middle of a message"
                         : nullptr;  // idle: nothing worth a line
        break;
      }
      pollfd events[2] = {
          {fd, static_cast<short>((want_input ? POLLIN : 0) | (writing ? POLLOUT : 0)), 0},
          {connection->wake.get(), POLLIN, 0}};
      // The client's next message follows its last reply within microseconds in a burst.
      const bool ready = want_input && !writing && busy_wait.Readable(fd);
      if (!ready && poll(events, 2, MillisecondsUntil(due)) < 0 && errno != EINTR) break;
      if (events[1].revents != 0) {
        uint64_t count;
        [[maybe_unused]] ssize_t ignored = read(connection->wake.get(), &count, sizeof count);
      }
      if (connection->stopping) break;
      if ((events[0].revents & (POLLERR | POLLNVAL)) != 0) break;
      if (!want_input && (events[0].revents & POLLHUP) != 0) break;  // nobody left to read
      if (!want_input) continue;
      char chunk[kReadChunk];
      const ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
      if (got > 0) inbox.append(chunk, static_cast<size_t>(got));  // room was made when measured
      if (got == 0) break;
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        break;
      }
      if (!awaiting) {
        awaiting = true;
        message_due = Clock::now() + limits_.message_timeout;
      }
    }
  } catch (const std::exception& error) {
    LogLimited("closing a connection: %s", error.what());
  }
  if (why != nullptr) LogLimited("%s", why);
  shutdown(fd, SHUT_RDWR);
  budget_.Give(reserved);
  {
    std::lock_guard lock(connection->mutex);
    budget_.Give(std::exchange(connection->charged, 0));
    connection->outbox.clear();
    connection->outbox.shrink_to_fit();
    connection->sent = 0;
  }
  connection->ended = true;
}

bool AddGroups(const std::string& list, std::vector<gid_t>* groups) {
  for (size_t start = 0; start <= list.size();) {
    const size_t end = std::min(list.find(',', start), list.size());
    const std::string name = list.substr(start, end - start);
    start = end + 1;
    if (!name.empty() && name.size() < 10 &&
        name.find_first_not_of("0123456789") == std::string::npos) {
      groups->push_back(static_cast<gid_t>(std::stoul(name)));
      continue;
    }
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
      Log("unknown group '%s'", name.c_str());
      return false;
    }
    groups->push_back(found->gr_gid);
  }
  return true;
}

bool Start(const char* name, Startup* startup) {
  umask(0077);  // what a server makes is its own; the socket's mode is set where it is made
  // Large buffers (a frame, a reply) come from their own mappings and go back whole when
  // freed: the allocator would otherwise raise this threshold after the first such buffer
  // and keep every later one in its arenas.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  std::error_code ignored;
  std::filesystem::create_directories(platform::MachineRoot(), ignored);
  const std::string lock_path = platform::MachineFile(std::string(name) + ".lock");
  startup->lock.Reset(open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!startup->lock.valid() || flock(startup->lock.get(), LOCK_EX | LOCK_NB) != 0) {
    Log("%s: %s", lock_path.c_str(),
        errno == EWOULDBLOCK ? "another server of this kind runs on this root" : "cannot lock");
    return false;
  }
  // Blocked before any thread starts, so every thread inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  signal(SIGPIPE, SIG_IGN);
  if (sigprocmask(SIG_BLOCK, &stop_signals, nullptr) == 0)
    startup->stop.Reset(signalfd(-1, &stop_signals, SFD_CLOEXEC));
  if (!startup->stop.valid()) {
    Log("cannot watch for signals");
    return false;
  }
  return true;
}

}  // namespace service
