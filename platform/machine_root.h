// The emulated machine: the one folder under which every component finds its files
// (registry hive, agent socket and policy, storage fixtures, logs).
//
// Thread safety: reads the environment only; safe from any thread.
#ifndef PLATFORM_MACHINE_ROOT_H_
#define PLATFORM_MACHINE_ROOT_H_

#include <string>

namespace platform {

#ifdef _WIN32
inline constexpr const char* kDefaultMachineRoot = "C:\\ProgramData\\Corvane";
#else
inline constexpr const char* kDefaultMachineRoot = "/var/lib/corvane";
#endif

// $CORVANE_ROOT when set and not empty, else kDefaultMachineRoot. No trailing separator.
std::string MachineRoot();

// MachineRoot(), the path separator (path.h) and `relative`, whose folders may be separated
// by '/' on every system.
std::string MachineFile(const std::string& relative);

}  // namespace platform

#endif  // PLATFORM_MACHINE_ROOT_H_
