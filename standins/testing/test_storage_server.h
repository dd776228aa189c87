// Test support for everything that reads the mail store through the storage server: a
// machine root in a temporary folder, which this process's hive follows, with the mail
// sources at their default places (mail/passwd, mail/public) and a log folder, and the
// built storage server run on it between Start and Stop (and with SIGTERM when the fixture
// goes).
//
// Thread safety: one TestStorageServer per test, used from the test's own thread.
#ifndef STANDINS_TESTING_TEST_STORAGE_SERVER_H_
#define STANDINS_TESTING_TEST_STORAGE_SERVER_H_

#include <cstdio>
#include <initializer_list>
#ifdef _WIN32
#include <aclapi.h>
#include <sddl.h>
#endif

#include "platform/registry.h"
#include "standins/testing/test_agent.h"

namespace cvstorage::testing {

using cvmad::testing::Clock;
using cvmad::testing::UniqueFd;

class TestStorageServer {
 public:
  TestStorageServer() {
    std::filesystem::create_directories(root() + "/mail/public");
    std::filesystem::create_directories(root() + "/logs");
    platform::ReleaseLocalMachine();
#ifdef _WIN32
    _putenv_s("CORVANE_ROOT", root().c_str());
#else
    setenv("CORVANE_ROOT", root().c_str(), 1);
#endif
  }
  ~TestStorageServer() {
    server_.Stop(SIGTERM);
    platform::ReleaseLocalMachine();
  }

  std::string root() const { return server_.root(); }
  std::string socket_path() const { return server_.socket_path(); }
  std::string log() const { return server_.log(); }
  pid_t pid() const { return server_.pid(); }
  bool running() const { return server_.running(); }
  std::string passwd() const { return root() + "/mail/passwd"; }
  std::string folder(const std::string& name) const { return root() + "/mail/public/" + name; }

  // The mailboxes, as passwd-file lines, and the public folders, as Maildir++ names.
  void SetMailboxes(const std::string& lines) const {
    std::ofstream(passwd(), std::ios::binary | std::ios::trunc) << lines;
  }
  void AddFolders(std::initializer_list<const char*> names) const {
    for (const char* name : names)  // UTF-8, which Windows would take for its code page
      std::filesystem::create_directory(
          std::filesystem::path(reinterpret_cast<const char8_t*>(folder(name).c_str())));
  }

  // Adds the two public folders a walk leaves out with a note (kLeftOutNotes): .Linked, a
  // link to a folder elsewhere, and one whose name is no text (a byte that is no UTF-8; on
  // Windows a lone surrogate). False when they could not be made.
  bool AddFoldersLeftOut() const;

  // Imports the shipped registration of the two storage classes with cvreg, as the run
  // script does.
  bool Register() const {
    return cvmad::testing::RunBuilt("cvreg", {"import", CV_STORAGE_REGISTRATION}) == 0;
  }
  // Starts the server and waits until it accepts a connection.
  bool Start(std::vector<std::string> arguments = {}) {
    return server_.Start(std::move(arguments));
  }
  // As TestServer::Stop: the exit status, 128 + the signal, or -1 when none runs.
  int Stop(int signal) { return server_.Stop(signal); }

  // Who may open the server's endpoint, as text: the socket's mode ("0600"), or on Windows
  // the pipe's access list in SDDL with this account written as ME.
  std::string EndpointAccess() const;
  // Whether the server's endpoint is still there to be connected to or refused.
  bool EndpointListed() const;
  // Stops every thread of the server, within a bound: whether all stopped. Resume lets them
  // go again.
  bool Suspend() const;
  void Resume() const;
  // Connects to the server as a raw client and sends `hello`, then `calls` again and again
  // for `duration`, never reading: the connection, left open (invalid when the hello could
  // not be sent), with the bytes of calls the server's end took in `*sent`.
  UniqueFd SendUnread(const std::string& hello, const std::string& calls,
                      std::chrono::milliseconds duration, size_t* sent) const;

