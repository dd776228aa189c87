// The service frame on Windows: the same loop as on POSIX (service.cc) over overlapped named
// pipes. One pipe instance waits for the next client at a time; a connected instance is
// handed to a thread of its own, which keeps at most one read and one write in flight and
// waits on them and on its wake-up event against the same deadlines. Nothing is read from a
// client while its unread replies are over their bound, beyond the one read in flight (at
// most kReadChunk bytes, as on POSIX where a read takes that much).
//
// Accounts are SIDs here. A peer's account is its process's token user, read from the pipe
// (GetNamedPipeClientProcessId); its uid the SID's last part (service.h).
//
// Thread safety: see service.h. Lock order: connections_mutex_, then a connection's mutex;
// the budget's lock is taken alone. Only a connection's own thread touches its pipe; other
// threads ask it to end through flags and its wake-up event.
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/machine_root.h"
#include "platform/named_pipe_windows.h"
#include "standins/service/service.h"

namespace service {
namespace {

using Clock = std::chrono::steady_clock;
using wire::UniqueFd;

// What one read takes at most (outside the budget: one such buffer per connection).
constexpr size_t kReadChunk = 64 * 1024;
// What one write hands the pipe at most.
constexpr size_t kWritePiece = 256 * 1024;
// The pipe's own buffers, each way.
constexpr DWORD kPipeBuffer = 64 * 1024;
// A buffer left larger than this by a big message is given back once it is empty.
constexpr size_t kKeptBuffer = 256 * 1024;

HANDLE AsHandle(int value) { return reinterpret_cast<HANDLE>(intptr_t{value}); }
int HandleValue(HANDLE handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

DWORD MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<DWORD>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

void DropIfLarge(std::string* buffer) {
  buffer->clear();
  if (buffer->capacity() > kKeptBuffer) buffer->shrink_to_fit();
}

std::string WindowsError(DWORD error) {
  return std::system_category().message(static_cast<int>(error));
}

// The machine's SID with the trailing '-': an account of this machine is it and a relative
// id. Taken from this process's own account.
std::string MachinePrefix() {
  const std::string own = platform::OwnAccount();
  const size_t last = own.rfind('-');
  return last == std::string::npos ? std::string() : own.substr(0, last + 1);
}

// The last part of a SID's text.
uint32_t RelativeId(const std::string& sid) {
  const size_t last = sid.rfind('-');
  return last == std::string::npos ? 0 : static_cast<uint32_t>(std::strtoul(sid.c_str() + last + 1, nullptr, 10));
}

// The SID texts of the groups the token of process `pid` carries.
std::vector<std::string> ProcessGroups(DWORD pid) {
  std::vector<std::string> groups;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  HANDLE token = nullptr;
  if (process == nullptr) return groups;
  if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
    DWORD size = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    auto buffer = std::make_unique<unsigned char[]>(size > 0 ? size : 1);
    if (size > 0 && GetTokenInformation(token, TokenGroups, buffer.get(), size, &size)) {
      const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(buffer.get());
      for (DWORD i = 0; i < list->GroupCount; ++i) {
        if ((list->Groups[i].Attributes & SE_GROUP_ENABLED) == 0) continue;
        wchar_t* text = nullptr;
        if (!ConvertSidToStringSidW(list->Groups[i].Sid, &text)) continue;
        std::string sid;
        for (const wchar_t* c = text; *c != L'\0'; ++c) sid += static_cast<char>(*c);
        LocalFree(text);
        groups.push_back(std::move(sid));
      }
    }
    CloseHandle(token);
  }
  CloseHandle(process);
  return groups;
}

// A pipe instance of `name` open to this account (full control) and to the `groups` of this
// machine (read and write); remote clients are refused. `first` asks for the first
// instance: it fails when another server holds the name.
HANDLE MakeInstance(const std::wstring& name, const std::vector<gid_t>& groups, bool first) {
  const std::string own = platform::OwnAccount(), prefix = MachinePrefix();
  if (own.empty()) return INVALID_HANDLE_VALUE;
  std::string sddl = "D:P(A;;GA;;;" + own + ")";
  for (gid_t group : groups) sddl += "(A;;GRGW;;;" + prefix + std::to_string(group) + ")";
  std::wstring wide(sddl.begin(), sddl.end());  // ASCII
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(wide.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    return INVALID_HANDLE_VALUE;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  HANDLE pipe = CreateNamedPipeW(
      name.c_str(),
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, &attributes);
  const DWORD error = ::GetLastError();
  LocalFree(descriptor);
  SetLastError(error);
  return pipe;
}

// Set by the console's Ctrl+C, Ctrl+Break, close and shutdown: Windows' SIGINT and SIGTERM.
HANDLE stop_event = nullptr;

BOOL WINAPI OnConsoleControl(DWORD kind) {
  if (kind != CTRL_C_EVENT && kind != CTRL_BREAK_EVENT && kind != CTRL_CLOSE_EVENT &&
      kind != CTRL_SHUTDOWN_EVENT)
    return FALSE;
  SetEvent(stop_event);
  return TRUE;
}

}  // namespace

struct Server::Connection {
  Connection(UniqueFd pipe, uid_t peer, std::unique_ptr<Session> protocol)
      : fd(std::move(pipe)), uid(peer), session(std::move(protocol)) {}

