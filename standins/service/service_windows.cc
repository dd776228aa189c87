// The service frame on Windows: overlapped named pipes. One pipe instance waits for the next
// client at a time; a connected instance is handed to a waiting worker thread (service_shared.cc),
// whose channel keeps at most one read and one write in flight and waits on them and on its
// wake-up event against the frame's deadlines. Nothing is read from a client while its
// unread replies are over their bound, beyond the one read in flight (at most kReadChunk
// bytes, as on POSIX where a read takes that much).
//
// Accounts are SIDs here. A peer's account is its process's token user, read from the pipe
// (GetNamedPipeClientProcessId); its uid the SID's last part (service.h).
//
// Thread safety: see service.h and service_channel.h. Only a connection's own thread touches
// its pipe; other threads ask it to end through flags and its wake-up event.
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

#include "platform/machine_root.h"
#include "platform/named_pipe_windows.h"
#include "standins/service/service.h"
#include "standins/service/service_channel.h"

namespace service {
namespace {

using wire::UniqueFd;

// What one write hands the pipe at most.
constexpr size_t kWritePiece = 256 * 1024;
// The pipe's own buffers, each way.
constexpr DWORD kPipeBuffer = 64 * 1024;

HANDLE AsHandle(int value) { return reinterpret_cast<HANDLE>(intptr_t{value}); }
int HandleValue(HANDLE handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

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


class PipeChannel final : public Channel {
 public:
  PipeChannel(UniqueFd pipe, UniqueFd wake, UniqueFd read_event, UniqueFd write_event)
      : pipe_(std::move(pipe)),
        wake_(std::move(wake)),
        read_event_(std::move(read_event)),
        write_event_(std::move(write_event)),
        chunk_(new char[kReadChunk]) {}

  ~PipeChannel() override { Close(false); }

  bool Send(std::string_view unread, size_t* taken) override {
    *taken = 0;
    if (write_pending_) {
      if (!HasOverlappedIoCompleted(&writing_)) return true;
      write_pending_ = false;
      DWORD done = 0;
      if (!GetOverlappedResult(Pipe(), &writing_, &done, FALSE)) return false;
      *taken = done;
    }
    if (*taken >= unread.size()) return true;
    // The write in flight carries a copy: the outbox may move under it.
    piece_.assign(unread.substr(*taken, kWritePiece));
    writing_ = {};
    writing_.hEvent = AsHandle(write_event_.get());
    if (!WriteFile(Pipe(), piece_.data(), static_cast<DWORD>(piece_.size()), nullptr, &writing_) &&
        ::GetLastError() != ERROR_IO_PENDING)
      return false;
    write_pending_ = true;
    return true;
  }

  bool Wait(bool want_input, bool, Clock::time_point due) override {
    // Keep a read in flight while the client may send.
    if (want_input && !read_pending_) {
      reading_ = {};
      reading_.hEvent = AsHandle(read_event_.get());
      if (!ReadFile(Pipe(), chunk_.get(), static_cast<DWORD>(kReadChunk), nullptr, &reading_) &&
          ::GetLastError() != ERROR_IO_PENDING)
        return false;  // the client has gone
      read_pending_ = true;
    }
    HANDLE events[3];
    DWORD count = 0;
    events[count++] = AsHandle(wake_.get());
    if (read_pending_ && want_input) events[count++] = reading_.hEvent;
    if (write_pending_) events[count++] = writing_.hEvent;
    return WaitForMultipleObjects(count, events, FALSE,
                                  static_cast<DWORD>(MillisecondsUntil(due))) != WAIT_FAILED;
  }

  bool Receive(bool, std::string* inbox, size_t* got) override {
    *got = 0;
    if (severed_) return false;
    if (!read_pending_ || !HasOverlappedIoCompleted(&reading_)) return true;
    read_pending_ = false;
    DWORD done = 0;
    if (!GetOverlappedResult(Pipe(), &reading_, &done, FALSE)) return false;  // the client has gone
    inbox->append(chunk_.get(), done);
    *got = done;
    return true;
  }

  void Close(bool orderly) override {
    if (!pipe_.valid()) return;
    // The buffers of what is in flight are given back by the cancellation's end.
    if (read_pending_ || write_pending_) {
      CancelIoEx(Pipe(), nullptr);
      DWORD ignored;
      if (read_pending_) GetOverlappedResult(Pipe(), &reading_, &ignored, TRUE);
      if (write_pending_) GetOverlappedResult(Pipe(), &writing_, &ignored, TRUE);
      read_pending_ = write_pending_ = false;
    }
    // An orderly end leaves the client its last replies: they stay readable in the pipe after
    // it is closed. Any other end drops what the client has not read.
    if (!orderly || severed_) DisconnectNamedPipe(Pipe());
    pipe_.Reset();
  }

  void Wake() override { SetEvent(AsHandle(wake_.get())); }
  void Sever() override {
    severed_ = true;
    Wake();
  }

 private:
  HANDLE Pipe() const { return AsHandle(pipe_.get()); }

  UniqueFd pipe_;  // the pipe instance; used and closed by the connection's thread alone
  const UniqueFd wake_;
  // The I/O in flight: its buffers stay put until it has finished.
  const UniqueFd read_event_, write_event_;
  OVERLAPPED reading_{}, writing_{};
  bool read_pending_ = false, write_pending_ = false;
  const std::unique_ptr<char[]> chunk_;
  std::string piece_;  // what the write in flight carries
  std::atomic<bool> severed_{false};
};

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

std::unique_ptr<Channel> OpenChannel(UniqueFd peer) {
  auto event = [](bool manual) {
    return UniqueFd(HandleValue(CreateEventW(nullptr, manual, FALSE, nullptr)));
  };
  UniqueFd wake = event(false), read_event = event(true), write_event = event(true);
  if (!wake.valid() || !read_event.valid() || !write_event.valid()) return nullptr;
  return std::make_unique<PipeChannel>(std::move(peer), std::move(wake), std::move(read_event),
                                       std::move(write_event));
}

// The C runtime's heap gives large blocks back by itself.
void GiveBackFreedMemory() {}

bool GroupByName(const std::string& name, gid_t* group) {
  // A group of this machine by its name: its relative id.
  const std::string prefix = MachinePrefix();
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
  if (sid_text.rfind(prefix, 0) != 0 || prefix.empty()) return false;
  *group = RelativeId(sid_text);
  return true;
}

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
    Adopt(std::move(peer), credentials);
  }
  instance.Reset();
  listener_.Reset();
  Reap(true);
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
