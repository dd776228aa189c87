// Test support for everything that reads the mail store through the storage server: a
// machine root in a temporary folder, which this process's hive follows, with the mail
// sources at their default places (mail/passwd, mail/public) and a log folder, and the
// built storage server run on it between Start and Stop (and with SIGTERM when the fixture
// goes).
//
// Thread safety: one TestStorageServer per test, used from the test's own thread.
#ifndef STANDINS_TESTING_TEST_STORAGE_SERVER_H_
#define STANDINS_TESTING_TEST_STORAGE_SERVER_H_

#include <initializer_list>

#include "platform/registry.h"
#include "standins/testing/test_agent.h"

namespace cvstorage::testing {

class TestStorageServer {
 public:
  TestStorageServer() {
    std::filesystem::create_directories(root() + "/mail/public");
    std::filesystem::create_directories(root() + "/logs");
    platform::ReleaseLocalMachine();
#ifdef _WIN32
    _putenv_s("CORVANE_ROOT", root().c_str());
#else
    setenv("CORVANE_ROOT", root().c_str(), 1);
#endif
  }
  ~TestStorageServer() {
    server_.Stop(SIGTERM);
    platform::ReleaseLocalMachine();
  }

  std::string root() const { return server_.root(); }
  std::string socket_path() const { return server_.socket_path(); }
  std::string log() const { return server_.log(); }
  pid_t pid() const { return server_.pid(); }
  bool running() const { return server_.running(); }
  std::string passwd() const { return root() + "/mail/passwd"; }
  std::string folder(const std::string& name) const { return root() + "/mail/public/" + name; }

  // The mailboxes, as passwd-file lines, and the public folders, as Maildir++ names.
  void SetMailboxes(const std::string& lines) const {
    std::ofstream(passwd(), std::ios::binary | std::ios::trunc) << lines;
  }
  void AddFolders(std::initializer_list<const char*> names) const {
    for (const char* name : names) std::filesystem::create_directory(folder(name));
  }

  // Imports the shipped registration of the two storage classes with cvreg, as the run
  // script does.
  bool Register() const {
    return cvmad::testing::RunBuilt("cvreg", {"import", CV_STORAGE_REGISTRATION}) == 0;
  }
  // Starts the server and waits until it accepts a connection.
  bool Start(std::vector<std::string> arguments = {}) {
    return server_.Start(std::move(arguments));
  }
  // As TestServer::Stop: the exit status, 128 + the signal, or -1 when none runs.
  int Stop(int signal) { return server_.Stop(signal); }

 private:
  cvmad::testing::TestServer server_{"cvstorage"};
};

}  // namespace cvstorage::testing

#endif  // STANDINS_TESTING_TEST_STORAGE_SERVER_H_
