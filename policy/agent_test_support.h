// Test support for the policy layers: the temporary machine root of the agent's test
// support made this process's CORVANE_ROOT, its registry pointing the delay-loading key at
// the built libraries, and a session opened the way the host does; with the operator
// messages, product installations, the trace to a file in the root and its messages read
// back, and a fixture on a started agent.
#ifndef POLICY_AGENT_TEST_SUPPORT_H_
#define POLICY_AGENT_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "module/lifecycle.h"
#include "module/module_state.h"
#include "platform/library.h"
#include "platform/registry.h"
#include "platform/test_root.h"
#include "policy/agent_api.h"
#include "policy/agent_messages.h"
#include "standins/testing/test_agent.h"
#include "support/agent_libraries.h"
#include "support/trace.h"

namespace policy_test {

using cvmad::testing::FakeAgent;
using cvmad::testing::U32s;

// The folder of the built agent libraries: lib/ beside bin/, or bin/ itself on Windows,
// where a DLL is built beside the programs that load it.
inline std::filesystem::path LibDir() {
#ifdef _WIN32
  return cvmad::testing::BinDir();
#else
  return cvmad::testing::BinDir().parent_path() / "lib";
#endif
}

// Registry seeding for tests: a value in the key at `path`, the key made when missing.
inline void SetValue(const std::string& path, const char* name, uint32_t type, const void* data,
                     size_t size) {
  platform::RegistryKey key;
  platform::Hive& hive = platform::LocalMachine();
  ASSERT_EQ(hive.CreateKey(path, platform::kKeyAllAccess, &key), 0u);
  ASSERT_EQ(hive.SetValue(key, name, type, data, static_cast<uint32_t>(size)), 0u);
}
inline void SetDword(const std::string& path, const char* name, uint32_t value) {
  SetValue(path, name, platform::kRegDword, &value, 4);
}
inline void SetString(const std::string& path, const char* name, const std::string& value) {
  SetValue(path, name, platform::kRegSz, value.c_str(), value.size() + 1);
}

// Product installations for tests: the mail-server product, registered with one of its
// services; the server product, registered, recorded as the anti-virus product, its service.
inline void InstallMailProduct(const std::string& service = "cvavvxmd") {
  SetString("SOFTWARE\\Veltmark\\Corvane\\KTR\\Products\\452", "ProductName", "Mail");
  SetDword("SYSTEM\\CurrentControlSet\\Services\\" + service, "Start", 2);
}
inline void InstallServerProduct() {
  SetString("SOFTWARE\\Veltmark\\Corvane\\KTR\\Products\\1001", "ProductName", "Servers");
  SetDword("SOFTWARE\\Veltmark\\Corvane\\Anti-Virus", "ProductID", 1001);
  SetDword("SYSTEM\\CurrentControlSet\\Services\\Corvane Wardline", "Start", 2);
}

// A machine root for one test, with the agent started on it on request. The process's hive
// follows it: the one of the previous root is let go when it is made and when it goes.
class Root : public cvmad::testing::TestAgent {
 public:
  ~Root() { platform::ReleaseLocalMachine(); }
  explicit Root(bool register_libraries = true) {
    platform::ReleaseLocalMachine();
    platform::testing::SetEnvironment("CORVANE_ROOT", root().c_str());
    for (const char* name : {platform::kClientLibraryFileName, platform::kPolicyLibraryFileName}) {
      if (register_libraries) SetString(support::kDelayLoadingKey, name, (LibDir() / name).string());
    }
  }

  // Opens a session through the client library, as the host does; 0 when it cannot.
  static uint32_t OpenSession() {
    using OpenSessionFn = int32_t (*)(const char*, uint32_t*);
    auto open_session = reinterpret_cast<OpenSessionFn>(support::ResolveAgentFunction(
        support::AgentLibrary::kClient, "CVMAOpenSession", nullptr));
    uint32_t session = 0;
    if (open_session == nullptr || open_session(nullptr, &session) != 0) return 0;
    return session;
  }
};

// Sends an operator message with `body` to the agent on `root` from a connection of its
// own: the agent's status.
inline uint32_t SendOperator(const Root& root, uint32_t identifier, const std::string& body) {
  cvmad::testing::RawClient client(root.socket_path());
  return cvmad::testing::StatusOf(client.Call(identifier, body));
}

// Switches the trace on and points it at `log` (appending; a file of the root's log folder,
// made here), then has the trace read it.
inline void TraceToFile(const std::string& log) {
  std::filesystem::create_directories(std::filesystem::path(log).parent_path());
  SetDword(module::kTraceKey, "DebugOutput", 1);
  SetString(module::kTraceKey, "DebugLogFile", log + ",a");
  support::TraceReadRegistry(platform::LocalMachine(), module::kTraceKey);
}

// The messages of the trace file at `path` from byte `*seen` on (then moved past them),
// without their line prefix (thread, date and time, tick count) or last line feed, each led
// by its severity digit and ':' when `severity`. A message runs to the next prefix: line
// breaks of its own stay in it.
inline std::vector<std::string> TraceMessages(const std::string& path, size_t* seen,
                                              bool severity = false) {
  static const std::regex prefix(
      "([0-3])\t[0-9A-F]+\t[ 0-9][0-9]/[0-9]{2}/[0-9]{2} [0-9:]{8}\t[0-9A-F]{8}\t");
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(*seen));
  std::vector<std::string> messages;
  std::smatch field;
  for (std::string line; std::getline(in, line);) {
    *seen += line.size() + 1;
    if (std::regex_search(line, field, prefix, std::regex_constants::match_continuous)) {
      messages.push_back((severity ? field[1].str() + ":" : "") + field.suffix().str());
    } else if (!messages.empty()) {
      messages.back() += "\n" + line;
    }
  }
  return messages;
}

// A test with the agent started on a root of its own, a session open and made the module's
// session, the agent interface initialised, and the trace written to log_ in the root's
// log folder.
class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.Start()) << root_.log();
    session_ = root_.OpenSession();
    ASSERT_NE(session_, 0u);
    module::State().session_cell.store(&session_);
    policy::AgentApiInit(nullptr);
    ASSERT_NO_FATAL_FAILURE(TraceToFile(log_));
  }
  void TearDown() override {
    support::TraceShutdown();
    module::ModuleState& state = module::State();
    state.session_cell.store(nullptr);
    state.demo_mode = 0;
    state.last_error.store(0);
  }

  Root root_;
  const std::string log_ = root_.root() + "/logs/trace.log";
  uint32_t session_ = 0;
};

}  // namespace policy_test

#endif  // POLICY_AGENT_TEST_SUPPORT_H_
