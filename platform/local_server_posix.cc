// Local server objects over Unix sockets: the class registration read from the hive, one
// connection per instance, every wait bounded by poll() against a deadline.
//
// Thread safety: see local_server.h. Creation shares nothing but the hive (itself
// thread-safe); an object's connection is used only under its mutex.
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
#include "platform/machine_root.h"
#include "platform/peer_identity.h"
#include "platform/registry.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// A server that takes longer than this to accept, to answer the connect message or to
// answer a call is taken for one that is not serving.
constexpr auto kConnectTimeout = std::chrono::seconds(5);
constexpr auto kCallTimeout = std::chrono::seconds(5);

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

void PutU32(uint32_t value, char* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(value >> (8 * i));
}

uint32_t GetU32(const char* in) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t{static_cast<unsigned char>(in[i])} << (8 * i);
  return value;
}

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

bool SendAll(int fd, const char* data, size_t size, Clock::time_point deadline) {
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

// Reads exactly `size` bytes; false when the connection ends, fails or the deadline passes.
bool ReceiveAll(int fd, char* data, size_t size, Clock::time_point deadline) {
  while (size > 0) {
    ssize_t got = recv(fd, data, size, MSG_DONTWAIT);
    if (got > 0) {
      data += got;
      size -= static_cast<size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd, POLLIN, deadline)) return false;
    } else {
      return false;  // the end of the stream, or a reset
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

std::string NormalizeGuid(std::string_view text) {
  if (text.size() == kGuidTextLength + 2 && text.front() == '{' && text.back() == '}')
    text = text.substr(1, kGuidTextLength);
  if (text.size() != kGuidTextLength) return {};
  std::string guid(text);
  for (size_t i = 0; i < guid.size(); ++i) {
    char& c = guid[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return {};
    } else if (c >= 'A' && c <= 'F') {
      c = static_cast<char>(c - 'A' + 'a');
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return {};
    }
  }
  return guid;
}

size_t DecodeLocalServerReply(std::string_view received, LocalServerCall* call) {
  if (received.size() < kReplyHeaderSize) return kReplyHeaderSize;
  const uint32_t units = GetU32(received.data() + 8);
  if (units > kMaxLocalServerText) return 0;
  const size_t size = kReplyHeaderSize + size_t{units} * 2;
  if (received.size() < size) return size;
  call->result = GetU32(received.data());
  call->number = static_cast<int32_t>(GetU32(received.data() + 4));
  call->text.resize(units);
  const auto* text = reinterpret_cast<const unsigned char*>(received.data() + kReplyHeaderSize);
  for (uint32_t u = 0; u < units; ++u)
    call->text[u] = static_cast<char16_t>(text[2 * u] | text[2 * u + 1] << 8);
  return size;
}

LocalServerObject::~LocalServerObject() {
  if (connection_ >= 0) close(static_cast<int>(connection_));
}

uint32_t LocalServerObject::Call(uint32_t slot, int32_t argument, int32_t* number_out,
                                 std::u16string* text_out) {
  LocalServerCall call;
  call.slot = slot;
  call.argument = argument;
  const uint32_t failure = CallMany(&call, 1);
  if (number_out != nullptr) *number_out = call.number;
  if (text_out != nullptr) *text_out = std::move(call.text);
  return failure != kSOk ? failure : call.result;
}

uint32_t LocalServerObject::CallMany(LocalServerCall* calls, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    calls[i].result = kRpcEServerUnavailable;
    calls[i].number = 0;
    calls[i].text.clear();
  }
  std::lock_guard lock(mutex_);
  if (connection_ < 0) return kRpcEServerUnavailable;
  const Clock::time_point deadline = Clock::now() + kCallTimeout;
  uint32_t failure = kRpcEServerUnavailable;
  bool ok = true;
  try {
    // Requests of a small batch are built on the stack.
    char small[8 * kCallMessageSize];
    std::string large;
    char* requests_data = small;
    if (count > 8) {
      large.resize(count * kCallMessageSize);
      requests_data = large.data();
    }
    const std::string_view requests(requests_data, count * kCallMessageSize);
    for (size_t i = 0; i < count; ++i) {
      PutU32(calls[i].slot, requests_data + i * kCallMessageSize);
      PutU32(static_cast<uint32_t>(calls[i].argument), requests_data + i * kCallMessageSize + 4);
    }
    ok = SendAll(static_cast<int>(connection_), requests.data(), requests.size(), deadline);
    // The replies are read as they come, as many bytes at a time as have arrived.
    std::string& received = received_;
    received.clear();
    size_t used = 0;
    auto have = [&](size_t size) {
      while (received.size() - used < size) {
        char chunk[16384];
        const ssize_t got = recv(static_cast<int>(connection_), chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) {
          received.append(chunk, static_cast<size_t>(got));
        } else if (got < 0 && errno == EINTR) {
          continue;
        } else if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
          if (!WaitFor(static_cast<int>(connection_), POLLIN, deadline)) return false;
        } else {
          return false;  // the end of the stream, or a reset
        }
      }
      return true;
    };
    for (size_t i = 0; ok && i < count; ++i) {
      // A reply's size is known once its header has come: read until it is whole.
      size_t size = kReplyHeaderSize;
      while (ok && (size = DecodeLocalServerReply(std::string_view(received).substr(used),
                                                  &calls[i])) != 0 &&
             received.size() - used < size) {
        ok = have(size);
      }
      ok = ok && size != 0;
      used += size;
    }
    ok = ok && received.size() == used;  // nothing beyond the replies asked for
  } catch (const std::bad_alloc&) {
    failure = kEOutOfMemory;
    ok = false;
  }
  if (!ok) {
    // A reply that comes late or not at all would be taken for the next call's: the
    // instance ends here.
    close(static_cast<int>(connection_));
    connection_ = -1;
    for (size_t i = 0; i < count; ++i) {
      calls[i].result = failure;
      calls[i].number = 0;
      calls[i].text.clear();
    }
    return failure;
  }
  return kSOk;
}

