// Test support for the mail store: a machine root in a temporary folder, which this
// process's hive follows, the built storage server run on it between Start and Stop, and
// the trace written to a file there.
//
// Thread safety: one TestStorageServer per test, used from the test's own thread.
#ifndef MAILSTORE_TEST_STORAGE_SERVER_H_
#define MAILSTORE_TEST_STORAGE_SERVER_H_

#include <functional>

#include "platform/registry.h"
#include "standins/testing/test_agent.h"
#include "support/trace.h"

namespace mailstore::testing {

using cvmad::testing::Clock;

// Waits up to 20 s for `condition`; whether it came true.
inline bool WaitUntil(const std::function<bool()>& condition) {
  for (auto deadline = Clock::now() + std::chrono::seconds(20); Clock::now() < deadline;) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

class TestStorageServer {
 public:
  TestStorageServer() {
    char pattern[] = "/tmp/mailstore_test.XXXXXX";
    if (mkdtemp(pattern) != nullptr) dir_ = pattern;
    std::filesystem::create_directories(root() + "/mail/public");
    platform::ReleaseLocalMachine();
    setenv("CORVANE_ROOT", root().c_str(), 1);
  }
  ~TestStorageServer() {
    Stop(SIGTERM);
    TraceResetForTesting();
    platform::ReleaseLocalMachine();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string root() const { return dir_ + "/root"; }
  std::string trace_log() const {
    std::ifstream in(dir_ + "/trace.log");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // The mailboxes, as passwd-file lines, and the public folders, as Maildir++ names.
  void SetMailboxes(const std::string& lines) const {
    std::ofstream(root() + "/mail/passwd", std::ios::trunc) << lines;
  }
  void AddFolders(std::initializer_list<const char*> names) const {
    for (const char* name : names) std::filesystem::create_directory(root() + "/mail/public/" + name);
  }

  // Imports the shipped registration of the two storage classes with cvreg.
  bool Register() const {
    const std::string cvreg = cvmad::testing::BinDir() / "cvreg";
    const pid_t pid = fork();
    if (pid == 0) {
      const int quiet = open("/dev/null", O_WRONLY);
      if (quiet < 0 || dup2(quiet, 1) < 0) _exit(127);
      execl(cvreg.c_str(), cvreg.c_str(), "import", CV_STORAGE_REGISTRATION, nullptr);
      _exit(127);
    }
    return cvmad::testing::WaitForExit(pid, std::chrono::seconds(20)) == 0;
  }

  // Starts the server and waits until it accepts a connection.
  bool Start(std::vector<std::string> arguments = {}) {
    std::string program = cvmad::testing::BinDir() / "cvstorage", root = this->root();
    pid_ = fork();
    if (pid_ == 0) {
      const int quiet = open("/dev/null", O_WRONLY);
      if (quiet < 0 || dup2(quiet, 2) < 0) _exit(127);
      std::vector<char*> argv = {program.data(), const_cast<char*>("--root"), root.data()};
      for (std::string& argument : arguments) argv.push_back(argument.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    const std::string socket = root + "/cvstorage.sock";
    bool ended = false;
    if (WaitUntil([&] {
          ended = cvmad::testing::WaitForExit(pid_, std::chrono::milliseconds(0)) >= 0;
          return ended || cvmad::testing::ConnectUnix(socket).valid();
        }) && !ended) {
      return true;
    }
    if (ended) pid_ = 0;
    Stop(SIGKILL);
    return false;
  }

  // Sends `signal` and waits for the server to end.
  void Stop(int signal) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    if (cvmad::testing::WaitForExit(pid_, std::chrono::seconds(20)) < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = 0;
  }

  // Switches the trace on, into trace_log(), as the module does from the hive.
  void Trace() const {
    const char* key = "SOFTWARE\\Veltmark\\Corvane\\Web User Interface\\Debug\\cvwebuid";
    const std::string file = dir_ + "/trace.log,a";
    const uint32_t on = 1;
    platform::Hive& hive = platform::LocalMachine();
    platform::RegistryKey handle;
    hive.CreateKey(key, platform::kKeyAllAccess, &handle);
    hive.SetValue(handle, "DebugOutput", platform::kRegDword, &on, 4);
    hive.SetValue(handle, "DebugLogFile", platform::kRegSz, file.c_str(),
                  static_cast<uint32_t>(file.size() + 1));
    TraceResetForTesting();
    TraceReadRegistry(hive, key);
  }

 private:
  std::string dir_;
  pid_t pid_ = 0;
};

}  // namespace mailstore::testing

#endif  // MAILSTORE_TEST_STORAGE_SERVER_H_
