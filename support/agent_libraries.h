// Loading of the management agent's two libraries on first use.
//
// Neither library is loaded with the module: the module loads wherever PHP lives and works
// without the agent (Demo Mode) as long as no agent function is called. A library of the
// same file name that the process has loaded already is used as it is, so the process
// holds one copy (the host's session means nothing to a second one). Otherwise a library
// is looked for by full path only: first beside the host executable, then at the path
// stored under its file name in the registry key "Software\Veltmark\Corvane\delay
// loading". The bare name is never handed to the system's own library search. Once loaded,
// a library stays loaded until ReleaseAgentLibraries (the core's last holder letting go at
// module shutdown). The host-process components find the client library the same way.
//
// Thread safety: safe from any thread. Concurrent first calls may each open the library;
// the handle slot is swapped atomically and a thread that finds its own handle already
// stored drops its extra reference, so the library ends up loaded once.
#ifndef SUPPORT_AGENT_LIBRARIES_H_
#define SUPPORT_AGENT_LIBRARIES_H_

#include <cstdint>

namespace support {

enum class AgentLibrary { kPolicy, kClient };

// File names of the libraries: platform::kPolicyLibraryFileName and kClientLibraryFileName.
const char* AgentLibraryFileName(AgentLibrary library);

// Failure codes, the numbers of the delay-load exceptions they stand for.
inline constexpr int32_t kAgentModuleNotFound = static_cast<int32_t>(0xC06D007E);
inline constexpr int32_t kAgentProcedureNotFound = static_cast<int32_t>(0xC06D007F);

// The registry key holding the libraries' full paths.
inline constexpr const char* kDelayLoadingKey = "Software\\Veltmark\\Corvane\\delay loading";

// The address of function `name` of `library`, loading the library when needed. Null when
// the library cannot be found or lacks the function; `*error` (when not null) then holds
// kAgentModuleNotFound or kAgentProcedureNotFound, and an error line is traced.
void* ResolveAgentFunction(AgentLibrary library, const char* name, int32_t* error);

// Gives back this process's reference to both libraries; the next ResolveAgentFunction loads
// them again. Only when no address resolved from them is called any more and none is kept
// (agent::ForgetAgentEntries, the host session's calls).
void ReleaseAgentLibraries();

}  // namespace support

#endif  // SUPPORT_AGENT_LIBRARIES_H_