 private:
  cvmad::testing::TestServer server_{"cvstorage"};
};

// Lets every account write the file `path`, as a careless administrator would.
void MakeWritableByEveryone(const std::string& path);

// `path` with the system's own separators, as the server writes it in its log.
inline std::string Native(const std::string& path) {
  return std::filesystem::path(path).make_preferred().string();
}

#ifdef _WIN32
inline constexpr const char* kLeftOutNotes[] = {
    "\\.Linked: a symbolic link, not followed", ": a folder name is not valid UTF-16; skipped"};

inline bool TestStorageServer::AddFoldersLeftOut() const {
  const std::wstring link = std::filesystem::path(folder(".Linked")).wstring();
  std::error_code error;
  // Wine answers TRUE and makes nothing: the link is looked for.
  return CreateSymbolicLinkW(link.c_str(), std::filesystem::path(root()).wstring().c_str(),
                             SYMBOLIC_LINK_FLAG_DIRECTORY |
                                 SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
         GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES &&
         (GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         std::filesystem::create_directory(
             std::filesystem::path(folder("")).wstring() + std::wstring(L".\xD800"), error);
}
inline std::string TestStorageServer::EndpointAccess() const {
  const cvmad::testing::UniqueFd pipe = cvmad::testing::ConnectUnix(socket_path());
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!pipe.valid() ||
      GetSecurityInfo(cvmad::testing::AsHandle(pipe.get()), SE_KERNEL_OBJECT,
                      DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS)
    return "unreadable";
  wchar_t* wide = nullptr;
  ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                       DACL_SECURITY_INFORMATION, &wide, nullptr);
  std::string text(wide != nullptr ? std::filesystem::path(wide).string() : "unreadable");
  LocalFree(wide);
  LocalFree(descriptor);
  // Wine keeps a generic right as it was given; Windows maps it to the pipe's own.
  for (size_t at; (at = text.find(";GA;")) != std::string::npos;) text.replace(at, 4, ";FA;");
  const std::string me = platform::OwnAccount();
  for (size_t at; !me.empty() && (at = text.find(me)) != std::string::npos;)
    text.replace(at, me.size(), "ME");
  return text;
}

inline bool TestStorageServer::EndpointListed() const {
  unsigned long error = 0;
  HANDLE pipe =
      platform::OpenPipe(platform::PipeNameForPath(socket_path()), std::chrono::seconds(0), &error);
  if (pipe != nullptr) CloseHandle(pipe);
  return pipe != nullptr || error != ERROR_FILE_NOT_FOUND;
}

// ntdll's `call` (NtSuspendProcess, NtResumeProcess: Windows and Wine both have them) on
// `process`: whether it was done.
inline bool OnProcess(const char* call, HANDLE process) {
  auto entry = reinterpret_cast<LONG(WINAPI*)(HANDLE)>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), call)));
  return entry != nullptr && entry(process) == 0;
}

inline bool TestStorageServer::Suspend() const {
  return OnProcess("NtSuspendProcess", cvmad::testing::AsHandle(pid()));
}

inline void TestStorageServer::Resume() const {
  OnProcess("NtResumeProcess", cvmad::testing::AsHandle(pid()));
}

// Counts whole copies of `calls`: a write still pending at the end is dropped.
inline UniqueFd TestStorageServer::SendUnread(const std::string& hello, const std::string& calls,
                                              std::chrono::milliseconds duration,
                                              size_t* sent) const {
  UniqueFd connection = cvmad::testing::ConnectUnix(socket_path());
  const HANDLE pipe = cvmad::testing::AsHandle(connection.get());
  if (!connection.valid() ||
      !platform::PipeWriteAll(pipe, hello.data(), hello.size(), Clock::now() + duration))
    return {};
  *sent = 0;
  for (const auto end = Clock::now() + duration;
       platform::PipeWriteAll(pipe, calls.data(), calls.size(), end);)
    *sent += calls.size();
  return connection;
}

inline void MakeWritableByEveryone(const std::string& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const std::wstring me = std::filesystem::path(platform::OwnAccount()).wstring();
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          (L"D:P(A;;FA;;;" + me + L")(A;;FW;;;WD)").c_str(), SDDL_REVISION_1, &descriptor,
          nullptr))
    return;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  std::wstring wide = std::filesystem::path(path).wstring();
  SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT,
                        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, dacl, nullptr);
  LocalFree(descriptor);
}
#else
inline constexpr const char* kLeftOutNotes[] = {"/.Linked: a symbolic link, not followed",
                                                "/.\xC3: a folder name is not UTF-8; skipped"};

inline bool TestStorageServer::AddFoldersLeftOut() const {
  std::error_code error;
  std::filesystem::create_directory_symlink("/etc", folder(".Linked"), error);
  return !error && std::filesystem::create_directory(folder(".\xC3"), error);
}

inline std::string TestStorageServer::EndpointAccess() const {
  struct stat info;
  if (stat(socket_path().c_str(), &info) != 0) return "unreadable";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  return mode;
}

inline bool TestStorageServer::EndpointListed() const {
  return std::filesystem::exists(socket_path());
}

// Done once /proc shows every task of the server stopped.
inline bool TestStorageServer::Suspend() const {
  if (kill(pid(), SIGSTOP) != 0) return false;
  const std::string tasks = "/proc/" + std::to_string(pid()) + "/task";
  for (auto deadline = Clock::now() + std::chrono::seconds(20);
       Clock::now() < deadline;) {
    bool all = true;
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
      std::ifstream stat(task.path() / "stat");
      std::string line((std::istreambuf_iterator<char>(stat)), {});
      const size_t state = line.rfind(") ");
      all &= state != std::string::npos && line.compare(state + 2, 1, "T") == 0;
    }
    if (all) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

inline void TestStorageServer::Resume() const { kill(pid(), SIGCONT); }

inline UniqueFd TestStorageServer::SendUnread(const std::string& hello, const std::string& calls,
                                              std::chrono::milliseconds duration,
                                              size_t* sent) const {
  UniqueFd connection = cvmad::testing::ConnectUnix(socket_path());
  if (send(connection.get(), hello.data(), hello.size(), 0) != static_cast<ssize_t>(hello.size()))
    return {};
  *sent = 0;
  for (auto end = Clock::now() + duration; Clock::now() < end;) {
    const ssize_t n =
        send(connection.get(), calls.data(), calls.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0)
      *sent += static_cast<size_t>(n);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return connection;
}

inline void MakeWritableByEveryone(const std::string& path) {
  std::filesystem::permissions(path, std::filesystem::perms::others_write,
                               std::filesystem::perm_options::add);
}
#endif

}  // namespace cvstorage::testing

#endif  // STANDINS_TESTING_TEST_STORAGE_SERVER_H_
