// The storage server's socket: one accept loop, one thread per admitted connection.
//
// A connection must send its connect message within kMessageTimeout; after that it may stay
// idle between calls, but a call that stops half way for kMessageTimeout ends it. Replies
// are written with a send time-out.
//
// Thread safety: see storage_server.h. Lock order: refresh_mutex_, then snapshot_mutex_;
// connections_mutex_ is never held with either.
#include "standins/cvstorage/storage_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/local_server.h"
#include "standins/wire/busy_wait.h"

namespace cvstorage {
namespace {

using Clock = std::chrono::steady_clock;
using wire::UniqueFd;

constexpr size_t kMaxConnections = 256;
constexpr int kBacklog = 64;
constexpr auto kMessageTimeout = std::chrono::seconds(10);
constexpr time_t kReplyTimeoutSeconds = 10;

// Results of the interface methods.
constexpr uint32_t kNoMoreItems = 0x80070103;  // the system error 259 in result form
constexpr int32_t kRefreshAll = -1;

// The interface table's slots.
constexpr uint32_t kRefreshSlot = 7;
constexpr uint32_t kMoveFirstSlot = 8;
constexpr uint32_t kMoveNextSlot = 9;
constexpr uint32_t kIsReadySlot = 10;

enum ListKind { kMailboxes = 0, kPublicFolders = 1 };

struct ServedClass {
  const char* class_id;
  const char* interface_id;
  ListKind kind;
  uint32_t name_slot;  // then the URL and the e-mail getters
};

constexpr ServedClass kClasses[] = {
    {kMailboxClass, kMailboxInterface, kMailboxes, 12},
    {kPublicFolderClass, kPublicFolderInterface, kPublicFolders, 11},
};

std::string ErrorText(int error) { return std::generic_category().message(error); }

void PutU32(std::string* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

uint32_t GetU32(const char* in) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t{static_cast<unsigned char>(in[i])} << (8 * i);
  return value;
}

// Reads exactly `size` bytes. With `wait_for_first` the first byte may be awaited without
// limit; the rest (all of it otherwise) must come within kMessageTimeout. False when the
// connection ended, failed or stalled.
bool ReadMessage(int fd, char* data, size_t size, bool wait_for_first) {
  std::optional<Clock::time_point> deadline;
  if (!wait_for_first) deadline = Clock::now() + kMessageTimeout;
  while (size > 0) {
    int timeout = -1;
    if (deadline) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
      if (left <= 0) return false;
      timeout = static_cast<int>(std::min<decltype(left)>(left, INT_MAX));
    }
    // What has arrived already is taken at once; only an empty socket is waited on.
    ssize_t got = recv(fd, data, size, MSG_DONTWAIT);
    if (got == 0) return false;
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
      // The client's next call follows its last reply within microseconds during a walk.
      if (wire::BusyWaitReadable(fd)) continue;
      pollfd event{fd, POLLIN, 0};
      if (poll(&event, 1, timeout) < 0 && errno != EINTR) return false;
      continue;
    }
    data += got;
    size -= static_cast<size_t>(got);
    if (!deadline) deadline = Clock::now() + kMessageTimeout;
  }
  return true;
}

// The result of a connect message: 0 with `served` set when the class is served with that
// interface.
uint32_t Answer(std::string_view message, const ServedClass** served) {
  if (!message.starts_with(platform::kLocalServerMagic)) return platform::kEInvalidArg;
  message.remove_prefix(platform::kLocalServerMagic.size());
  const std::string class_id =
      platform::NormalizeGuid(message.substr(0, platform::kGuidTextLength));
  const std::string interface_id =
      platform::NormalizeGuid(message.substr(platform::kGuidTextLength));
  for (const ServedClass& candidate : kClasses) {
    if (class_id != candidate.class_id) continue;
    if (interface_id != candidate.interface_id) return platform::kENoInterface;
    *served = &candidate;
    return platform::kSOk;
  }
  return platform::kClassEClassNotAvailable;
}

}  // namespace

struct StorageServer::Snapshot {
  StorageList lists[2];
};

// One instance of a class: which list it walks and where it stands. `position` is -1 before
// the first MoveFirst (and after a Refresh), the list's size once past its end.
struct StorageServer::Object {
  const ServedClass* served = nullptr;
  std::shared_ptr<const Snapshot> walk;
  ptrdiff_t position = -1;

  const StorageList& list() const { return walk->lists[served->kind]; }
  const StorageEntry* current() const {
    if (walk == nullptr || position < 0 || static_cast<size_t>(position) >= list().entries.size())
      return nullptr;
    return &list().entries[static_cast<size_t>(position)];
  }
};

struct StorageServer::Reply {
  uint32_t result = platform::kSOk;
  int32_t number = 0;
  std::u16string text;
};

struct StorageServer::Connection {
  explicit Connection(UniqueFd socket) : fd(std::move(socket)) {}

