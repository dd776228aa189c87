// Test support for suites that run Linux programs (slapd, the hostile LDAP responder) from
// a Windows test under Wine: Wine starts a Unix program for a Unix path, but gives no handle
// to wait on and no pipe to read, so a command's output and exit status come back in files.
//
// Thread safety: one command at a time per work folder.
#ifndef MAILSTORE_TEST_WINE_H_
#define MAILSTORE_TEST_WINE_H_

#ifdef _WIN32
#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>

namespace mailstore::testing {

// The Unix path of the Windows path `path`, under Wine; empty elsewhere.
inline std::string UnixPathOf(const std::string& path) {
  using ToUnix = char*(__cdecl*)(const wchar_t*);
  const auto to_unix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                             "wine_get_unix_file_name")));
  if (to_unix == nullptr) return std::string();
  std::wstring wide(path.begin(), path.end());  // the test's paths are ASCII
  char* unix_path = to_unix(wide.c_str());
  if (unix_path == nullptr) return std::string();
  std::string text = unix_path;
  HeapFree(GetProcessHeap(), 0, unix_path);
  return text;
}

// Runs the shell command `command` through Wine's Unix shell, with the files of the run in
// `work` (a Windows path): its exit status (-1 when it did not end within `seconds`), and
// what it wrote to standard output and error in `out`.
inline int RunUnixCommand(const std::string& work, const std::string& command, std::string* out,
                          int seconds = 60) {
  const std::string unix_work = UnixPathOf(work);
  if (unix_work.empty()) return -1;
  const std::string status = work + "\\run.status";
  DeleteFileA(status.c_str());
  std::ofstream(work + "\\run.sh", std::ios::binary)  // no CR for the shell
      << "{ " << command << "\n} >'" << unix_work << "/run.out' 2>&1 </dev/null\n"
      << "echo $? >'" << unix_work << "/run.status.tmp'\n"
      << "mv '" << unix_work << "/run.status.tmp' '" << unix_work << "/run.status'\n";
  // Started through Wine's start.exe, never by this process itself: Wine 8's CreateProcessW,
  // when the program is a Unix one, resumes and closes a handle number left on its stack
  // (seen closing this thread's Winsock event, so that every later connect failed with
  // WSAENOTSOCK). In start.exe that stray close does no harm.
  std::wstring line = L"C:\\windows\\system32\\start.exe /unix /bin/sh \"";
  for (char c : unix_work + "/run.sh") line.push_back(static_cast<wchar_t>(c));
  line += L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return -1;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  int code = -1;
  for (int waited = 0; waited < seconds * 200; ++waited) {
    std::ifstream in(status);
    if (in >> code) break;
    Sleep(5);
  }
  if (out != nullptr) {
    std::ifstream in(work + "\\run.out");
    out->assign(std::istreambuf_iterator<char>(in), {});
  }
  return code;
}

}  // namespace mailstore::testing

#endif  // _WIN32
#endif  // MAILSTORE_TEST_WINE_H_
