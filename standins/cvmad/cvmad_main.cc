// cvmad: the management agent. Runs in the foreground, serving the policy store on the
// machine root's socket until SIGTERM or SIGINT.
//
//   cvmad [--root DIR] [--admit-group NAME[,NAME...]]...
//
// --root DIR        the machine root (else $CORVANE_ROOT, else the default)
// --admit-group     also serve peers in this group (name or number); the first one becomes
//                   the socket's group and the socket mode 0660 (else 0600)
//
// Exits 0 after a clean stop, 1 when it cannot start, 2 on a bad command line.
//
// Thread safety: the main thread parses, sets up and runs the accept loop; SIGTERM and
// SIGINT are blocked in every thread and read from a signalfd by that loop.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/machine_root.h"
#include "standins/cvmad/agent_server.h"
#include "standins/cvmad/policy_store.h"
#include "standins/wire/unique_fd.h"

namespace cvmad {
namespace {

constexpr const char* kUsage = "usage: cvmad [--root DIR] [--admit-group NAME[,NAME...]]...\n";

bool ResolveGroup(const std::string& name, std::vector<gid_t>* groups) {
  if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
    groups->push_back(static_cast<gid_t>(std::stoul(name)));
    return true;
  }
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(16384);
  if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr)
    return false;
  groups->push_back(found->gr_gid);
  return true;
}

int Run(int argc, char** argv) {
  std::vector<gid_t> admitted;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if ((option == "--root" || option == "--admit-group") && i + 1 < argc) {
      std::string value = argv[++i];
      if (option == "--root") {
        setenv("CORVANE_ROOT", value.c_str(), 1);
        continue;
      }
      for (size_t start = 0; start <= value.size();) {
        size_t end = std::min(value.find(',', start), value.size());
        std::string name = value.substr(start, end - start);
        if (!ResolveGroup(name, &admitted)) {
          std::fprintf(stderr, "cvmad: unknown group '%s'\n", name.c_str());
          return 2;
        }
        start = end + 1;
      }
    } else {
      std::fputs(kUsage, stderr);
      return option == "--help" ? 0 : 2;
    }
  }

  umask(0077);  // the policy is the agent's alone; the socket's mode is set where it is made
  std::error_code ignored;
  std::filesystem::create_directories(platform::MachineRoot(), ignored);
  // One agent per machine root: the lock is held until the process ends.
  const std::string lock_path = platform::MachineFile("cvmad.lock");
  UniqueFd lock(open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock.valid() || flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    Log("%s: %s", lock_path.c_str(),
        errno == EWOULDBLOCK ? "another agent runs on this root" : "cannot lock");
    return 1;
  }

  // Blocked before any thread starts, so every thread inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  signal(SIGPIPE, SIG_IGN);
  UniqueFd stop;
  if (sigprocmask(SIG_BLOCK, &stop_signals, nullptr) == 0)
    stop.Reset(signalfd(-1, &stop_signals, SFD_CLOEXEC));
  if (!stop.valid()) {
    Log("cannot watch for signals");
    return 1;
  }

  std::string error;
  std::unique_ptr<PolicyStore> store = PolicyStore::Open(platform::MachineFile("policy.db"), &error);
  if (store == nullptr) {
    Log("%s", error.c_str());
    return 1;
  }
  AgentServer server(store.get(), admitted);
  const std::string socket_path = platform::MachineFile("cvmad.sock");
  if (!server.Listen(socket_path, &error)) {
    Log("%s", error.c_str());
    return 1;
  }
  Log("serving %s", socket_path.c_str());
  server.Run(stop.get());
  Log("stopped");
  return 0;
}

}  // namespace
}  // namespace cvmad

int main(int argc, char** argv) {
  try {
    return cvmad::Run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "cvmad: %s\n", error.what());
    return 1;
  }
}
