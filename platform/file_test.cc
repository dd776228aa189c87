// Files opened by path: what each disposition does to a file that is there or not, where
// appended and written bytes land, and the reasons given for a refusal. (The 0640 mode of
// the owner-and-group protection is checked on the trace log, its user.)
#include "platform/file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>

#include "platform/errors.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/cvfile-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
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

  fs::path dir_;
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
    EXPECT_EQ(Contents(path), made) << disposition;
    std::ofstream(path, std::ios::trunc) << "old";
    EXPECT_EQ(Write(path, kGenericWrite, disposition, "new"), present) << disposition;
    EXPECT_EQ(Contents(path), kept) << disposition;
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
  EXPECT_EQ(Contents(path), "one\ntwo\nthre");

  EXPECT_EQ(Write(path, kGenericWrite, kOpenExisting, "ONE"), 0u);
  EXPECT_EQ(Contents(path), "ONE\ntwo\nthre");
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

// A log's name comes from configuration that a group may write: it is never followed to a
// link's target, a pipe or a device, and a process running as root writes one only in a
// folder no other account may change.
TEST_F(FileTest, ALogIsARegularFileInAFolderRootCanTrust) {
  const auto log = [](const std::string& path) {
    const FileHandle file =
        CreateFile(path.c_str(), kFileAppendData, kCreateAlways, FileProtection::kOwnerAndGroup);
    if (file == kInvalidFileHandle) return GetLastError();
    CloseHandle(file);
    return kErrorSuccess;
  };
  std::ofstream(Path("victim")) << "kept";
  fs::create_symlink(Path("victim"), Path("link"));
  EXPECT_EQ(log(Path("link")), kErrorAccessDenied);
  EXPECT_EQ(Contents(Path("victim")), "kept");
  ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0600), 0);
  EXPECT_EQ(log(Path("pipe")), kErrorAccessDenied);  // at once: no reader is waited for
  EXPECT_EQ(log(Path("log")), kErrorSuccess);

  if (geteuid() != 0) GTEST_SKIP() << "the folder rule is root's";
  const fs::path open_folder = dir_ / "open";
  fs::create_directory(open_folder);
  fs::permissions(open_folder, fs::perms::all);
  EXPECT_EQ(log((open_folder / "log").string()), kErrorAccessDenied);
  EXPECT_FALSE(fs::exists(open_folder / "log"));
  fs::permissions(open_folder, fs::perms::sticky_bit, fs::perm_options::add);
  EXPECT_EQ(log((open_folder / "log").string()), kErrorSuccess);
  // A folder of another account, even one only it may write.
  const fs::path foreign = dir_ / "foreign";
  fs::create_directory(foreign);
  ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
  EXPECT_EQ(log((foreign / "log").string()), kErrorAccessDenied);
}

}  // namespace
}  // namespace platform