  // Bytes queued and not taken by the pipe yet.
  size_t UnreadLocked() const { return outbox.size() - sent; }
  void Wake() const { SetEvent(AsHandle(wake.get())); }
  // Asks the connection's thread to end it (what shutdown() does on POSIX).
  void Sever() {
    severed = true;
    Wake();
  }

  UniqueFd fd;  // the pipe instance; used and closed by the connection's thread alone
  const uid_t uid;
  const std::unique_ptr<Session> session;
  const UniqueFd wake{HandleValue(CreateEventW(nullptr, FALSE, FALSE, nullptr))};
  std::mutex mutex;
  std::string outbox;  // replies and notifications; guarded by mutex
  size_t sent = 0;     // of outbox; guarded by mutex
  size_t charged = 0;  // budget held for outbox; guarded by mutex
  std::thread thread;  // started by Run, joined by Reap
  std::atomic<bool> stopping{false};
  std::atomic<bool> severed{false};
  std::atomic<bool> ended{false};
};

Server::Server(std::vector<gid_t> admitted_groups, SessionFactory make_session, Limits limits)
    : admitted_groups_(std::move(admitted_groups)),
      make_session_(std::move(make_session)),
      limits_(limits),
      budget_(limits.memory_budget) {}

Server::~Server() {
  listener_.Reset();  // the pipe goes with its last instance
  Reap(true);
}

bool Server::Listen(const std::string& path, std::string* error) {
  const std::wstring name = platform::PipeNameForPath(path);
  if (name.empty()) {
    *error = path + ": not usable as a socket path";
    return false;
  }
  // Windows refuses a first instance of a name that is held, Wine does not: look first.
  unsigned long open_error = 0;
  HANDLE probe = platform::OpenPipe(name, std::chrono::milliseconds(0), &open_error);
  if (probe != nullptr || open_error == ERROR_PIPE_BUSY || open_error == ERROR_ACCESS_DENIED) {
    if (probe != nullptr) CloseHandle(probe);
    *error = path + ": another server answers on it";
    return false;
  }
  HANDLE first = MakeInstance(name, admitted_groups_, true);
  if (first == INVALID_HANDLE_VALUE) {
    const DWORD failure = ::GetLastError();
    *error = path + ": " +
             (failure == ERROR_ACCESS_DENIED ? std::string("another server answers on it")
                                             : WindowsError(failure));
    return false;
  }
  path_ = path;
  listener_.Reset(HandleValue(first));
  return true;
}

bool Server::Admit(int fd, Session::Peer* credentials) {
  const DWORD pid = platform::PipePeerProcess(AsHandle(fd), false);
  const std::string account = platform::ProcessAccount(pid);
  if (account.empty()) return false;
  *credentials = {RelativeId(account), static_cast<pid_t>(pid)};
  if (account == platform::OwnAccount()) return true;
  if (!admitted_groups_.empty()) {
    const std::string prefix = MachinePrefix();
    for (const std::string& group : ProcessGroups(pid)) {
      if (group.rfind(prefix, 0) != 0) continue;
      if (std::find(admitted_groups_.begin(), admitted_groups_.end(), RelativeId(group)) !=
          admitted_groups_.end())
        return true;
    }
  }
  LogLimited("refusing peer pid %lu account %s: neither the server's user nor in an admitted group",
             static_cast<unsigned long>(pid), account.c_str());
  return false;
}

void Server::Run(int stop_fd) {
  const std::wstring name = platform::PipeNameForPath(path_);
  UniqueFd connected_event(HandleValue(CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  UniqueFd instance = std::move(listener_);
  while (connected_event.valid()) {
    if (!instance.valid()) {
      HANDLE next = MakeInstance(name, admitted_groups_, false);
      if (next == INVALID_HANDLE_VALUE) {
        Log("cannot offer another pipe instance: %s", WindowsError(::GetLastError()).c_str());
        break;
      }
      instance.Reset(HandleValue(next));
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = AsHandle(connected_event.get());
    bool client = ConnectNamedPipe(AsHandle(instance.get()), &overlapped) != 0;
    const DWORD error = ::GetLastError();
    if (!client && error == ERROR_PIPE_CONNECTED) {
      client = true;  // came between the instance's making and the wait
    } else if (!client && error == ERROR_IO_PENDING) {
      HANDLE events[2] = {overlapped.hEvent, AsHandle(stop_fd)};
      if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
        DWORD ignored;
        CancelIoEx(AsHandle(instance.get()), &overlapped);
        GetOverlappedResult(AsHandle(instance.get()), &overlapped, &ignored, TRUE);
        break;
      }
      DWORD ignored;
      client = GetOverlappedResult(AsHandle(instance.get()), &overlapped, &ignored, FALSE) != 0;
    }
    // The next instance is offered before this one can end: a name with no instance at all
    // is gone, and a client would take the server for stopped.
    UniqueFd peer = std::move(instance);
    if (HANDLE next = MakeInstance(name, admitted_groups_, false); next != INVALID_HANDLE_VALUE)
      instance.Reset(HandleValue(next));
    Session::Peer credentials;
    if (!client || !Admit(peer.get(), &credentials)) continue;
    const uid_t uid = credentials.uid;
    Reap(false);
    std::lock_guard lock(connections_mutex_);
    if (connections_.size() >= limits_.max_connections) {
      LogLimited("refusing a connection: %lu are open",
                 static_cast<unsigned long>(connections_.size()));
      continue;
    }
    const auto held = per_account_.find(uid);
    if (held != per_account_.end() && held->second >= limits_.max_per_account) {
      LogLimited("refusing a connection of uid %u: it holds %lu, its share",
                 static_cast<unsigned>(uid), static_cast<unsigned long>(held->second));
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
  instance.Reset();
  listener_.Reset();
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
        (*it)->Wake();
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
      connection->Sever();
      continue;
    }
    connection->outbox += bytes;
    connection->charged += bytes.size();
    connection->Wake();
  }
}

void Server::Serve(Connection* connection) {
  const HANDLE pipe = AsHandle(connection->fd.get());
  Session& session = *connection->session;
  std::string inbox;  // bytes received and not handled yet, from `start` on
  size_t start = 0;
  size_t size = 0;      // of the message under way, once measured
  size_t reserved = 0;  // budget held for it
  bool measured = false, closing = false;
  Clock::time_point now = Clock::now();
  Clock::time_point message_due = now;
  bool awaiting = false;  // a message under way is due by message_due
  Clock::time_point idle_due = now + limits_.idle_timeout;
  Clock::time_point write_due = now;
  const char* why = nullptr;  // the reason to end, when it is worth a line
  auto give_up = [connection] { return connection->stopping.load(); };
  // The I/O in flight: its buffers stay put until it has finished.
  UniqueFd read_event(HandleValue(CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  UniqueFd write_event(HandleValue(CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  OVERLAPPED reading{}, writing{};
  bool read_pending = false, write_pending = false;
  std::unique_ptr<char[]> chunk;
  std::string piece;  // what the write in flight carries, copied out of the outbox
  try {
    chunk.reset(new char[kReadChunk]);
    if (!read_event.valid() || !write_event.valid()) throw std::runtime_error("no event");
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
          message_due = Clock::now() + limits_.message_timeout;
          if (start > 0) inbox.erase(0, std::exchange(start, 0));
          inbox.reserve(size + kReadChunk);
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

      // Finish the write in flight, and hand the pipe what is queued.
      bool broken = false, sending;
      {
        std::lock_guard lock(connection->mutex);
        if (write_pending && HasOverlappedIoCompleted(&writing)) {
          write_pending = false;
          DWORD done = 0;
          if (!GetOverlappedResult(pipe, &writing, &done, FALSE)) {
            broken = true;
          } else {
            // What the pipe took is no longer ours to hold.
            connection->sent += done;
            const size_t given = std::min<size_t>(connection->charged, done);
            budget_.Give(given);
            connection->charged -= given;
            if (connection->sent > connection->outbox.size() / 2)
              connection->outbox.erase(0, std::exchange(connection->sent, 0));
            write_due = Clock::now() + limits_.message_timeout;
          }
        }
        if (!broken && !write_pending && connection->UnreadLocked() > 0) {
          piece.assign(connection->outbox, connection->sent,
                       std::min(connection->UnreadLocked(), kWritePiece));
          writing = {};
          writing.hEvent = AsHandle(write_event.get());
          if (WriteFile(pipe, piece.data(), static_cast<DWORD>(piece.size()), nullptr, &writing) ||
              ::GetLastError() == ERROR_IO_PENDING) {
            write_pending = true;
          } else {
            broken = true;
          }
        }
        if (connection->UnreadLocked() == 0 && !connection->outbox.empty()) {
          connection->sent = 0;
          DropIfLarge(&connection->outbox);
          budget_.Give(std::exchange(connection->charged, 0));
        }
        sending = connection->UnreadLocked() > 0;
        unread = connection->UnreadLocked();
      }
      if (broken || (closing && !sending)) break;

      // Keep a read in flight while the client may send.
      const bool want_input = !closing && unread < limits_.max_unread_reply_bytes;
      if (want_input && !read_pending) {
        reading = {};
        reading.hEvent = AsHandle(read_event.get());
        if (ReadFile(pipe, chunk.get(), static_cast<DWORD>(kReadChunk), nullptr, &reading) ||
            ::GetLastError() == ERROR_IO_PENDING) {
          read_pending = true;
        } else {
          break;  // the client has gone
        }
      }

      // Wait for the client, or for a notification queued by another thread.
      now = Clock::now();
      const Clock::time_point due = sending ? write_due : awaiting ? message_due : idle_due;
      if (now >= due) {
        why = sending    ? "closing a connection that does not read its replies"
              : awaiting ? "closing a connection that stalled in the middle of a message"
                         : nullptr;  // idle: nothing worth a line
        break;
      }
      HANDLE events[3];
      DWORD count = 0;
      events[count++] = AsHandle(connection->wake.get());
      if (read_pending && want_input) events[count++] = reading.hEvent;
      if (write_pending) events[count++] = writing.hEvent;
      if (WaitForMultipleObjects(count, events, FALSE, MillisecondsUntil(due)) == WAIT_FAILED)
        break;
      if (connection->stopping || connection->severed) break;
      if (read_pending && HasOverlappedIoCompleted(&reading)) {
        read_pending = false;
        DWORD got = 0;
        if (!GetOverlappedResult(pipe, &reading, &got, FALSE)) break;  // the client has gone
        inbox.append(chunk.get(), got);  // room was made when measured
        if (got > 0 && !awaiting) {
          awaiting = true;
          message_due = Clock::now() + limits_.message_timeout;
        }
      }
    }
  } catch (const std::exception& error) {
    LogLimited("closing a connection: %s", error.what());
  }
  if (why != nullptr) LogLimited("%s", why);
  // The buffers of what is in flight are given back by the cancellation's end.
  if (read_pending || write_pending) {
    CancelIoEx(pipe, nullptr);
    DWORD ignored;
    if (read_pending) GetOverlappedResult(pipe, &reading, &ignored, TRUE);
    if (write_pending) GetOverlappedResult(pipe, &writing, &ignored, TRUE);
  }
  // An orderly end leaves the client its last replies: they stay readable in the pipe after
  // it is closed. Any other end drops what the client has not read.
  if (why != nullptr || connection->stopping || connection->severed || !closing)
    DisconnectNamedPipe(pipe);
  connection->fd.Reset();
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
  const std::string prefix = MachinePrefix();
  for (size_t start = 0; start <= list.size();) {
    const size_t end = std::min(list.find(',', start), list.size());
    const std::string name = list.substr(start, end - start);
    start = end + 1;
    if (!name.empty() && name.size() < 10 &&
        name.find_first_not_of("0123456789") == std::string::npos) {
      groups->push_back(static_cast<gid_t>(std::stoul(name)));
      continue;
    }
    // A group of this machine by its name: its relative id.
    std::wstring wide(name.begin(), name.end());
    unsigned char sid[SECURITY_MAX_SID_SIZE];
    wchar_t domain[256];
    DWORD sid_size = sizeof sid, domain_size = 256;
    SID_NAME_USE use;
    wchar_t* text = nullptr;
    std::string sid_text;
    if (!name.empty() && name.find_first_of("\\@") == std::string::npos &&
        LookupAccountNameW(nullptr, wide.c_str(), sid, &sid_size, domain, &domain_size, &use) &&
        (use == SidTypeGroup || use == SidTypeAlias || use == SidTypeWellKnownGroup) &&
        ConvertSidToStringSidW(sid, &text)) {
      for (const wchar_t* c = text; *c != L'\0'; ++c) sid_text += static_cast<char>(*c);
      LocalFree(text);
    }
    if (sid_text.rfind(prefix, 0) != 0 || prefix.empty()) {
      Log("unknown group '%s'", name.c_str());
      return false;
    }
    groups->push_back(RelativeId(sid_text));
  }
  return true;
}

bool Start(const char* name, Startup* startup) {
  // No umask, signals or allocator settings here: what a server makes is its account's by
  // the folder's inherited access, the console's control events stand for the signals, and
  // the C runtime's heap gives large blocks back by itself.
  std::error_code ignored;
  std::filesystem::create_directories(platform::MachineRoot(), ignored);
  const std::string lock_path = platform::MachineFile(std::string(name) + ".lock");
  const std::wstring wide_lock = std::filesystem::u8path(lock_path).wstring();
  // Opened sharing nothing: a second server of this kind cannot open it while we live.
  HANDLE lock = CreateFileW(wide_lock.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (lock == INVALID_HANDLE_VALUE) {
    Log("%s: %s", lock_path.c_str(),
        ::GetLastError() == ERROR_SHARING_VIOLATION
            ? "another server of this kind runs on this root"
            : "cannot lock");
    return false;
  }
  startup->lock.Reset(HandleValue(lock));
  // Named after the process, so that what runs as this account can stop it cleanly as a
  // signal would (a console's events reach only the processes that share it). A name
  // another account made first is not ours to wait on: then only the console stops us.
  const std::wstring stop_name = StopEventName(GetCurrentProcessId());
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, stop_name.c_str());
  if (stop != nullptr && ::GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(stop);
    stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  if (stop == nullptr) {
    Log("cannot watch for the console's control events");
    return false;
  }
  stop_event = stop;
  startup->stop.Reset(HandleValue(stop));
  if (!SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
    Log("cannot watch for the console's control events");
    return false;
  }
  return true;
}

}  // namespace service
