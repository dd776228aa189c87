// cvstorage: the mailbox and public folder storage server. Runs in the foreground, serving
// both storage classes on the machine root's run/cvstorage.sock until SIGTERM or SIGINT.
//
//   cvstorage [--root DIR] [--ready-after SECONDS] [--admit-group NAME[,NAME...]]...
//
// --root DIR             the machine root (else $CORVANE_ROOT, else the default)
// --ready-after SECONDS  IsReady answers "not ready" for this long after start
// --admit-group          also serve peers in this group (name or number); the first one
//                        becomes the group of the socket and its folder, the socket mode
//                        0660 (else 0600)
//
// It registers nothing: the classes are registered by importing registration.reg.
// Exits 0 after a clean stop, 1 when it cannot start, 2 on a bad command line.
//
// Thread safety: the main thread parses, sets up and runs the accept loop (service.h).
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "platform/machine_root.h"
#include "standins/cvstorage/storage_server.h"
#include "standins/service/service.h"

namespace cvstorage {
namespace {

constexpr const char* kUsage =
    "usage: cvstorage [--root DIR] [--ready-after SECONDS] [--admit-group NAME[,NAME...]]...\n";
constexpr double kMaxReadyAfterSeconds = 86400;

bool ParseSeconds(const std::string& text, double* seconds) {
  char* end = nullptr;
  errno = 0;
  *seconds = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && errno == 0 && std::isfinite(*seconds) && *seconds >= 0 &&
         *seconds <= kMaxReadyAfterSeconds;
}

int Run(int argc, char** argv) {
  const auto started = std::chrono::steady_clock::now();
  service::Startup startup;
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
#ifdef _WIN32
      _putenv_s("CORVANE_ROOT", value.c_str());
#else
      setenv("CORVANE_ROOT", value.c_str(), 1);
#endif
    } else if (option == "--ready-after") {
      if (!ParseSeconds(value, &ready_after)) {
        std::fprintf(stderr, "cvstorage: --ready-after takes 0 to %.0f seconds\n",
                     kMaxReadyAfterSeconds);
        return 2;
      }
    } else if (!service::AddGroups(value, &startup.admitted_groups)) {
      return 2;
    }
  }
  if (!service::Start("cvstorage", &startup)) return 1;

  const auto ready_at = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(ready_after));
  StorageServer* lists = nullptr;
  service::Server server(startup.admitted_groups, [&lists] { return lists->NewSession(); });
  StorageServer storage(&server.budget(), ready_at);
  lists = &storage;
  storage.Refresh(false);  // a source that cannot be read is noted and answers its failure
  return service::Serve(&server, platform::MachineFile(kStorageSocket), startup);
}

}  // namespace
}  // namespace cvstorage

int main(int argc, char** argv) {
  return service::Main("cvstorage", &cvstorage::Run, argc, argv);
}
