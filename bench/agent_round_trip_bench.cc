// Benchmark of policy reads against a real agent on loopback: the round trip of the
// smallest message (the floor), one VmpGetPolicyInt, and 500 of them, each printed with
// its ratio to the floor measured in the same run.
//
//   build/bin/agent_round_trip_bench [ROUNDS]
//
// It makes a machine root in a temporary folder, points the delay-loading key at the
// libraries in build/lib, starts build/bin/cvmad there and stops it at the end.
#include <dlfcn.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "policy/agent_api.h"
#include "policy/agent_messages.h"
#include "policy/policy_access.h"
#include "support/agent_libraries.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kOid = "1.3.6.1.4.1.8642.18.1.1.1";
constexpr uint32_t kUnknownMessage = 0x24030000;  // answered with a 4-byte status only

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

bool WaitForSocket(const std::string& path) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (up) return true;
    usleep(5000);
  }
  return false;
}

template <typename F>
double MicrosPerCall(F&& call, int calls) {
  const auto start = Clock::now();
  for (int i = 0; i < calls; ++i) call();
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / calls;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 15;
  const fs::path bin = fs::canonical("/proc/self/exe").parent_path();
  const fs::path lib = bin.parent_path() / "lib";
  char pattern[] = "/tmp/cvbench-XXXXXX";
  const fs::path root = mkdtemp(pattern);
  setenv("CORVANE_ROOT", root.c_str(), 1);

  {
    platform::RegistryKey key;
    platform::Hive& hive = platform::LocalMachine();
    hive.CreateKey(support::kDelayLoadingKey, platform::kKeyAllAccess, &key);
    for (const char* name : {"libcvma32.so", "libcvpmapi.so"}) {
      const std::string path = (lib / name).string();
      hive.SetValue(key, name, platform::kRegSz, path.c_str(), static_cast<uint32_t>(path.size() + 1));
    }
  }
  const pid_t agent = fork();
  if (agent == 0) {
    execl((bin / "cvmad").c_str(), "cvmad", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 1;
  uint32_t session = 0;
  if (WaitForSocket((root / "run" / "cvmad.sock").string())) {
    using OpenSession = int32_t (*)(const char*, uint32_t*);
    auto open_session = reinterpret_cast<OpenSession>(support::ResolveAgentFunction(
        support::AgentLibrary::kClient, "CVMAOpenSession", nullptr));
    if (open_session != nullptr && open_session(nullptr, &session) == 0) status = 0;
  }
  policy::AgentApiInit(nullptr);
  if (status == 0 && policy::VmpSetPolicyInt(session, kOid, 42) != 0) status = 1;
  if (status != 0) {
    std::fprintf(stderr, "agent_round_trip_bench: the agent could not be reached\n");
  } else {
    const uint32_t destination = policy::GetPolicyManagerAddress();
    auto floor_call = [&] {
      const uint32_t message = agent::CVMACreateMessage(kUnknownMessage);
      agent::CVMASendMessage(session, destination, message, policy::kAgentTimeout);
      agent::CVMADeleteMessage(message);
    };
    int32_t value = 0;
    auto get_call = [&] { policy::VmpGetPolicyInt(session, kOid, &value, -1); };
    // Warm up both paths (library loading, the agent's threads, caches).
    MicrosPerCall(floor_call, 200);
    MicrosPerCall(get_call, 200);

    std::vector<double> floor_samples, one_samples, batch_samples;
    for (int round = 0; round < rounds; ++round) {
      floor_samples.push_back(MicrosPerCall(floor_call, 500));
      std::vector<double> singles;
      for (int i = 0; i < 200; ++i) singles.push_back(MicrosPerCall(get_call, 1));
      one_samples.push_back(Median(singles));
      batch_samples.push_back(MicrosPerCall(get_call, 500) * 500);
    }
    const double floor = Median(floor_samples);
    const double one = Median(one_samples);
    const double batch = Median(batch_samples);
    std::printf("value read: %d (medians of %d rounds)\n", value, rounds);
    std::printf("%-38s %10.2f us   1.00 x floor\n", "floor: smallest message round trip", floor);
    std::printf("%-38s %10.2f us %6.2f x floor\n", "one VmpGetPolicyInt", one, one / floor);
    std::printf("%-38s %10.2f us %6.2f x (500 x floor)\n", "500 VmpGetPolicyInt", batch,
                batch / (500 * floor));
  }
  kill(agent, SIGTERM);
  waitpid(agent, nullptr, 0);
  platform::ReleaseLocalMachine();
  fs::remove_all(root);
  return status;
}
