// Test support for the mail store: the storage server's fixture (a machine root in a
// temporary folder, which this process's hive follows, and the built storage server run on
// it) with the module's trace written to a file there.
//
// Thread safety: one TestStorageServer per test, used from the test's own thread.
#ifndef MAILSTORE_TEST_STORAGE_SERVER_H_
#define MAILSTORE_TEST_STORAGE_SERVER_H_

#include <functional>

#include "policy/agent_test_support.h"
#include "standins/testing/test_storage_server.h"

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

// The storage server's fixture, with the module's trace switched on into its log folder on
// request.
class TestStorageServer : public cvstorage::testing::TestStorageServer {
 public:
  ~TestStorageServer() { support::TraceShutdown(); }

  std::string trace_log() const { return cvmad::testing::FileText(root() + "/logs/trace.log"); }

  // Switches the trace on, into trace_log(), as the module does from the hive.
  void Trace() const {
    support::TraceShutdown();
    policy_test::TraceToFile(root() + "/logs/trace.log");
  }
};

}  // namespace mailstore::testing

#endif  // MAILSTORE_TEST_STORAGE_SERVER_H_
