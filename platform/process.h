// Facts about the running process: its executable, its ids and the system tick count.
//
// Thread safety: every function is safe from any thread.
#ifndef PLATFORM_PROCESS_H_
#define PLATFORM_PROCESS_H_

#include <cstdint>
#include <string>

namespace platform {

// Separator of directories in file paths (a backslash on Windows).
inline constexpr char kPathSeparator = '/';

// GetModuleFileName for the process itself: copies the full path of the host executable
// (/proc/self/exe) into `buffer`. When it fits, the path is terminated and its length
// (without terminator) returned. When it does not fit, the first `size` - 1 characters
// and a terminator are stored and `size` is returned. 0 when the path cannot be read or
// `size` is 0.
uint32_t GetModuleFileName(char* buffer, uint32_t size);

// Process id (getpid) and kernel thread id (gettid).
uint32_t GetCurrentProcessId();
uint32_t GetCurrentThreadId();

// Milliseconds since system start, wrapping at 2^32.
uint32_t GetTickCount();

// GetComputerName: the host name up to its first '.', in UTF-16, when it fits in `*size`
// characters with its terminator; *size becomes its length. False (and *size the length
// needed, when known) otherwise.
bool GetComputerName(char16_t* buffer, uint32_t* size);

// The account this process runs as: its name, and the domain that holds it (for a local
// account, this computer's name). 0, or a Windows error number (1332: the account has no
// name).
uint32_t LookupProcessAccount(std::u16string* domain, std::u16string* account);

}  // namespace platform

#endif  // PLATFORM_PROCESS_H_
