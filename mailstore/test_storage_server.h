// Test support for the mail store: the storage server's fixture (a machine root in a
// temporary folder, which this process's hive follows, and the built storage server run on
// it) with the module's trace written to a file there.
//
// Thread safety: one TestStorageServer per test, used from the test's own thread.
#ifndef MAILSTORE_TEST_STORAGE_SERVER_H_
#define MAILSTORE_TEST_STORAGE_SERVER_H_

#include <functional>

#include "platform/registry.h"
#include "standins/testing/test_storage_server.h"
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

// The storage server's fixture, with the module's trace switched on into its log folder on
// request.
class TestStorageServer : public cvstorage::testing::TestStorageServer {
 public:
  ~TestStorageServer() { support::TraceShutdown(); }

  std::string trace_log() const { return cvmad::testing::FileText(root() + "/logs/trace.log"); }

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
};

}  // namespace mailstore::testing

#endif  // MAILSTORE_TEST_STORAGE_SERVER_H_
