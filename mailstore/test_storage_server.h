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
    std::filesystem::create_directories(root() + "/mail/public");
    std::filesystem::create_directories(root() + "/logs");
    platform::ReleaseLocalMachine();
    setenv("CORVANE_ROOT", root().c_str(), 1);
  }
  ~TestStorageServer() {
    server_.Stop(SIGTERM);
    support::TraceShutdown();
    platform::ReleaseLocalMachine();
  }

  std::string root() const { return server_.root(); }
  std::string trace_log() const {
    std::ifstream in(root() + "/logs/trace.log");
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
    return cvmad::testing::RunBuilt("cvreg", {"import", CV_STORAGE_REGISTRATION}) == 0;
  }
  // Starts the server and waits until it accepts a connection.
  bool Start(std::vector<std::string> arguments = {}) { return server_.Start(std::move(arguments)); }
  void Stop(int signal) { server_.Stop(signal); }

  // Switches the trace on, into trace_log(), as the module does from the hive.
  void Trace() const {
    const char* key = "SOFTWARE\\Veltmark\\Corvane\\Web User Interface\\Debug\\cvwebuid";
    const std::string file = root() + "/logs/trace.log,a";
    const uint32_t on = 1;
    platform::Hive& hive = platform::LocalMachine();
    platform::RegistryKey handle;
    hive.CreateKey(key, platform::kKeyAllAccess, &handle);
    hive.SetValue(handle, "DebugOutput", platform::kRegDword, &on, 4);
    hive.SetValue(handle, "DebugLogFile", platform::kRegSz, file.c_str(),
                  static_cast<uint32_t>(file.size() + 1));
    support::TraceShutdown();
    support::TraceReadRegistry(hive, key);
  }

 private:
  cvmad::testing::TestServer server_{"cvstorage"};
};

}  // namespace mailstore::testing

#endif  // MAILSTORE_TEST_STORAGE_SERVER_H_
