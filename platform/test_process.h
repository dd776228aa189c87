// Test support for suites that run a built program and read what it prints: the program is
// started by its full path with its arguments as they are (no shell parses them), with
// variables of the test's choosing over this process's environment, and ended when it
// outlives its time bound.
//
// Thread safety: any thread may run programs. On Windows the pipe's write end is inherited
// by every process another thread starts meanwhile, which then delays the end of output
// until that process ends too; the suites that use this start one program at a time.
#ifndef PLATFORM_TEST_PROCESS_H_
#define PLATFORM_TEST_PROCESS_H_

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#ifdef _WIN32
#include <cwchar>
#include <thread>

#include "platform/win32_windows.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace platform::testing {

// What a built program's file name ends with.
#ifdef _WIN32
inline constexpr char kProgramSuffix[] = ".exe";
#else
inline constexpr char kProgramSuffix[] = "";
#endif

namespace internal {

// The environment `variables` with each "NAME=value" of `settings` replacing the variable
// of that name, or added. Names compare as the system compares them.
template <typename Text>
std::vector<Text> MergedEnvironment(std::vector<Text> variables,
                                    const std::vector<Text>& settings) {
  for (const Text& setting : settings) {
    // Windows keeps each drive's current folder in variables named "=C:": a leading '='
    // belongs to the name.
    const Text name = setting.substr(0, setting.find('=', 1) + 1);
    std::erase_if(variables, [&](const Text& variable) {
#ifdef _WIN32
      return variable.size() >= name.size() &&
             _wcsnicmp(variable.c_str(), name.c_str(), name.size()) == 0;
#else
      return variable.compare(0, name.size(), name) == 0;
#endif
    });
    variables.push_back(setting);
  }
  return variables;
}

}  // namespace internal

// Runs the program at `path` with `arguments`, the variables of `environment` ("NAME=value")
// set over this process's own, in the folder `directory` (when not empty), its standard
// error shared with this process. Its exit status (on POSIX, 128 + the signal that ended
// it), 127 when it could not be started, or -1 when it was still running after `timeout`
// (it is killed then); what it wrote to standard output in `*output` when not null.
inline int RunProgram(const std::string& path, const std::vector<std::string>& arguments,
                      const std::vector<std::string>& environment = {},
                      std::string* output = nullptr, const std::string& directory = "",
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  std::string text;
#ifdef _WIN32
  // The command line as the C runtime splits it again: backslashes are plain characters
  // unless a quote follows them.
  std::wstring command = L"\"" + WideText(path) + L"\"";
  for (const std::string& argument : arguments) {
    command += L" \"";
    size_t backslashes = 0;
    for (wchar_t c : WideText(argument)) {
      if (c == L'\\') {
        ++backslashes;
        continue;
      }
      command.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
      command += c;
      backslashes = 0;
    }
    command.append(2 * backslashes, L'\\');
    command += L"\"";
  }
  std::vector<std::wstring> variables, settings;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* variable = block; *variable != L'\0'; variable += wcslen(variable) + 1)
      variables.emplace_back(variable);
    FreeEnvironmentStringsW(block);
  }
  for (const std::string& setting : environment) settings.push_back(WideText(setting));
  std::wstring block;
  for (const std::wstring& variable : internal::MergedEnvironment(variables, settings))
    block += variable + L'\0';
  block += L'\0';

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return 127;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  const std::wstring folder = WideText(directory);
  const bool made = CreateProcessW(WideText(path).c_str(), command.data(), nullptr, nullptr, TRUE,
                                   CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, block.data(),
                                   folder.empty() ? nullptr : folder.c_str(), &startup, &process);
  CloseHandle(write_end);  // the child's copy alone keeps the pipe open
  if (!made) {
    CloseHandle(read_end);
    return 127;
  }
  CloseHandle(process.hThread);
  // A blocking read ends only with the output: it runs beside the wait, which bounds it.
  std::thread reader([&] {
    char chunk[4096];
    for (DWORD got = 0; ReadFile(read_end, chunk, sizeof chunk, &got, nullptr) && got > 0;)
      text.append(chunk, got);
  });
  DWORD status = 0;
  if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 128 + 9);
    status = static_cast<DWORD>(-1);
  } else {
    GetExitCodeProcess(process.hProcess, &status);
  }
  reader.join();
  CloseHandle(read_end);
  CloseHandle(process.hProcess);
#else
  std::vector<std::string> variables;
  for (char** variable = environ; *variable != nullptr; ++variable)
    variables.emplace_back(*variable);
  variables = internal::MergedEnvironment(variables, environment);
  std::vector<char*> argv = {const_cast<char*>(path.c_str())}, envp;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);

  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return 127;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);  // dup2 leaves the copy open
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  pid_t pid = 0;
  const int failed = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_ends[1]);
  if (failed != 0) {
    close(pipe_ends[0]);
    return 127;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const auto left = [&] {
    return std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now()).count());
  };
  int status = 0;
  bool ended = false;
  for (pollfd ready{pipe_ends[0], POLLIN, 0}; poll(&ready, 1, static_cast<int>(left())) > 0;) {
    char chunk[4096];
    const ssize_t got = read(pipe_ends[0], chunk, sizeof chunk);
    if (got <= 0) break;
    text.append(chunk, static_cast<size_t>(got));
  }
  close(pipe_ends[0]);
  while (!(ended = waitpid(pid, &status, WNOHANG) == pid) && left() > 0) usleep(2000);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    status = -1;
  } else {
    status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
#endif
  if (output != nullptr) *output = std::move(text);
  return static_cast<int>(status);
}

}  // namespace platform::testing

#endif  // PLATFORM_TEST_PROCESS_H_