  bool Write(const std::string& bytes) {
    std::string_view rest = bytes;
    while (!rest.empty()) {
      ssize_t sent = send(fd.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
      if (sent > 0) {
        rest.remove_prefix(static_cast<size_t>(sent));
      } else if (sent == 0 || errno != EINTR) {
        return false;
      }
    }
    return true;
  }

  const UniqueFd fd;   // closed only when the last owner goes, so never reused under a user
  std::thread thread;  // started by Run, joined by Reap
  std::atomic<bool> ended{false};
};

StorageServer::StorageServer(std::vector<gid_t> admitted_groups, Clock::time_point ready_at)
    : admitted_groups_(std::move(admitted_groups)), ready_at_(ready_at) {}

StorageServer::~StorageServer() {
  if (listener_.valid()) {
    listener_.Reset();
    unlink(path_.c_str());
  }
  Reap(true);
}

uint32_t StorageServer::Refresh(bool public_folders) {
  std::lock_guard refresh(refresh_mutex_);
  const StoragePaths paths = ReadStoragePaths();
  auto fresh = std::make_shared<Snapshot>();
  fresh->lists[kMailboxes] = ReadMailboxes(paths.passwd_file);
  fresh->lists[kPublicFolders] = ReadPublicFolders(paths.public_folder_root);
  const uint32_t status = fresh->lists[public_folders ? kPublicFolders : kMailboxes].status;
  std::lock_guard lock(snapshot_mutex_);
  snapshot_ = std::move(fresh);
  return status;
}

std::shared_ptr<const StorageServer::Snapshot> StorageServer::Current() {
  std::lock_guard lock(snapshot_mutex_);
  if (snapshot_ == nullptr) snapshot_ = std::make_shared<Snapshot>();
  return snapshot_;
}

bool StorageServer::Listen(const std::string& path, std::string* error) {
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
  const bool grouped = !admitted_groups_.empty();
  if ((grouped && chown(path.c_str(), static_cast<uid_t>(-1), admitted_groups_.front()) != 0) ||
      chmod(path.c_str(), grouped ? 0660 : 0600) != 0 || listen(listener_.get(), kBacklog) != 0) {
    *error = path + ": " + ErrorText(errno);
    return false;
  }
  return true;
}

bool StorageServer::Admit(int fd) const {
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
  Log("refusing peer pid %d uid %u: neither the server's user nor in an admitted group",
      static_cast<int>(peer.pid), static_cast<unsigned>(peer.uid));
  return false;
}

void StorageServer::Run(int stop_fd) {
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
      connection->thread = std::thread(&StorageServer::Serve, this, connection.get());
    } catch (const std::system_error& error) {
      Log("refusing a connection: %s", error.what());
      connections_.pop_back();
    }
  }
  listener_.Reset();
  unlink(path_.c_str());
  Reap(true);
}

size_t StorageServer::Reap(bool all) {
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

void StorageServer::Serve(Connection* connection) {
  try {
    const int fd = connection->fd.get();
    char hello[platform::kConnectMessageSize];
    Object object;
    std::string bytes;
    // A connection that ends or stalls before its connect message is simply closed.
    if (ReadMessage(fd, hello, sizeof hello, false)) {
      const uint32_t result = Answer(std::string_view(hello, sizeof hello), &object.served);
      PutU32(&bytes, result);
      if (!connection->Write(bytes)) object.served = nullptr;
    }
    char call[platform::kCallMessageSize];
    std::string replies;
    while (object.served != nullptr && ReadMessage(fd, call, sizeof call, true)) {
      Reply reply = Call(&object, GetU32(call), static_cast<int32_t>(GetU32(call + 4)));
      // Never more than the client takes, and never half a surrogate pair.
      if (reply.text.size() > platform::kMaxLocalServerText) {
        size_t keep = platform::kMaxLocalServerText;
        if (reply.text[keep - 1] >= 0xD800 && reply.text[keep - 1] < 0xDC00) --keep;
        reply.text.resize(keep);
      }
      PutU32(&replies, reply.result);
      PutU32(&replies, static_cast<uint32_t>(reply.number));
      PutU32(&replies, static_cast<uint32_t>(reply.text.size()));
      for (char16_t unit : reply.text) {
        replies.push_back(static_cast<char>(unit & 0xFF));
        replies.push_back(static_cast<char>(unit >> 8));
      }
      // Calls sent together are answered together: while the next call is there already,
      // its reply joins this one.
      if (recv(fd, call, sizeof call, MSG_PEEK | MSG_DONTWAIT) == static_cast<ssize_t>(sizeof call))
        continue;
      if (!connection->Write(replies)) break;
      replies.clear();
    }
  } catch (const std::exception& error) {
    Log("closing a connection: %s", error.what());
  } catch (...) {
    Log("closing a connection after an unknown failure");
  }
  shutdown(connection->fd.get(), SHUT_RDWR);
  connection->ended = true;
}

StorageServer::Reply StorageServer::Call(Object* object, uint32_t slot, int32_t argument) {
  Reply reply;
  const uint32_t name_slot = object->served->name_slot;
  switch (slot) {
    case kRefreshSlot:
      if (argument != kRefreshAll) {
        reply.result = platform::kEInvalidArg;
        break;
      }
      reply.result = Refresh(object->served->kind == kPublicFolders);
      object->walk.reset();
      object->position = -1;
      break;
    case kMoveFirstSlot:
      object->walk = Current();
      object->position = -1;
      if (object->list().status != 0) {
        reply.result = object->list().status;
        object->walk.reset();
        break;
      }
      object->position = 0;
      reply.result = object->list().entries.empty() ? kNoMoreItems : platform::kSOk;
      break;
    case kMoveNextSlot:
      if (object->walk == nullptr || object->position < 0) {
        reply.result = platform::kEUnexpected;
        break;
      }
      if (object->current() != nullptr) ++object->position;
      reply.result = object->current() != nullptr ? platform::kSOk : kNoMoreItems;
      break;
    case kIsReadySlot:
      reply.number = Clock::now() >= ready_at_ ? 1 : 0;
      break;
    default:
      if (slot < name_slot || slot > name_slot + 2) {
        reply.result = platform::kENotImpl;
        break;
      }
      const StorageEntry* entry = object->current();
      if (entry == nullptr) {
        reply.result = platform::kEUnexpected;
        break;
      }
      reply.text = slot == name_slot       ? entry->name
                   : slot == name_slot + 1 ? entry->url
                                           : entry->email;
      break;
  }
  return reply;
}

}  // namespace cvstorage