bool AppendPageItem(const std::u16string* const fields[kPageFields], std::u16string* page) {
  size_t units = 0;
  for (size_t i = 0; i < kPageFields; ++i) units += 2 + fields[i]->size();
  if (units > kMaxLocalServerText - page->size()) return false;
  for (size_t i = 0; i < kPageFields; ++i) {
    const size_t size = fields[i]->size();
    page->push_back(static_cast<char16_t>(size & 0xFFFF));
    page->push_back(static_cast<char16_t>(size >> 16));
    page->append(*fields[i]);
  }
  return true;
}

uint32_t LocalServerItems::ReadPage() {
  LocalServerCall call;
  call.slot = page_slot_;
  call.argument = static_cast<int32_t>(kMaxPageItems);
  if (const uint32_t failure = object_->CallMany(&call, 1); failure != kSOk) return failure;
  if (call.result == kENotImpl) pages_served_ = false;
  // Count the page's items before any is served: a page that does not hold what its number
  // says is not used at all.
  std::u16string_view rest(call.text);
  for (int32_t i = 0; i < call.number; ++i) {
    for (size_t field = 0; field < kPageFields; ++field) {
      if (rest.size() < 2) return kSOk;
      const size_t size = rest[0] | size_t{rest[1]} << 16;
      if (rest.size() - 2 < size) return kSOk;
      rest.remove_prefix(2 + size);
    }
  }
  if (call.number <= 0 || !rest.empty()) return kSOk;
  page_ = std::move(call.text);
  read_ = 0;
  items_left_ = static_cast<uint32_t>(call.number);
  last_move_ = call.result;
  return kSOk;
}

void LocalServerItems::ReadAndMove(std::u16string* const fields[kPageFields],
                                   uint32_t results[kPageFields], uint32_t* next) {
  if (items_left_ == 0 && pages_served_) {
    if (const uint32_t failure = ReadPage(); failure != kSOk) {
      // The page's exchange failed, and ended the instance: so would the item's own calls.
      for (size_t i = 0; i < kPageFields; ++i) results[i] = failure;
      *next = failure;
      return;
    }
  }
  if (items_left_ == 0) {
    // No page for this item: its own calls, in one exchange.
    LocalServerCall calls[kPageFields + 1];
    for (uint32_t i = 0; i < kPageFields; ++i) calls[i].slot = first_getter_ + i;
    calls[kPageFields].slot = move_next_slot_;
    object_->CallMany(calls, kPageFields + 1);
    for (size_t i = 0; i < kPageFields; ++i) {
      results[i] = calls[i].result;
      if (results[i] == kSOk) *fields[i] = std::move(calls[i].text);
    }
    *next = calls[kPageFields].result;
    return;
  }
  std::u16string_view rest = std::u16string_view(page_).substr(read_);
  for (size_t i = 0; i < kPageFields; ++i) {
    const size_t size = rest[0] | size_t{rest[1]} << 16;
    fields[i]->assign(rest.substr(2, size));
    results[i] = kSOk;
    rest.remove_prefix(2 + size);
  }
  read_ = page_.size() - rest.size();
  *next = --items_left_ > 0 ? kSOk : last_move_;
}

uint32_t CreateLocalServerObject(std::string_view clsid, std::string_view iid,
                                 std::unique_ptr<LocalServerObject>* object) try {
  if (object == nullptr) return kEInvalidArg;
  object->reset();
  const std::string class_id = NormalizeGuid(clsid), interface_id = NormalizeGuid(iid);
  if (class_id.empty() || interface_id.empty()) return kEInvalidArg;

  std::string path;
  uint32_t result = ReadSocketPath(class_id, &path);
  if (result != kSOk) return result;
  ScopedFd fd(ConnectTo(path, &result));
  if (fd.get() < 0) return result;
  if (!ServedByTrustedAccount(fd.get())) return kCoEWrongServerIdentity;

  const Clock::time_point deadline = Clock::now() + kConnectTimeout;
  std::string message(kLocalServerMagic);
  message += class_id;
  message += interface_id;
  char reply[4];
  if (!SendAll(fd.get(), message.data(), message.size(), deadline) ||
      !ReceiveAll(fd.get(), reply, sizeof reply, deadline))
    return kCoEServerExecFailure;
  result = GetU32(reply);
  if (result != kSOk) return result;
  object->reset(new LocalServerObject(fd.get()));
  fd.Release();  // the object's now
  return kSOk;
} catch (const std::bad_alloc&) {
  return kEOutOfMemory;
}

}  // namespace platform
