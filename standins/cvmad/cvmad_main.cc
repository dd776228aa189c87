// cvmad: the management agent. Runs in the foreground, serving the policy store on the
// machine root's run/cvmad.sock until SIGTERM or SIGINT, and recording every change in
// logs/agent-audit.jsonl (audit_log.h).
//
//   cvmad [--root DIR] [--admit-group NAME[,NAME...]]...
//
// --root DIR        the machine root (else $CORVANE_ROOT, else the default)
// --admit-group     also serve peers in this group (name or number); the first one becomes
//                   the group of the socket and its folder, the socket mode 0660 (else 0600)
//
// Exits 0 after a clean stop, 1 when it cannot start, 2 on a bad command line.
//
// Thread safety: the main thread parses, sets up and runs the accept loop (service.h).
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/machine_root.h"
#include "standins/cvmad/agent_server.h"
#include "standins/cvmad/audit_log.h"
#include "standins/cvmad/policy_store.h"
#include "standins/service/service.h"

namespace cvmad {
namespace {

constexpr const char* kUsage = "usage: cvmad [--root DIR] [--admit-group NAME[,NAME...]]...\n";

int Run(int argc, char** argv) {
  service::Startup startup;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if ((option != "--root" && option != "--admit-group") || i + 1 >= argc) {
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
    } else if (!service::AddGroups(value, &startup.admitted_groups)) {
      return 2;
    }
  }
  if (!service::Start("cvmad", &startup)) return 1;

  std::string error;
  // Nothing is changed without its record: no audit file, no agent. (The seed makes the
  // log folder; a root of a test or a first start may not have it yet.)
#ifdef _WIN32
  std::error_code ignored;
  std::filesystem::create_directory(platform::MachineFile("logs"), ignored);
#else
  mkdir(platform::MachineFile("logs").c_str(), 0750);
#endif
  std::unique_ptr<AuditLog> audit = AuditLog::Open(platform::MachineFile(kAgentAuditFile), &error);
  if (audit == nullptr) {
    service::Log("%s", error.c_str());
    return 1;
  }
  std::unique_ptr<PolicyStore> store =
      PolicyStore::Open(platform::MachineFile("policy.db"), audit.get(), &error);
  if (store == nullptr) {
    service::Log("%s", error.c_str());
    return 1;
  }
  service::Server* frame = nullptr;
  service::Server server(startup.admitted_groups, [&store, &frame] {
    return std::make_unique<AgentSession>(store.get(), frame);
  });
  frame = &server;
  return service::Serve(&server, platform::MachineFile(wire::kAgentSocket), startup);
}

}  // namespace
}  // namespace cvmad

int main(int argc, char** argv) { return service::Main("cvmad", &cvmad::Run, argc, argv); }
