// The agent's socket server: one accept loop, one thread per admitted connection.
//
// A connection that sends something other than request frames, or stops in the middle of
// a frame for kFrameTimeout, is closed; an idle one (between frames) may stay open. Replies
// are written with a send time-out; notifications never wait, and a peer whose socket
// buffer cannot take one is disconnected rather than sent a frame cut short.
//
// Thread safety: see agent_server.h. Lock order: connections_mutex_, then a connection's
// write_mutex or patterns_mutex (never both at once).
#include "standins/cvmad/agent_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>

#include "standins/include/cvpmapi.h"
#include "standins/wire/busy_wait.h"

namespace cvmad {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxConnections = 256;
constexpr size_t kMaxPatterns = 1024;  // per connection
constexpr int kBacklog = 64;
constexpr auto kFrameTimeout = std::chrono::seconds(10);
constexpr time_t kReplyTimeoutSeconds = 10;

std::string ErrorText(int error) { return std::generic_category().message(error); }

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

// Reads the next frame of the connection. The first byte of a frame may be awaited without
// limit; the rest must follow within kFrameTimeout. False when the connection ended, stalled
// or sent something that is not a frame.
bool ReadFrame(int fd, std::string* inbox, wire::Frame* frame) {
  std::optional<Clock::time_point> deadline;
  for (;;) {
    if (inbox->size() >= 4) {
      uint32_t length;
      if (!wire::DecodeFrameLength(inbox->data(), &length)) {
        Log("closing a connection that sent a bad frame length");
        return false;
      }
      if (inbox->size() - 4 >= length) {
        bool ok = wire::DecodeFrameRest(std::string_view(*inbox).substr(4, length), frame);
        inbox->erase(0, 4 + size_t{length});
        if (!ok) Log("closing a connection that sent a malformed frame");
        return ok;
      }
    }
    int timeout = -1;
    if (!inbox->empty()) {
      if (!deadline) deadline = Clock::now() + kFrameTimeout;
      timeout = RemainingMs(*deadline);
      if (timeout == 0) {
        Log("closing a connection that stalled in the middle of a frame");
        return false;
      }
    }
    pollfd event{fd, POLLIN, 0};
    int ready = wire::BusyWaitReadable(fd) ? 1 : poll(&event, 1, timeout);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    char chunk[64 * 1024];
    ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got == 0) return false;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return false;
    }
    inbox->append(chunk, static_cast<size_t>(got));
  }
}

// "1.2.*" matches every OID below 1.2; a pattern without the star matches itself.
bool Matches(const std::string& pattern, const std::string& oid) {
  if (pattern.size() >= 2 && pattern.ends_with(".*")) {
    size_t prefix = pattern.size() - 1;  // keeps the dot
    return oid.size() > prefix && oid.compare(0, prefix, pattern, 0, prefix) == 0;
  }
  return pattern == oid;
}

std::string StatusReply(uint32_t status) {
  std::string reply;
  wire::PutU32(&reply, status);
  return reply;
}

}  // namespace

void Log(const char* format, ...) {
  char line[512];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  std::fprintf(stderr, "cvmad: %s\n", line);
}

struct AgentServer::Connection {
  explicit Connection(UniqueFd socket) : fd(std::move(socket)) {}

