// The service frame on POSIX: a Unix socket in the servers' own folder, the peer's identity
// from the kernel (SO_PEERCRED and its groups), a poll over the socket and an eventfd for the
// wake-up, and the signals that stop a server. The frame itself is in service_shared.cc.
//
// Thread safety: see service.h and service_channel.h.
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
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

#include "platform/machine_root.h"
#include "standins/service/service_channel.h"
#include "standins/wire/busy_wait.h"

namespace service {
namespace {

using wire::UniqueFd;

constexpr int kBacklog = 64;

class SocketChannel final : public Channel {
 public:
  SocketChannel(UniqueFd socket, UniqueFd wake) : fd_(std::move(socket)), wake_(std::move(wake)) {}

  bool Send(std::string_view unread, size_t* taken) override {
    for (;;) {
      const ssize_t sent = send(fd_.get(), unread.data(), unread.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) {
        *taken = static_cast<size_t>(sent);
        return true;
      }
      if (sent < 0 && errno == EINTR) continue;
      *taken = 0;
      return sent != 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
  }

  bool Wait(bool want_input, bool writing, Clock::time_point due) override {
    pollfd events[2] = {
        {fd_.get(), static_cast<short>((want_input ? POLLIN : 0) | (writing ? POLLOUT : 0)), 0},
        {wake_.get(), POLLIN, 0}};
    // The client's next message follows its last reply within microseconds in a burst.
    const bool ready = want_input && !writing && busy_wait_.Readable(fd_.get());
    if (!ready && poll(events, 2, static_cast<int>(MillisecondsUntil(due))) < 0 && errno != EINTR)
      return false;
    if (events[1].revents != 0) {
      uint64_t count;
      [[maybe_unused]] ssize_t ignored = read(wake_.get(), &count, sizeof count);
    }
    revents_ = events[0].revents;
    return true;
  }

  bool Receive(bool want_input, std::string* inbox, size_t* got) override {
    *got = 0;
    if ((revents_ & (POLLERR | POLLNVAL)) != 0) return false;
    if (!want_input) return (revents_ & POLLHUP) == 0;  // nobody left to read
    char chunk[kReadChunk];
    const ssize_t received = recv(fd_.get(), chunk, sizeof chunk, MSG_DONTWAIT);
    if (received > 0) {
      inbox->append(chunk, static_cast<size_t>(received));
      *got = static_cast<size_t>(received);
      return true;
    }
    return received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK);
  }

  void Close(bool) override { shutdown(fd_.get(), SHUT_RDWR); }

  void Wake() override {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = write(wake_.get(), &one, sizeof one);
  }
  void Sever() override { shutdown(fd_.get(), SHUT_RDWR); }

 private:
  const UniqueFd fd_;  // closed only when the channel goes, so never reused under a user
  const UniqueFd wake_;  // a notification was queued
  wire::BusyWait busy_wait_;
  short revents_ = 0;  // of the socket, from the last wait
};

}  // namespace

std::unique_ptr<Channel> OpenChannel(UniqueFd peer) {
  UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake.valid()) return nullptr;
  return std::make_unique<SocketChannel>(std::move(peer), std::move(wake));
}

void GiveBackFreedMemory() {
  // A large message's decoded pieces are freed by now; the allocator keeps freed memory in
  // the arena of the thread that freed it unless told to give it back.
  malloc_trim(0);
}

bool GroupByName(const std::string& name, gid_t* group) {
  struct group entry{};
  struct group* found = nullptr;
  std::vector<char> buffer(16384);
  if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr)
    return false;
  *group = found->gr_gid;
  return true;
}

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
    Adopt(std::move(peer), credentials);
  }
  listener_.Reset();
  unlink(path_.c_str());
  Reap(true);
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
