// Test support for everything that talks to the agent: runs the built cvmad on a temporary
// machine root, talks to sockets in raw frames, and stands in for the agent where a test
// needs replies the real one never gives.
//
// Thread safety: a TestServer or RawClient belongs to the one thread that uses it; a
// FakeAgent serves from a thread of its own.
#ifndef STANDINS_TESTING_TEST_AGENT_H_
#define STANDINS_TESTING_TEST_AGENT_H_

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#ifdef _WIN32
#include <windows.h>
#include <psapi.h>

#include "platform/named_pipe_windows.h"
#include "standins/service/service.h"
#else
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/test_process.h"
#include "platform/test_root.h"
#include "standins/wire/unique_fd.h"
#include "standins/wire/wire.h"

namespace cvmad::testing {

using Clock = std::chrono::steady_clock;
using platform::testing::FileText;
using wire::UniqueFd;

#ifdef _WIN32
// The servers' processes by their handles, their sockets by the pipes that stand for them;
// a clean stop is the server's stop event (service::StopEventName), SIGKILL a termination.
inline constexpr int SIGKILL = 9;
using pid_t = int;

inline HANDLE AsHandle(int value) { return reinterpret_cast<HANDLE>(intptr_t{value}); }

inline UniqueFd ConnectUnix(const std::string& path) {
  unsigned long error = 0;
  void* pipe = platform::OpenPipe(platform::PipeNameForPath(path), std::chrono::seconds(2), &error);
  return UniqueFd(pipe != nullptr ? static_cast<int>(reinterpret_cast<intptr_t>(pipe)) : -1);
}
#else
inline sockaddr_un UnixAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

inline UniqueFd ConnectUnix(const std::string& path) {
  const sockaddr_un address = UnixAddress(path);
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    fd.Reset();
  return fd;
}

#endif

// The folder of the built programs: $CV_BIN_DIR, else bin/ beside the tests' folder.
inline std::filesystem::path BinDir() {
  const char* bin = getenv("CV_BIN_DIR");
  if (bin != nullptr) return bin;
#ifdef _WIN32
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return std::filesystem::path(self).parent_path().parent_path() / "bin";
#else
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "bin";
#endif
}

inline std::string Packed(const std::string& oid) {
  std::string out;
  wire::EncodePackedOid(oid, &out);
  return out;
}

inline std::string Encoded(const wire::Frame& frame) {
  std::string out;
  wire::EncodeFrame(frame, &out);
  return out;
}

inline std::string Request(uint32_t message_id, const std::string& body, uint32_t request_id = 1,
                           const std::string& destination = wire::kPolicyManagerOid) {
  return Encoded({wire::FrameKind::kRequest, request_id, message_id, Packed(destination) + body});
}


// The permission bits of `path`, with the set-id and sticky bits.
inline unsigned FileMode(const std::string& path) {
  return static_cast<unsigned>(std::filesystem::status(path).permissions() &
                               std::filesystem::perms::mask);
}

// Resident sizes mean nothing under a sanitizer (its shadow memory and quarantine): tests
// that bound them only print them there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kResidentSizesHold = false;
#else
inline constexpr bool kResidentSizesHold = true;
#endif

#ifdef _WIN32
// Waits for the process whose handle is `pid` to end for up to `timeout`; its exit status,
// or -1 when it is still running.
inline int WaitForExit(pid_t pid, std::chrono::milliseconds timeout) {
  if (WaitForSingleObject(AsHandle(pid), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
    return -1;
  DWORD status = 0;
  GetExitCodeProcess(AsHandle(pid), &status);
  return static_cast<int>(status);
}

// The figure `field` ("VmRSS", "VmHWM") as Windows keeps it for the process whose handle is
// `pid`: its working set or that set's peak, in KiB; -1 when unknown.
inline long StatusKiB(pid_t pid, const std::string& field) {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!K32GetProcessMemoryInfo(AsHandle(pid), &counters, sizeof counters)) return -1;
  return static_cast<long>(
      (field == "VmHWM" ? counters.PeakWorkingSetSize : counters.WorkingSetSize) >> 10);
}

#else
// Waits for `pid` to end for up to `timeout`; its exit status, 128 + the signal that ended
// it, or -1 when it is still running.
inline int WaitForExit(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs `body` in a forked child: its exit status as WaitForExit's, within 60 s.
inline int InChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid < 0 ? -1 : WaitForExit(pid, std::chrono::seconds(60));
}

// As InChild, the child being `uid` with the group `gid` and no other groups (125 when it
// could not become that account). Needs root.
inline int RunAs(uid_t uid, gid_t gid, const std::function<int()>& body) {
  return InChild([&] {
    return setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0 ? 125 : body();
  });
}

// Listens on the socket `path` as the account 65534 in a forked child, which ends with 0
// when a client connected and sent nothing before closing (1 when it sent a byte; 2 or 3
// when it could not listen or nobody came within 20 s): the child, once it listens, or -1.
// Needs root.
inline pid_t ListenAsAnotherAccount(const std::string& path) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    const sockaddr_un address = UnixAddress(path);
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    if (setgid(65534) != 0 || setuid(65534) != 0 ||
        bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 || write(ready[1], "r", 1) != 1)
      _exit(2);
    pollfd event{listener, POLLIN, 0};
    if (poll(&event, 1, 20000) != 1) _exit(3);
    const int peer = accept(listener, nullptr, nullptr);
    char byte;
    event = {peer, POLLIN, 0};
    _exit(poll(&event, 1, 20000) == 1 && recv(peer, &byte, 1, 0) == 0 ? 0 : 1);
  }
  close(ready[1]);
  char byte;
  const bool listening = pid > 0 && read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  return listening ? pid : -1;
}

