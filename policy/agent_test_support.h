// Test support for the policy layers: the temporary machine root of the agent's test
// support made this process's CORVANE_ROOT, its registry pointing the delay-loading key at
// the built libraries, and a session opened the way the host does.
#ifndef POLICY_AGENT_TEST_SUPPORT_H_
#define POLICY_AGENT_TEST_SUPPORT_H_

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "standins/testing/test_agent.h"
#include "support/agent_libraries.h"

namespace policy_test {

using cvmad::testing::FakeAgent;
using cvmad::testing::U32s;

inline std::filesystem::path LibDir() { return cvmad::testing::BinDir().parent_path() / "lib"; }

// A machine root for one test process (each test runs in a process of its own), with the
// agent started on it on request.
class Root : public cvmad::testing::TestAgent {
 public:
  explicit Root(bool register_libraries = true) {
    setenv("CORVANE_ROOT", root().c_str(), 1);
    if (!register_libraries) return;
    platform::RegistryKey key;
    platform::Hive& hive = platform::LocalMachine();
    hive.CreateKey(support::kDelayLoadingKey, platform::kKeyAllAccess, &key);
    for (const char* name : {"libcvma32.so", "libcvpmapi.so"}) {
      const std::string library = (LibDir() / name).string();
      hive.SetValue(key, name, platform::kRegSz, library.c_str(),
                    static_cast<uint32_t>(library.size() + 1));
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

}  // namespace policy_test

#endif  // POLICY_AGENT_TEST_SUPPORT_H_
