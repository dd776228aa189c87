// The local servers' connections over Unix sockets: the class registration read from the
// hive, the server's account checked, every wait bounded by poll() against a deadline.
//
// Thread safety: see local_server_transport.h.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <utility>

#include "platform/errors_posix.h"
#include "platform/local_server.h"
#include "platform/local_server_transport.h"
#include "platform/machine_root.h"
#include "platform/peer_identity.h"
#include "platform/registry.h"

namespace platform {
namespace {

using local_server::Clock;
using local_server::kConnectTimeout;

constexpr std::string_view kClassesKey = "SOFTWARE\\Classes\\CLSID\\{";

// Closes the descriptor it holds when it goes out of scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Waits until `fd` is ready for `events` or `deadline` passes; false on time-out or error.
// It sleeps at once: a walk reads its items a page at a time, so a round trip is rare
// enough that looking at the socket while the server works would only take a processor
// from it on a busy machine.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd event{fd, events, 0};
    int ready = poll(&event, 1, static_cast<int>(std::min<decltype(left)>(left, INT_MAX)));
    if (ready > 0) return (event.revents & (events | POLLHUP | POLLERR)) != 0;
    if (ready < 0 && errno != EINTR) return false;
  }
}

bool SendBefore(int fd, const char* data, size_t size, Clock::time_point deadline) {
  while (size > 0) {
    ssize_t sent = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      data += sent;
      size -= static_cast<size_t>(sent);
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

// The path of the class's socket from its registration, or a failure result.
uint32_t ReadSocketPath(const std::string& clsid, std::string* path) {
  Hive& hive = LocalMachine();
  RegistryKey key;
  std::string key_path = std::string(kClassesKey) + clsid + "}\\LocalServer32";
  uint32_t result = hive.OpenKey(key_path, kKeyQueryValue, &key);
  if (result == kErrorFileNotFound) return kRegdbEClassNotReg;
  if (result != kErrorSuccess) return kRegdbEReadRegdb;
  RegistryValue value;
  result = hive.QueryValue(key, "Socket", &value);
  if (result == kErrorFileNotFound) return kRegdbEInvalidValue;
  if (result != kErrorSuccess) return kRegdbEReadRegdb;
  std::string text = std::move(value.data);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  if (value.type != kRegSz || text.empty() || text.find('\0') != std::string::npos)
    return kRegdbEInvalidValue;
  *path = text.front() == '/' ? text : MachineFile(text);
  return kSOk;
}

// Connects to `path` within kConnectTimeout; a descriptor, or -1 with `result` set.
int ConnectTo(const std::string& path, uint32_t* result) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  *result = kCoEServerExecFailure;
  if (path.size() >= sizeof address.sun_path) return -1;  // no server can listen there
  std::memcpy(address.sun_path, path.data(), path.size());
  ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  // A server whose backlog is full keeps connect() waiting; the send time-out bounds it.
  const timeval timeout{std::chrono::seconds(kConnectTimeout).count(), 0};
  if (fd.get() < 0 || setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0)
    return -1;
  int connected;
  do {
    connected = connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (connected != 0 && errno == EINTR);
  if (connected != 0) {
    if (ErrorFromErrno(errno) == kErrorAccessDenied) *result = kEAccessDenied;
    return -1;
  }
  *result = kSOk;
  return fd.Release();
}

}  // namespace

namespace local_server {

intptr_t Connect(const std::string& class_id, uint32_t* result) {
  std::string path;
  *result = ReadSocketPath(class_id, &path);
  if (*result != kSOk) return -1;
  ScopedFd fd(ConnectTo(path, result));
  if (fd.get() < 0) return -1;
  if (!ServedByTrustedAccount(fd.get())) {
    *result = kCoEWrongServerIdentity;
    return -1;
  }
  return fd.Release();
}

bool SendAll(intptr_t connection, const char* data, size_t size, Clock::time_point deadline) {
  return SendBefore(static_cast<int>(connection), data, size, deadline);
}

size_t ReceiveSome(intptr_t connection, char* data, size_t size, Clock::time_point deadline) {
  const int fd = static_cast<int>(connection);
  for (;;) {
    const ssize_t got = recv(fd, data, size, MSG_DONTWAIT);
    if (got > 0) return static_cast<size_t>(got);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd, POLLIN, deadline)) return 0;
      continue;
    }
    return 0;  // the end of the stream, or a reset
  }
}

void Close(intptr_t connection) { close(static_cast<int>(connection)); }

}  // namespace local_server
}  // namespace platform