// The figure `field` ("VmRSS", "VmHWM") of /proc/PID/status, in KiB; -1 when unknown.
inline long StatusKiB(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

#endif

// Runs the built `program` with `arguments`, its standard output dropped: its exit status as
// WaitForExit's, within 20 s.
inline int RunBuilt(const std::string& program, const std::vector<std::string>& arguments) {
  return platform::testing::RunProgram(
      (BinDir() / (program + platform::testing::kProgramSuffix)).string(), arguments);
}

// A temporary folder holding a machine root (root/ and the servers' folder root/run/, made at
// once) and the log of the built server `program` (the agent, cvmad, by default), which runs
// on it between Start and Stop, listening on root/run/<program>.sock, and is stopped with
// SIGTERM at the latest when the TestServer goes.
class TestServer {
 public:
  explicit TestServer(std::string program = "cvmad")
      : program_(std::move(program)), dir_(program_ + "_test") {
    if (!dir_.path().empty()) {
      std::filesystem::create_directory(root());
#ifdef _WIN32
      std::filesystem::create_directory(root() + "/run");
#else
      mkdir((root() + "/run").c_str(), 0700);
#endif
    }
  }
  ~TestServer() { Stop(SIGTERM); }

  const std::string& dir() const { return dir_.path(); }
  std::string root() const { return dir_.Path("root"); }
  std::string socket_path() const { return root() + "/run/" + program_ + ".sock"; }
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  std::string log() const { return FileText(dir_.Path(program_ + ".log")); }

#ifdef _WIN32
  // Runs another server on the same root, its output appended to the log: the process's
  // handle, or 0.
  pid_t Spawn(std::vector<std::string> arguments = {}) const {
    std::wstring command = L"\"" + (BinDir() / program_).wstring() + L".exe\" --root \"" +
                           std::filesystem::path(root()).wstring() + L"\"";
    for (const std::string& argument : arguments)
      command += L" \"" + std::filesystem::path(argument).wstring() + L"\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE log = CreateFileW(std::filesystem::path(dir_.Path(program_ + ".log")).wstring().c_str(),
                             FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = log;
    PROCESS_INFORMATION process{};
    const bool made = log != INVALID_HANDLE_VALUE &&
                      CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                                     CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    if (log != INVALID_HANDLE_VALUE) CloseHandle(log);
    if (!made) return 0;
    CloseHandle(process.hThread);
    process_ids_[static_cast<int>(reinterpret_cast<intptr_t>(process.hProcess))] =
        process.dwProcessId;
    return static_cast<int>(reinterpret_cast<intptr_t>(process.hProcess));
  }
#else
  // Runs another server on the same root, its output appended to the log.
  pid_t Spawn(std::vector<std::string> arguments = {}) const {
    std::string program = BinDir() / program_, root = this->root(),
                log = dir_.Path(program_ + ".log");
    pid_t pid = fork();
    if (pid == 0) {
      int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(127);
      std::vector<char*> argv = {program.data(), const_cast<char*>("--root"), root.data()};
      for (std::string& argument : arguments) argv.push_back(argument.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    return pid;
  }
#endif

  // Starts the server and waits until it accepts a connection. False when it ended or did
  // not answer within the bound (then it is killed).
  bool Start(std::vector<std::string> arguments = {}) {
    pid_ = Spawn(std::move(arguments));
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
      if (ConnectUnix(socket_path()).valid()) return true;
      if (WaitForExit(pid_, std::chrono::milliseconds(2)) >= 0) {
        pid_ = 0;
        return false;
      }
    }
    Stop(SIGKILL);
    return false;
  }

  // Sends `signal` and waits for the server to end; as WaitForExit (-1 when none runs).
  int Stop(int signal) {
#ifdef _WIN32
    if (pid_ <= 0) return -1;
    HANDLE stop = signal == SIGKILL ? nullptr
                                    : OpenEventW(EVENT_MODIFY_STATE, FALSE,
                                                 service::StopEventName(process_ids_[pid_]).c_str());
    if (stop != nullptr) {
      SetEvent(stop);
      CloseHandle(stop);
    } else {
      TerminateProcess(AsHandle(pid_), 128 + SIGKILL);
    }
    int status = WaitForExit(pid_, std::chrono::seconds(20));
    if (status < 0) {
      TerminateProcess(AsHandle(pid_), 128 + SIGKILL);
      WaitForExit(pid_, std::chrono::seconds(20));
    }
    CloseHandle(AsHandle(pid_));
    pid_ = 0;
    return status;
#else
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    int status = WaitForExit(pid_, std::chrono::seconds(20));
    if (status < 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
    pid_ = 0;
    return status;
#endif
  }

 private:
  std::string program_;
  platform::testing::TemporaryFolder dir_;
  pid_t pid_ = 0;
#ifdef _WIN32
  mutable std::map<int, unsigned long> process_ids_;  // by process handle
#endif
};

using TestAgent = TestServer;

// An agent running from the start of each case; each case ends with a clean stop, which a
// sanitizer's report would spoil.
class AgentFixture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(agent_.Start()) << agent_.log(); }
  void TearDown() override {
    if (agent_.running()) {
      EXPECT_EQ(agent_.Stop(SIGTERM), 0) << agent_.log();
    }
  }

  TestAgent agent_;
};

// A client speaking frames on a socket, with reads bounded by a time-out.
class RawClient {
 public:
  explicit RawClient(const std::string& path) : fd_(ConnectUnix(path)) {}
  explicit RawClient(UniqueFd fd) : fd_(std::move(fd)) {}

  void Close() { fd_.Reset(); }
  bool Send(const std::string& bytes) {
#ifdef _WIN32
    return platform::PipeWriteAll(AsHandle(fd_.get()), bytes.data(), bytes.size(),
                                  Clock::now() + std::chrono::seconds(5));
#else
    return send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
#endif
  }

  // The next frame, or nothing when none came within `timeout_ms` or the connection ended.
  std::optional<wire::Frame> Read(int timeout_ms = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    wire::Frame frame;
    uint32_t length;
    while (inbox_.size() < 4 || !wire::DecodeFrameLength(inbox_.data(), &length) ||
           inbox_.size() < 4 + length) {
      if (Wait(deadline) <= 0) return std::nullopt;
    }
    bool ok = wire::DecodeFrameRest(std::string_view(inbox_).substr(4, length), &frame);
    inbox_.erase(0, 4 + length);
    return ok ? std::optional(frame) : std::nullopt;
  }

  // True when the peer closed the connection within `timeout_ms`.
  bool Ended(int timeout_ms) { return Wait(Clock::now() + std::chrono::milliseconds(timeout_ms)) == 0; }

  // Sends a request to the policy manager and returns the reply body (empty when none came);
  // notifications met on the way are skipped.
  std::string Call(uint32_t message_id, const std::string& body,
                   const std::string& destination = wire::kPolicyManagerOid) {
    const uint32_t id = ++last_id_;
    if (!Send(Request(message_id, body, id, destination))) return {};
    while (std::optional<wire::Frame> frame = Read()) {
      if (frame->kind == wire::FrameKind::kReply && frame->request_id == id) return frame->body;
    }
    return {};
  }

 private:
  // Reads what arrives before `deadline`: bytes read, 0 at the end of the stream (or a
  // reset), -1 when nothing came.
  ssize_t Wait(Clock::time_point deadline) {
#ifdef _WIN32
    char chunk[4096];
    const size_t got = platform::PipeReadSome(AsHandle(fd_.get()), chunk, sizeof chunk, deadline);
    if (got > 0) {
      inbox_.append(chunk, got);
      return static_cast<ssize_t>(got);
    }
    DWORD available;
    return PeekNamedPipe(AsHandle(fd_.get()), nullptr, 0, nullptr, &available, nullptr) ? -1 : 0;
#else
    pollfd event{fd_.get(), POLLIN, 0};
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (poll(&event, 1, static_cast<int>(std::max<int64_t>(left, 0))) <= 0) return -1;
    char chunk[4096];
    ssize_t got = recv(fd_.get(), chunk, sizeof chunk, 0);
    if (got > 0) inbox_.append(chunk, static_cast<size_t>(got));
    return std::max<ssize_t>(got, 0);
#endif
  }

  UniqueFd fd_;
  std::string inbox_;
  uint32_t last_id_ = 0;
};

// The status word of a reply; ~0 when there is none.
inline uint32_t StatusOf(std::string_view reply) {
  uint32_t status = ~0u;
  wire::GetU32(&reply, &status);
  return status;
}

inline std::string U32s(std::initializer_list<uint32_t> values) {
  std::string out;
  for (uint32_t value : values) wire::PutU32(&out, value);
  return out;
}

// Changes `oid` (to a variable without a value) from a connection of its own to the agent
// listening on `path`: the reply body.
inline std::string ChangeVariable(const std::string& path, const std::string& oid) {
  wire::Variable changed;
  changed.oid = oid;
  std::string package;
  wire::EncodeSetPackage({changed}, &package);
  return RawClient(path).Call(wire::kSetPolicy, package);
}

// Listens on `path` (on Windows, on its pipe) in place of the agent: a thread of its own
// accepts one connection at a time and hands it to `serve` with its number (0 for the
// first), until the FakeAgent goes.
class FakeAgent {
 public:
  using Serve = std::function<void(RawClient& client, int connection)>;

#ifdef _WIN32
  FakeAgent(const std::string& path, Serve serve)
      : serve_(std::move(serve)), name_(platform::PipeNameForPath(path)) {
    next_ = Offer();
    listening_ = next_ != INVALID_HANDLE_VALUE && stop_ != nullptr;
    thread_ = std::thread([this] { Accept(); });
  }
#else
  FakeAgent(const std::string& path, Serve serve) : serve_(std::move(serve)) {
    const sockaddr_un address = UnixAddress(path);
    const auto* name = reinterpret_cast<const sockaddr*>(&address);
    listening_ = bind(listener_.get(), name, sizeof address) == 0 &&
                 listen(listener_.get(), 8) == 0;
    thread_ = std::thread([this] { Accept(); });
  }
#endif
  // Ends the connection being served and the listening.
  ~FakeAgent() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
#ifdef _WIN32
      if (client_ != nullptr) DisconnectNamedPipe(client_);
    }
    SetEvent(stop_);
    thread_.join();
    CloseHandle(stop_);
#else
      if (client_ >= 0) shutdown(client_, SHUT_RDWR);
    }
    shutdown(listener_.get(), SHUT_RDWR);
    thread_.join();
