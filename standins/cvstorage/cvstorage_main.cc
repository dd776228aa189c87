// cvstorage: the mailbox and public folder storage server. Runs in the foreground, serving
// both storage classes on the machine root's cvstorage.sock until SIGTERM or SIGINT.
//
//   cvstorage [--root DIR] [--ready-after SECONDS] [--admit-group NAME[,NAME...]]...
//
// --root DIR             the machine root (else $CORVANE_ROOT, else the default)
// --ready-after SECONDS  IsReady answers "not ready" for this long after start
// --admit-group          also serve peers in this group (name or number); the first one
//                        becomes the socket's group and the socket mode 0660 (else 0600)
//
// It registers nothing: the classes are registered by importing registration.reg.
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
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/machine_root.h"
#include "standins/cvstorage/storage_server.h"
#include "standins/cvstorage/storage_sources.h"
#include "standins/wire/unique_fd.h"

namespace cvstorage {
namespace {

using wire::UniqueFd;

constexpr const char* kUsage =
    "usage: cvstorage [--root DIR] [--ready-after SECONDS] [--admit-group NAME[,NAME...]]...\n";
constexpr double kMaxReadyAfterSeconds = 86400;

bool ResolveGroup(const std::string& name, std::vector<gid_t>* groups) {
  if (!name.empty() && name.size() < 10 &&
      name.find_first_not_of("0123456789") == std::string::npos) {
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

bool ParseSeconds(const std::string& text, double* seconds) {
  char* end = nullptr;
  errno = 0;
  *seconds = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && errno == 0 && std::isfinite(*seconds) && *seconds >= 0 &&
         *seconds <= kMaxReadyAfterSeconds;
}

int Run(int argc, char** argv) {
  const auto started = std::chrono::steady_clock::now();
  std::vector<gid_t> admitted;
  double ready_after = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc ||
        (option != "--root" && option != "--admit-group" && option != "--ready-after")) {
      std::fputs(kUsage, stderr);
      return option == "--help" ? 0 : 2;
    }
    const std::string value = argv[++i];
    if (option == "--root") {
      setenv("CORVANE_ROOT", value.c_str(), 1);
    } else if (option == "--ready-after") {
      if (!ParseSeconds(value, &ready_after)) {
        std::fprintf(stderr, "cvstorage: --ready-after takes 0 to %.0f seconds\n",
                     kMaxReadyAfterSeconds);
        return 2;
      }
    } else {
      for (size_t start = 0; start <= value.size();) {
        size_t end = std::min(value.find(',', start), value.size());
        std::string name = value.substr(start, end - start);
        if (!ResolveGroup(name, &admitted)) {
          std::fprintf(stderr, "cvstorage: unknown group '%s'\n", name.c_str());
          return 2;
        }
        start = end + 1;
      }
    }
  }

  umask(0077);  // the socket's mode is set where it is made
  std::error_code ignored;
  std::filesystem::create_directories(platform::MachineRoot(), ignored);
  // One server per machine root: the lock is held until the process ends.
  const std::string lock_path = platform::MachineFile("cvstorage.lock");
  UniqueFd lock(open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!lock.valid() || flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    Log("%s: %s", lock_path.c_str(),
        errno == EWOULDBLOCK ? "another storage server runs on this root" : "cannot lock");
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

  const auto ready_at = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(ready_after));
  StorageServer server(admitted, ready_at);
  server.Refresh(false);  // a source that cannot be read is noted and answers its failure
  const std::string socket_path = platform::MachineFile("cvstorage.sock");
  std::string error;
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
}  // namespace cvstorage

int main(int argc, char** argv) {
  try {
    return cvstorage::Run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "cvstorage: %s\n", error.what());
    return 1;
  }
}
