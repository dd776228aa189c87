// Named pipes, the Windows stand-in for the local Unix sockets of the servers: the pipe that
// stands for a socket path, and reads and writes bounded by a deadline on a pipe opened for
// overlapped I/O. Shared by the local server objects, the agent's client library and the
// servers' frame on Windows.
//
// Pipes share one namespace on the whole machine, and anyone may create an instance of a
// pipe name that is free (Wine does not even keep FILE_FLAG_FIRST_PIPE_INSTANCE). So a name
// proves nothing: a client trusts the server only by the account of the process at the
// other end (ServedByTrustedAccount), and a server admits a client by its account.
//
// Thread safety: no state; a handle is used by one thread at a time.
#ifndef PLATFORM_NAMED_PIPE_WINDOWS_H_
#define PLATFORM_NAMED_PIPE_WINDOWS_H_

#include <chrono>
#include <cstddef>
#include <string>

namespace platform {

// The longest pipe name Windows takes, in characters.
inline constexpr size_t kMaxPipeName = 256;

// The pipe for the socket path `path` (absolute, as MachineFile gives it):
// \\.\pipe\corvane\ and the path lower-cased, with its separators and the drive's colon
// as '!'. A `path` that is itself a pipe name (\\.\pipe\...) is taken as it is. Empty when
// the name would be longer than kMaxPipeName.
std::wstring PipeNameForPath(const std::string& path);

// Opens the pipe `name` as a client for overlapped I/O, waiting up to `timeout` for a free
// instance. The handle, or null with the Win32 error in `*error`.
void* OpenPipe(const std::wstring& name, std::chrono::milliseconds timeout, unsigned long* error);

// Writes all `size` bytes before `deadline`; false when the pipe broke or it is late.
bool PipeWriteAll(void* pipe, const char* data, size_t size,
                  std::chrono::steady_clock::time_point deadline);
// Reads what has come, up to `size` bytes, waiting for the first until `deadline`: the
// count, or 0 when the pipe ended, failed or stayed silent.
size_t PipeReadSome(void* pipe, char* data, size_t size,
                    std::chrono::steady_clock::time_point deadline);

// The process at the other end of `pipe` (the server's when `server` is true, as a client
// asks, else the client's): its id, or 0 when it cannot be told.
unsigned long PipePeerProcess(void* pipe, bool server);
// The account (SID, as text) that process `pid` runs as; empty when it cannot be read.
std::string ProcessAccount(unsigned long pid);
// This process's account.
std::string OwnAccount();

}  // namespace platform

#endif  // PLATFORM_NAMED_PIPE_WINDOWS_H_
