// Test helper: resolves one entry of an agent library the way the module does and prints
// the file it came from, or the failure code. Copied into folders of the tests' choosing,
// so that "beside the executable" means what each test needs.
//
//   agent_libraries_probe policy|client NAME [THREADS [PRELOAD]]
//
// PRELOAD is a library the probe loads itself before it resolves, as the host extension
// loads the client library before the module asks for it.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/library.h"
#include "support/agent_libraries.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const auto library = std::strcmp(argv[1], "policy") == 0 ? support::AgentLibrary::kPolicy
                                                             : support::AgentLibrary::kClient;
  const int threads = argc > 3 ? std::atoi(argv[3]) : 1;
  if (argc > 4 && platform::LoadLibrary(argv[4]) == nullptr) {
    std::printf("cannot preload %s\n", argv[4]);
    return 1;
  }
  std::vector<void*> found(threads);
  std::vector<int32_t> errors(threads);
  std::vector<std::thread> workers;
  // The threads resolve once all of them are running, so that their first uses meet.
  std::atomic<int> starting{threads};
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([&, i] {
      starting.fetch_sub(1);
      while (starting.load() > 0) std::this_thread::yield();
      found[i] = support::ResolveAgentFunction(library, argv[2], &errors[i]);
    });
  }
  for (auto& worker : workers) worker.join();
  for (int i = 1; i < threads; ++i) {
    if (found[i] != found[0]) {
      std::printf("threads disagree\n");
      return 1;
    }
  }
  if (found[0] == nullptr) {
    std::printf("error %08X\n", static_cast<uint32_t>(errors[0]));
    return 0;
  }
  platform::ModuleHandle module = nullptr;
  char path[4096] = "";
  platform::GetModuleHandleEx(
      platform::kGetModuleHandleExFlagFromAddress | platform::kGetModuleHandleExFlagUnchangedRefcount,
      found[0], &module);
  platform::GetModuleFileName(module, path, sizeof path);
  std::printf("loaded %s\n", path);
  return 0;
}