  // Writes one whole frame. When `wait` is false and the frame does not go at once, the
  // connection is shut down: a frame cut short would corrupt everything after it.
  bool Write(const std::string& bytes, bool wait) {
    std::lock_guard lock(write_mutex);
    std::string_view rest = bytes;
    while (!rest.empty()) {
      ssize_t sent = send(fd.get(), rest.data(), rest.size(), MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
      if (sent > 0) {
        rest.remove_prefix(static_cast<size_t>(sent));
      } else if (sent == 0 || errno != EINTR) {
        shutdown(fd.get(), SHUT_RDWR);
        return false;
      }
    }
    return true;
  }

  const UniqueFd fd;  // closed only when the last owner goes, so never reused under a user
  std::mutex write_mutex;
  std::mutex patterns_mutex;
  std::vector<std::string> patterns;  // checked in by this connection's session
  std::thread thread;                 // started by Run, joined by Reap
  std::atomic<bool> ended{false};
};

AgentServer::AgentServer(PolicyStore* store, std::vector<gid_t> admitted_groups)
    : store_(store), admitted_groups_(std::move(admitted_groups)) {}

AgentServer::~AgentServer() {
  if (listener_.valid()) {
    listener_.Reset();
    unlink(path_.c_str());
  }
  Reap(true);
}

bool AgentServer::Listen(const std::string& path, std::string* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    *error = path + ": too long for a socket path";
    return false;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  struct stat info;
  if (lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      *error = path + ": exists and is not a socket";
      return false;
    }
    UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (probe.valid() && connect(probe.get(), generic, sizeof address) == 0) {
      *error = path + ": another agent answers on it";
      return false;
    }
    unlink(path.c_str());  // left by an agent that did not stop cleanly
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
  const bool grouped = !admitted_groups_.empty();
  if ((grouped && chown(path.c_str(), static_cast<uid_t>(-1), admitted_groups_.front()) != 0) ||
      chmod(path.c_str(), grouped ? 0660 : 0600) != 0 || listen(listener_.get(), kBacklog) != 0) {
    *error = path + ": " + ErrorText(errno);
    return false;
  }
  return true;
}

bool AgentServer::Admit(int fd) const {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
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
  Log("refusing peer pid %d uid %u: neither the agent's user nor in an admitted group",
      static_cast<int>(peer.pid), static_cast<unsigned>(peer.uid));
  return false;
}

void AgentServer::Run(int stop_fd) {
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
    UniqueFd peer(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!peer.valid() || !Admit(peer.get())) continue;
    if (Reap(false) >= kMaxConnections) {
      Log("refusing a connection: %zu are open", kMaxConnections);
      continue;
    }
    timeval timeout{kReplyTimeoutSeconds, 0};
    setsockopt(peer.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    auto connection = std::make_shared<Connection>(std::move(peer));
    std::lock_guard lock(connections_mutex_);
    connections_.push_back(connection);
    try {
      connection->thread = std::thread(&AgentServer::Serve, this, connection.get());
    } catch (const std::system_error& error) {
      Log("refusing a connection: %s", error.what());
      connections_.pop_back();
    }
  }
  listener_.Reset();
  unlink(path_.c_str());
  Reap(true);
}

size_t AgentServer::Reap(bool all) {
  std::list<std::shared_ptr<Connection>> done;
  size_t remaining;
  {
    std::lock_guard lock(connections_mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      if (all) shutdown((*it)->fd.get(), SHUT_RDWR);  // wakes its thread
      if (all || (*it)->ended) done.splice(done.end(), connections_, it);
      it = next;
    }
    remaining = connections_.size();
  }
  for (const auto& connection : done) connection->thread.join();
  return remaining;
}

void AgentServer::Serve(Connection* connection) {
  try {
    std::string inbox;
    wire::Frame request;
    while (ReadFrame(connection->fd.get(), &inbox, &request)) {
      if (request.kind != wire::FrameKind::kRequest) {
        Log("closing a connection that sent a frame other than a request");
        break;
      }
      std::vector<std::string> changed;
      wire::Frame reply{wire::FrameKind::kReply, request.request_id, request.message_id,
                        Handle(connection, request, &changed)};
      std::string bytes;
      if (!wire::EncodeFrame(reply, &bytes)) {  // an export larger than a frame can carry
        reply.body = StatusReply(wire::kStatusStorage);
        wire::EncodeFrame(reply, &bytes);
      }
      if (!connection->Write(bytes, true)) break;
      if (!changed.empty()) Notify(connection, changed);
    }
  } catch (const std::exception& error) {
    Log("closing a connection: %s", error.what());
  } catch (...) {
    Log("closing a connection after an unknown failure");
  }
  shutdown(connection->fd.get(), SHUT_RDWR);
  connection->ended = true;
}

std::string AgentServer::Handle(Connection* connection, const wire::Frame& request,
                                std::vector<std::string>* changed) {
  std::string_view in = request.body;
  std::string destination, oid, payload;
  if (!wire::DecodePackedOid(&in, &destination, false)) return StatusReply(wire::kStatusMalformed);
  if (destination != wire::kPolicyManagerOid) return StatusReply(wire::kStatusWrongDestination);
  auto whole_oid = [&](bool pattern) { return wire::DecodePackedOid(&in, &oid, pattern) && in.empty(); };
  uint32_t status = wire::kStatusMalformed;
  switch (request.message_id) {
    case wire::kGetPolicy:
      if (whole_oid(false)) status = store_->Get(oid, &payload);
      break;
    case wire::kSetPolicy:
    case wire::kImport: {
      std::vector<wire::Variable> variables;
      if (!wire::DecodeSetPackage(in, &variables)) break;
      std::vector<std::string> oids;
      for (const wire::Variable& variable : variables) oids.push_back(variable.oid);
      status = request.message_id == wire::kSetPolicy ? store_->Set(std::move(variables))
                                                      : store_->Import(std::move(variables));
      if (status == wire::kStatusOk) *changed = std::move(oids);
      break;
    }
    case wire::kCheckIn:
      if (whole_oid(true)) {
        std::lock_guard lock(connection->patterns_mutex);
        std::vector<std::string>& patterns = connection->patterns;
        if (std::find(patterns.begin(), patterns.end(), oid) == patterns.end()) {
          if (patterns.size() == kMaxPatterns) patterns.erase(patterns.begin());
          patterns.push_back(oid);
        }
        status = wire::kStatusOk;
      }
      break;
    case wire::kExport:
      if (in.empty()) status = store_->Export(&payload);
      break;
    case wire::kDelete:
      if (whole_oid(false)) status = store_->Delete(oid);
      if (status == wire::kStatusOk) changed->push_back(oid);
      break;
    case wire::kRestrict: {
      uint32_t flags, count;
      if (!wire::DecodePackedOid(&in, &oid, false) || !wire::GetU32(&in, &flags) ||
          !wire::GetU32(&in, &count) || count != in.size() / 12 || in.size() % 12 != 0)
        break;
      std::vector<PolicyStore::CellFlags> cells(count);
      for (PolicyStore::CellFlags& cell : cells) {  // the length was checked above
        wire::GetU32(&in, &cell.row);
        wire::GetU32(&in, &cell.column);
        wire::GetU32(&in, &cell.flags);
      }
      status = store_->Restrict(oid, flags, cells);
      if (status == wire::kStatusOk) changed->push_back(oid);
      break;
    }
    default:
      status = wire::kStatusUnknownMessage;
  }
  std::string reply = StatusReply(status);
  if (status == wire::kStatusOk) reply += payload;
  return reply;
}

void AgentServer::Notify(const Connection* origin, const std::vector<std::string>& changed) {
  std::vector<std::shared_ptr<Connection>> others;
  {
    std::lock_guard lock(connections_mutex_);
    for (const auto& connection : connections_)
      if (connection.get() != origin && !connection->ended) others.push_back(connection);
  }
  for (const auto& connection : others) {
    std::string bytes;
    {
      std::lock_guard lock(connection->patterns_mutex);
      for (const std::string& oid : changed) {
        const auto& patterns = connection->patterns;
        if (std::none_of(patterns.begin(), patterns.end(),
                         [&](const std::string& pattern) { return Matches(pattern, oid); }))
          continue;
        wire::Frame notification{wire::FrameKind::kNotification, 0, wire::kNotifyChanged, {}};
        wire::EncodePackedOid(oid, &notification.body);
        wire::EncodeFrame(notification, &bytes);
      }
    }
    if (!bytes.empty() && !connection->Write(bytes, false))
      Log("disconnecting a session that does not read its notifications");
  }
}

}  // namespace cvmad
