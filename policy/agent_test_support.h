// Test support for the policy layers: a machine root in a temporary folder whose registry
// points the delay-loading key at the built libraries, a real agent started on it, a fake
// agent for replies the real one never gives, and a session opened the way the host does.
#ifndef POLICY_AGENT_TEST_SUPPORT_H_
#define POLICY_AGENT_TEST_SUPPORT_H_

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "platform/registry.h"
#include "standins/wire/wire.h"
#include "support/agent_libraries.h"

namespace policy_test {

namespace fs = std::filesystem;

inline fs::path BinDir() { return fs::path(std::getenv("CV_BIN_DIR")); }
inline fs::path LibDir() { return BinDir().parent_path() / "lib"; }

inline int ConnectTo(const fs::path& socket_path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A machine root for one test process (each test runs in a process of its own).
class Root {
 public:
  explicit Root(bool register_libraries = true) {
    char pattern[] = "/tmp/cvpolicy-XXXXXX";
    path_ = mkdtemp(pattern);
    setenv("CORVANE_ROOT", path_.c_str(), 1);
    if (register_libraries) {
      platform::RegistryKey key;
      platform::Hive& hive = platform::LocalMachine();
      hive.CreateKey(support::kDelayLoadingKey, platform::kKeyAllAccess, &key);
      for (const char* name : {"libcvma32.so", "libcvpmapi.so"}) {
        const std::string library = (LibDir() / name).string();
        hive.SetValue(key, name, platform::kRegSz, library.c_str(),
                      static_cast<uint32_t>(library.size() + 1));
      }
    }
  }
  ~Root() {
    StopAgent();
    fs::remove_all(path_);
  }

  const fs::path& path() const { return path_; }
  fs::path socket_path() const { return path_ / "cvmad.sock"; }

  // Starts build/bin/cvmad on this root and waits (bounded) until it accepts.
  bool StartAgent() {
    agent_ = fork();
    if (agent_ == 0) {
      execl((BinDir() / "cvmad").c_str(), "cvmad", static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int attempt = 0; attempt < 2000; ++attempt) {
      int fd = ConnectTo(socket_path());
      if (fd >= 0) {
        close(fd);
        return true;
      }
      usleep(2000);
    }
    return false;
  }
  void StopAgent() {
    if (agent_ > 0) {
      kill(agent_, SIGTERM);
      waitpid(agent_, nullptr, 0);
      agent_ = -1;
    }
  }

  // Opens a session through the client library, as the host does.
  uint32_t OpenSession() {
    using OpenSessionFn = int32_t (*)(const char*, uint32_t*);
    auto open_session = reinterpret_cast<OpenSessionFn>(support::ResolveAgentFunction(
        support::AgentLibrary::kClient, "CVMAOpenSession", nullptr));
    uint32_t session = 0;
    if (open_session == nullptr || open_session(nullptr, &session) != 0) return 0;
    return session;
  }

 private:
  fs::path path_;
  pid_t agent_ = -1;
};

// An agent that answers every request with what `reply` returns for it, on the root's
// socket, serving one connection at a time.
class FakeAgent {
 public:
  using Reply = std::function<std::string(const wire::Frame& request)>;

  FakeAgent(const fs::path& socket_path, Reply reply) : reply_(std::move(reply)) {
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 8);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeAgent() {
    shutdown(listener_, SHUT_RDWR);
    const int client = client_.load();
    if (client >= 0) shutdown(client, SHUT_RDWR);
    close(listener_);
    thread_.join();
  }
  int requests() const { return requests_.load(); }

 private:
  static bool ReadAll(int fd, char* data, size_t size) {
    while (size > 0) {
      ssize_t got = read(fd, data, size);
      if (got <= 0) return false;
      data += got;
      size -= static_cast<size_t>(got);
    }
    return true;
  }

  void Serve() {
    for (;;) {
      int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      client_.store(fd);
      char header[4];
      uint32_t length = 0;
      while (ReadAll(fd, header, 4) && wire::DecodeFrameLength(header, &length)) {
        std::string rest(length, '\0');
        wire::Frame request;
        if (!ReadAll(fd, rest.data(), length) || !wire::DecodeFrameRest(rest, &request)) break;
        ++requests_;
        wire::Frame reply{wire::FrameKind::kReply, request.request_id, request.message_id,
                          reply_(request)};
        std::string out;
        wire::EncodeFrame(reply, &out);
        if (write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) break;
      }
      client_.store(-1);
      close(fd);
    }
  }

  Reply reply_;
  int listener_ = -1;
  std::atomic<int> client_{-1};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

inline std::string Status(uint32_t status) {
  std::string out;
  wire::PutU32(&out, status);
  return out;
}

}  // namespace policy_test

#endif  // POLICY_AGENT_TEST_SUPPORT_H_
