// Named pipes with every wait bounded: overlapped I/O against a deadline, cancelled when it
// passes.
//
// Thread safety: see named_pipe_windows.h.
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "platform/named_pipe_windows.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::wstring_view kPipePrefix = L"\\\\.\\pipe\\";
constexpr std::wstring_view kOurPipes = L"\\\\.\\pipe\\corvane\\";

DWORD MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<DWORD>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

struct HandleCloser {
  void operator()(void* handle) const {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};
using ScopedHandle = std::unique_ptr<void, HandleCloser>;

// Finishes the overlapped operation `overlapped` on `pipe` by `deadline`: true with the
// bytes moved in `done`, false when it failed or was late (it is cancelled then).
bool Finish(HANDLE pipe, OVERLAPPED* overlapped, BOOL started, DWORD* done,
            Clock::time_point deadline) {
  if (!started && ::GetLastError() != ERROR_IO_PENDING) return false;
  if (WaitForSingleObject(overlapped->hEvent, MillisecondsUntil(deadline)) != WAIT_OBJECT_0) {
    CancelIoEx(pipe, overlapped);
    GetOverlappedResult(pipe, overlapped, done, TRUE);  // the buffer is ours again after it
    return false;
  }
  return GetOverlappedResult(pipe, overlapped, done, FALSE) != 0;
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0);
  std::wstring wide(static_cast<size_t>(std::max(units, 0)), L'\0');
  if (units > 0)
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        units);
  return wide;
}

std::string TokenAccount(HANDLE token) {
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return {};
  auto buffer = std::make_unique<unsigned char[]>(size);
  wchar_t* text = nullptr;
  if (!GetTokenInformation(token, TokenUser, buffer.get(), size, &size) ||
      !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid, &text))
    return {};
  std::string account;
  for (const wchar_t* c = text; *c != L'\0'; ++c) account += static_cast<char>(*c);  // ASCII
  LocalFree(text);
  return account;
}

}  // namespace

std::wstring PipeNameForPath(const std::string& path) {
  std::wstring wide = Widen(path);
  if (wide.size() > kPipePrefix.size() &&
      std::equal(kPipePrefix.begin(), kPipePrefix.end(), wide.begin()))
    return wide.size() <= kMaxPipeName ? wide : std::wstring();
  // Paths compare without regard to case on Windows, and so must the pipes that stand for
  // them.
  for (wchar_t& c : wide) {
    if (c == L'\\' || c == L'/' || c == L':') c = L'!';
    else if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  std::wstring name(kOurPipes);
  name += wide;
  return name.size() <= kMaxPipeName ? name : std::wstring();
}

void* OpenPipe(const std::wstring& name, std::chrono::milliseconds timeout,
               unsigned long* error) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    // Identification only: a server that is not who it should be learns who we are, but
    // cannot act as us.
    HANDLE pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                              nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    *error = ::GetLastError();
    if (*error != ERROR_PIPE_BUSY) return nullptr;
    // Every instance is taken: wait for the server to offer another, and look again.
    const DWORD left = MillisecondsUntil(deadline);
    if (left == 0) return nullptr;
    WaitNamedPipeW(name.c_str(), std::min<DWORD>(left, 50));
  }
}

bool PipeWriteAll(void* pipe, const char* data, size_t size, Clock::time_point deadline) {
  ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (event == nullptr) return false;
  while (size > 0) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    DWORD written = 0;
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 20));
    const BOOL started = WriteFile(pipe, data, piece, &written, &overlapped);
    if (!Finish(pipe, &overlapped, started, &written, deadline) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

size_t PipeReadSome(void* pipe, char* data, size_t size, Clock::time_point deadline) {
  ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (event == nullptr || size == 0) return 0;
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  DWORD got = 0;
  const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 20));
  const BOOL started = ReadFile(pipe, data, piece, &got, &overlapped);
  if (!Finish(pipe, &overlapped, started, &got, deadline)) return 0;
  return got;
}

unsigned long PipePeerProcess(void* pipe, bool server) {
  ULONG pid = 0;
  const BOOL known = server ? GetNamedPipeServerProcessId(pipe, &pid)
                            : GetNamedPipeClientProcessId(pipe, &pid);
  return known ? pid : 0;
}

std::string ProcessAccount(unsigned long pid) {
  if (pid == 0) return {};
  ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  HANDLE token = nullptr;
  if (process == nullptr || !OpenProcessToken(process.get(), TOKEN_QUERY, &token)) return {};
  ScopedHandle owned(token);
  return TokenAccount(token);
}

std::string OwnAccount() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  ScopedHandle owned(token);
  return TokenAccount(token);
}

}  // namespace platform
