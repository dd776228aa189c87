// The local servers' connections over named pipes: the class registration read from the
// hive, the pipe that stands for its Socket value (named_pipe_windows.h), the server's
// account checked before anything is sent, every wait bounded by a deadline.
//
// The registration is the same on both systems: Socket names the server's endpoint as a
// path (absolute, or relative to the machine root), or names a pipe itself (\\.\pipe\...).
//
// Thread safety: see local_server_transport.h.
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/local_server.h"
#include "platform/local_server_transport.h"
#include "platform/machine_root.h"
#include "platform/named_pipe_windows.h"
#include "platform/peer_identity.h"
#include "platform/registry.h"

namespace platform {
namespace {

constexpr std::string_view kClassesKey = "SOFTWARE\\Classes\\CLSID\\{";

HANDLE AsHandle(intptr_t connection) { return reinterpret_cast<HANDLE>(connection); }

bool IsAbsolute(const std::string& path) {
  return (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') &&
          (path[1] == '\\' || path[1] == '/')) ||
         (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/'));
}

// The pipe of the class from its registration, or a failure result.
uint32_t ReadPipeName(const std::string& clsid, std::wstring* pipe) {
  Hive& hive = LocalMachine();
  RegistryKey key;
  std::string key_path = std::string(kClassesKey) + clsid + "}\\LocalServer32";
  uint32_t result = hive.OpenKey(key_path, kKeyQueryValue, &key);
  if (result == kErrorFileNotFound) return kRegdbEClassNotReg;
  if (result != kErrorSuccess) return kRegdbEReadRegdb;
  RegistryValue value;
  result = hive.QueryValue(key, "Socket", &value);
  if (result == kErrorFileNotFound) return kRegdbEInvalidValue;
  if (result != kErrorSuccess) return kRegdbEReadRegdb;
  std::string text = std::move(value.data);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  if (value.type != kRegSz || text.empty() || text.find('\0') != std::string::npos)
    return kRegdbEInvalidValue;
  *pipe = PipeNameForPath(IsAbsolute(text) ? text : MachineFile(text));
  // A name too long for a pipe: no server can serve it.
  return pipe->empty() ? kCoEServerExecFailure : kSOk;
}

}  // namespace

namespace local_server {

intptr_t Connect(const std::string& class_id, uint32_t* result) {
  std::wstring name;
  *result = ReadPipeName(class_id, &name);
  if (*result != kSOk) return -1;
  unsigned long error = 0;
  HANDLE pipe = OpenPipe(name, kConnectTimeout, &error);
  if (pipe == nullptr) {
    *result = error == ERROR_ACCESS_DENIED ? kEAccessDenied : kCoEServerExecFailure;
    return -1;
  }
  // A handle's value fits an int on every Windows (handles are 32-bit values even in
  // 64-bit processes), which is how the peer check takes a connection.
  const intptr_t connection = reinterpret_cast<intptr_t>(pipe);
  if (!ServedByTrustedAccount(static_cast<int>(connection))) {
    CloseHandle(pipe);
    *result = kCoEWrongServerIdentity;
    return -1;
  }
  *result = kSOk;
  return connection;
}

bool SendAll(intptr_t connection, const char* data, size_t size, Clock::time_point deadline) {
  return PipeWriteAll(AsHandle(connection), data, size, deadline);
}

size_t ReceiveSome(intptr_t connection, char* data, size_t size, Clock::time_point deadline) {
  return PipeReadSome(AsHandle(connection), data, size, deadline);
}

void Close(intptr_t connection) { CloseHandle(AsHandle(connection)); }

}  // namespace local_server
}  // namespace platform
