// Files opened by path: what each disposition does to a file that is there or not, where
// appended and written bytes land, and the reasons given for a refusal. (The 0640 mode of
// the owner-and-group protection is checked on the trace log, its user.)
#include "platform/file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>

#include "platform/errors.h"
#include "platform/test_root.h"
#ifdef _WIN32
#include <aclapi.h>
#include <sddl.h>
#include <windows.h>
#undef CreateFile  // the port's own
#else
#include "standins/testing/test_agent.h"
#endif

namespace platform {
namespace {

namespace fs = std::filesystem;
using testing::FileText;
using testing::SetEnvironment;


class FileTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  // Opens `path` as asked, writes `text` and closes it; the last error on failure.
  static uint32_t Write(const std::string& path, uint32_t access, uint32_t disposition,
                        const std::string& text) {
    const FileHandle file = CreateFile(path.c_str(), access, disposition, FileProtection::kDefault);
    if (file == kInvalidFileHandle) return GetLastError();
    uint32_t written = 0;
    EXPECT_TRUE(WriteFile(file, text.data(), static_cast<uint32_t>(text.size()), &written));
    EXPECT_EQ(written, text.size());
    EXPECT_TRUE(CloseHandle(file));
    return 0;
  }

  testing::TemporaryFolder folder_{"cvfile"};
  fs::path dir_ = folder_.path();
};

TEST_F(FileTest, EachDispositionMeetsAFileThatIsThereOrNot) {
  const std::tuple<uint32_t, uint32_t, std::string, uint32_t, std::string> cases[] = {
      // disposition, result and contents without a file, then with "old" there
      {kCreateNew, 0, "new", kErrorAlreadyExists, "old"},
      {kCreateAlways, 0, "new", 0, "new"},
      {kOpenExisting, kErrorFileNotFound, "", 0, "new"},
      {kOpenAlways, 0, "new", 0, "new"},
      {kTruncateExisting, kErrorFileNotFound, "", 0, "new"},
  };
  for (const auto& [disposition, absent, made, present, kept] : cases) {
    const std::string path = Path("d" + std::to_string(disposition));
    EXPECT_EQ(Write(path, kGenericWrite, disposition, "new"), absent) << disposition;
    EXPECT_EQ(FileText(path), made) << disposition;
    std::ofstream(path, std::ios::trunc) << "old";
    EXPECT_EQ(Write(path, kGenericWrite, disposition, "new"), present) << disposition;
    EXPECT_EQ(FileText(path), kept) << disposition;
  }
}

TEST_F(FileTest, AppendedBytesGoToTheEndWrittenOnesToTheStart) {
  const std::string path = Path("log");
  const FileHandle first =
      CreateFile(path.c_str(), kFileAppendData, kOpenAlways, FileProtection::kOwnerAndGroup);
  const FileHandle second =
      CreateFile(path.c_str(), kFileAppendData, kOpenAlways, FileProtection::kOwnerAndGroup);
  ASSERT_NE(first, kInvalidFileHandle);
  ASSERT_NE(second, kInvalidFileHandle);
  uint32_t written = 0;
  for (const char* line : {"one\n", "two\n", "three\n"}) {
    ASSERT_TRUE(WriteFile(line[0] == 't' ? second : first, line, 4, &written));
  }
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_EQ(FileText(path), "one\ntwo\nthre");

  EXPECT_EQ(Write(path, kGenericWrite, kOpenExisting, "ONE"), 0u);
  EXPECT_EQ(FileText(path), "ONE\ntwo\nthre");
}

TEST_F(FileTest, RefusalsSayWhy) {
  auto refused = [](const std::string& path, uint32_t access, uint32_t disposition) {
    const FileHandle file = CreateFile(path.c_str(), access, disposition, FileProtection::kDefault);
    if (file != kInvalidFileHandle) {
      CloseHandle(file);
      return kErrorSuccess;
    }
    return GetLastError();
  };
  EXPECT_EQ(refused(Path("no/such/file"), kGenericWrite, kOpenAlways), kErrorFileNotFound);
  EXPECT_EQ(refused(dir_.string(), kFileAppendData, kOpenAlways), kErrorAccessDenied);
  EXPECT_EQ(refused(Path("f"), 0, kOpenAlways), kErrorInvalidParameter);
  EXPECT_EQ(refused(Path("f"), 0x10000000, kOpenAlways), kErrorInvalidParameter);  // all access
  EXPECT_EQ(refused(Path("f"), kGenericWrite, 6), kErrorInvalidParameter);
  EXPECT_EQ(refused(Path("f"), kGenericRead, kCreateAlways), kErrorInvalidParameter);
  EXPECT_FALSE(fs::exists(Path("f")));
  EXPECT_FALSE(CloseHandle(kInvalidFileHandle));
}

// A log's name comes from configuration that the administrators' group may write, and
// root's tools trace too: the log is a file of the machine root's log folder, reached
// through no link, a regular file with one name, this account's or the root owner's, and a
// file there is never emptied. Each case sets the name up, opens it and checks that
// whatever the name led to kept its contents.
TEST_F(FileTest, ALogIsAnUnlinkedFileOfThisAccountInTheLogFolder) {
  const fs::path root = dir_ / "root", logs = root / "logs";
  fs::create_directories(logs);
  SetEnvironment("CORVANE_ROOT", root.string().c_str());
  std::ofstream(Path("victim")) << "kept";
  fs::create_directory(Path("elsewhere"));
#ifdef _WIN32
  const bool as_root = true;  // no case below needs another account
#else
  const bool as_root = geteuid() == 0;
#endif
  const struct {
    const char* name;  // below the machine root unless it starts with '/'
    std::function<void()> set_up;
    LogRefusal refusal;
    std::string victim;  // the file whose contents must stay, relative to dir_
  } cases[] = {
      {"logs/new.log", [] {}, LogRefusal::kNone, ""},
      {"bare.log", [] {}, LogRefusal::kNone, ""},  // a bare name is taken in the folder
      {"logs/ours.log", [&] { std::ofstream(logs / "ours.log") << "kept"; }, LogRefusal::kNone,
       "root/logs/ours.log"},
      {"logs/sub/in.log", [&] { fs::create_directory(logs / "sub"); }, LogRefusal::kNone, ""},
      {"/victim", [] {}, LogRefusal::kOutsideLogFolder, "victim"},
      {"logs/../escape.log", [] {}, LogRefusal::kOutsideLogFolder, ""},
      {"logs/", [] {}, LogRefusal::kOutsideLogFolder, ""},
      {"..", [] {}, LogRefusal::kOutsideLogFolder, ""},
      {"logs/hard.log", [&] { fs::create_hard_link(Path("victim"), logs / "hard.log"); },
       LogRefusal::kSeveralLinks, "victim"},
      {"logs/folder", [&] { fs::create_directory(logs / "folder"); }, LogRefusal::kNotRegularFile,
       ""},
#ifndef _WIN32
      {"logs/link.log", [&] { fs::create_symlink(Path("victim"), logs / "link.log"); },
       LogRefusal::kLink, "victim"},
      {"logs/linked/x.log", [&] { fs::create_directory_symlink(Path("elsewhere"), logs / "linked"); },
       LogRefusal::kLink, ""},
      {"logs/pipe", [&] { ASSERT_EQ(mkfifo((logs / "pipe").c_str(), 0600), 0); },
       LogRefusal::kNotRegularFile, ""},  // at once: no reader is waited for
      // Made 0666 by another account in a folder everyone may write, sticky as /tmp.
      {"logs/other.log",
       [&] {
         for (const fs::path& folder : {dir_, root}) fs::permissions(folder, fs::perms(0755));
         fs::permissions(logs, static_cast<fs::perms>(01777));
         ASSERT_EQ(cvmad::testing::RunAs(65534, 65534, [&] {
                     umask(0);
                     std::ofstream(logs / "other.log") << "kept";
                     return FileText((logs / "other.log").string()) == "kept" ? 0 : 1;
                   }),
                   0);
       },
       LogRefusal::kOtherOwner, "root/logs/other.log"},
#endif
  };
  for (const auto& test : cases) {
    const bool needs_root = std::string(test.name) == "logs/other.log";
    if (needs_root && !as_root) continue;
    test.set_up();
    const std::string name = test.name;
    const std::string path = name.find('/') == std::string::npos ? name
                             : name[0] == '/'                    ? dir_.string() + name
                                                                 : (root / name).string();
    LogRefusal refusal = LogRefusal::kNone;
    const FileHandle log = CreateLogFile(path.c_str(), kOpenAlways, &refusal);
    EXPECT_EQ(refusal, test.refusal) << test.name;
    EXPECT_EQ(log != kInvalidFileHandle, test.refusal == LogRefusal::kNone) << test.name;
    uint32_t written = 0;
    if (log != kInvalidFileHandle) {
      EXPECT_TRUE(WriteFile(log, "+", 1, &written));
      CloseHandle(log);
    }
    if (!test.victim.empty()) {
      EXPECT_EQ(FileText(Path(test.victim)),
                test.refusal == LogRefusal::kNone ? "kept+" : "kept") << test.name;
    }
  }
  EXPECT_FALSE(fs::exists(root / "escape.log"));
  EXPECT_EQ(FileText((logs / "bare.log").string()), "+");
  if (!as_root) GTEST_SKIP() << "the file of another account needs root to make: not tried";
}

// A missing log folder is no refusal: the file can be opened once it is there. A disposition
// that would empty the file is refused.
TEST_F(FileTest, ALogWaitsForItsFolderAndIsNeverEmptied) {
  SetEnvironment("CORVANE_ROOT", dir_.string().c_str());
  LogRefusal refusal = LogRefusal::kOutsideLogFolder;
  EXPECT_EQ(CreateLogFile(Path("logs/x.log").c_str(), kOpenAlways, &refusal), kInvalidFileHandle);
  EXPECT_EQ(refusal, LogRefusal::kNone);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  fs::create_directory(dir_ / "logs");
  std::ofstream(Path("logs/x.log")) << "kept";
  for (uint32_t disposition : {kCreateAlways, kTruncateExisting}) {
    EXPECT_EQ(CreateLogFile(Path("logs/x.log").c_str(), disposition, &refusal), kInvalidFileHandle);
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  }
  EXPECT_EQ(CreateLogFile(Path("logs/x.log").c_str(), kCreateNew, &refusal), kInvalidFileHandle);
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  const FileHandle log = CreateLogFile(Path("logs/x.log").c_str(), kOpenExisting, &refusal);
  ASSERT_NE(log, kInvalidFileHandle);
  CloseHandle(log);
  EXPECT_EQ(FileText(Path("logs/x.log")), "kept");
}

#ifdef _WIN32
// The owner-and-group protection on Windows is the file's access list: nobody but the owner,
// its group and the system. A log made wide by hand (everyone may write it) is narrowed when
// it is opened. (Wine keeps the list as the file's mode bits, so it reads back.)
TEST_F(FileTest, ALogIsForItsOwnerAndGroupOnlyAndAWideOneIsNarrowed) {
  const auto everyone_may = [](const fs::path& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_EQ(GetNamedSecurityInfoW(path.wstring().c_str(), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                    &descriptor),
              0u);
    bool found = dacl == nullptr;  // no list at all: everyone may
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
      ACCESS_ALLOWED_ACE* ace = nullptr;
      if (GetAce(dacl, i, reinterpret_cast<void**>(&ace)) &&
          ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
          IsWellKnownSid(&ace->SidStart, WinWorldSid)) {
        found = true;
      }
    }
    LocalFree(descriptor);
    return found;
  };
  fs::create_directories(dir_ / "logs");
  SetEnvironment("CORVANE_ROOT", dir_.string().c_str());
  LogRefusal refusal;
  FileHandle log = CreateLogFile("made.log", kOpenAlways, &refusal);
  ASSERT_NE(log, kInvalidFileHandle);
  CloseHandle(log);
  EXPECT_FALSE(everyone_may(dir_ / "logs" / "made.log"));

  const fs::path wide = dir_ / "logs" / "wide.log";
  std::ofstream(wide) << "kept";
  PSECURITY_DESCRIPTOR open = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"D:(A;;FA;;;WD)", SDDL_REVISION_1, &open, nullptr));
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(open, &present, &dacl, &defaulted);
  ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(wide.wstring().c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr),
            0u);
  LocalFree(open);
  ASSERT_TRUE(everyone_may(wide));
  log = CreateLogFile("wide.log", kOpenExisting, &refusal);
  ASSERT_NE(log, kInvalidFileHandle);
  CloseHandle(log);
  EXPECT_FALSE(everyone_may(wide));
  EXPECT_EQ(FileText(wide.string()), "kept");
}
#endif

}  // namespace
}  // namespace platform