#endif
  }
  bool listening() const { return listening_; }

  // Serves by answering every request with a reply carrying `body(request)`.
  static Serve Answering(std::function<std::string(const wire::Frame& request)> body) {
    return [body = std::move(body)](RawClient& client, int) {
      while (std::optional<wire::Frame> request = client.Read(60000)) {
        const wire::Frame reply{wire::FrameKind::kReply, request->request_id, request->message_id,
                                body(*request)};
        if (!client.Send(Encoded(reply))) return;
      }
    };
  }

 private:
#ifdef _WIN32
  HANDLE Offer() const {
    return CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                            65536, 65536, 0, nullptr);
  }
  void Accept() {
    HANDLE connected = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (int connection = 0; next_ != INVALID_HANDLE_VALUE; ++connection) {
      HANDLE pipe = std::exchange(next_, INVALID_HANDLE_VALUE);
      OVERLAPPED overlapped{};
      overlapped.hEvent = connected;
      bool client = ConnectNamedPipe(pipe, &overlapped) != 0 ||
                    ::GetLastError() == ERROR_PIPE_CONNECTED;
      if (!client && ::GetLastError() == ERROR_IO_PENDING) {
        HANDLE events[2] = {connected, stop_};
        DWORD ignored;
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
          CancelIoEx(pipe, &overlapped);
          GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
          CloseHandle(pipe);
          break;
        }
        client = GetOverlappedResult(pipe, &overlapped, &ignored, FALSE) != 0;
      }
      next_ = Offer();  // before this one can end: a name with no instance is gone
      {
        std::lock_guard lock(mutex_);
        if (!client || stopping_) {
          CloseHandle(pipe);
          break;
        }
        client_ = pipe;
      }
      RawClient served(UniqueFd(static_cast<int>(reinterpret_cast<intptr_t>(pipe))));
      serve_(served, connection);
      std::lock_guard lock(mutex_);
      client_ = nullptr;  // before `served` closes the handle
    }
    if (next_ != INVALID_HANDLE_VALUE) CloseHandle(next_);
    CloseHandle(connected);
  }

  Serve serve_;
  const std::wstring name_;
  HANDLE next_ = INVALID_HANDLE_VALUE;  // the instance the next client finds
  HANDLE stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE client_ = nullptr;
#else
  void Accept() {
    for (int connection = 0;; ++connection) {
      UniqueFd fd(accept(listener_.get(), nullptr, nullptr));
      {
        std::lock_guard lock(mutex_);
        if (!fd.valid() || stopping_) return;
        client_ = fd.get();
      }
      RawClient client(std::move(fd));
      serve_(client, connection);
      std::lock_guard lock(mutex_);
      client_ = -1;  // before `client` closes the descriptor
    }
  }

  Serve serve_;
  UniqueFd listener_{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  int client_ = -1;
#endif
  bool listening_ = false;
  std::mutex mutex_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace cvmad::testing

#endif  // STANDINS_TESTING_TEST_AGENT_H_
