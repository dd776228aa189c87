// Modules of the process: full paths only, the references that keep a library loaded (and
// a pin that keeps it for good), finding a loaded library by file name or by an address in
// it, and the functions it exports. Each test loads a copy of the built policy library
// from a folder of its own, so no other test's references count.
#include "platform/library.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#ifdef _WIN32
#include <aclapi.h>
#include <sddl.h>
#include <windows.h>
#undef LoadLibrary  // the port's own, below
#undef GetModuleFileName
#undef GetModuleHandleEx
#else
#include <unistd.h>
#endif

#include <filesystem>
#include <string>

#include "platform/export.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/test_root.h"

CV_EXPORT void LibraryTestEntry() {}

namespace platform {
namespace {

namespace fs = std::filesystem;

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A file name of this case's own: a library pinned by an earlier case stays loaded.
    static int cases = 0;
    fs::path built = getenv("CV_BIN_DIR");
#ifndef _WIN32
    built = built.parent_path() / "lib";  // on Windows a program's libraries sit beside it
#endif
    built /= kPolicyLibraryFileName;
    copy_ = dir_ / ("libcvlibtest" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(++cases) + built.extension().string());
    fs::copy_file(built, copy_);
    name_ = copy_.filename().string();
    path_ = copy_.string();
  }

  // Whether loading `path` is refused (a loaded library is given back at once).
  static bool refused(const fs::path& path) {
    const ModuleHandle module = LoadLibrary(path.string().c_str());
    if (module != nullptr) FreeLibrary(module);
    return module == nullptr;
  }
  bool Loaded() {
    ModuleHandle module = nullptr;
    return GetModuleHandleEx(kGetModuleHandleExFlagUnchangedRefcount, name_.c_str(), &module);
  }

  testing::TemporaryFolder folder_{"cvlib"};
  fs::path dir_ = folder_.path(), copy_;
  std::string name_, path_;  // the copy's file name and full path, as the port takes them
};

TEST_F(LibraryTest, LoadsByFullPathOnlyAndUnloadsWithTheLastReference) {
  EXPECT_EQ(LoadLibrary(name_.c_str()), nullptr);  // a bare name is never searched
  EXPECT_EQ(LoadLibrary(""), nullptr);
  EXPECT_EQ(LoadLibrary(nullptr), nullptr);
  const fs::path deep = dir_ / std::string(kMaxPath, 'd') / "lib.so";
  EXPECT_EQ(LoadLibrary(deep.string().c_str()), nullptr);
  EXPECT_FALSE(Loaded());

  const ModuleHandle first = LoadLibrary(path_.c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_NE(GetProcAddress(first, "VmpClose"), nullptr);
  EXPECT_EQ(GetProcAddress(first, "NoSuchFunction"), nullptr);
  char path[kMaxPath];
  EXPECT_EQ(GetModuleFileName(first, path, kMaxPath), path_.size());
  EXPECT_EQ(path, path_);

  // Found by file name, a second reference: the library stays until both are given back.
  ModuleHandle second = nullptr;
  ASSERT_TRUE(GetModuleHandleEx(0, name_.c_str(), &second));
  EXPECT_EQ(second, first);
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_TRUE(Loaded());
  {
    ModuleReference held(second);
  }
  EXPECT_FALSE(Loaded());
  EXPECT_FALSE(FreeLibrary(nullptr));
}

// A library named by configuration is loaded only from where no other account could have
// put or replaced it.
#ifdef _WIN32
// Grants everyone every right on `path` (Wine keeps it as the mode bits 0777).
void OpenToEveryone(const fs::path& path) {
  PSECURITY_DESCRIPTOR open = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"D:(A;;FA;;;WD)", SDDL_REVISION_1, &open, nullptr));
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(open, &present, &dacl, &defaulted);
  EXPECT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(path.wstring().c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr),
            0u);
  LocalFree(open);
}

TEST_F(LibraryTest, RefusesALibraryAnotherAccountCouldHavePutThere) {
  EXPECT_FALSE(refused(copy_));
  const fs::path open_folder = dir_ / "open", open_file = dir_ / ("open" + name_);
  fs::create_directory(open_folder);
  fs::copy_file(copy_, open_folder / name_);
  fs::copy_file(copy_, open_file);
  OpenToEveryone(open_folder);
  OpenToEveryone(open_file);
  EXPECT_TRUE(refused(open_folder / name_));
  EXPECT_TRUE(refused(open_file));
  EXPECT_TRUE(refused(dir_));  // not a file
}
#else
TEST_F(LibraryTest, RefusesALibraryAnotherAccountCouldHavePutThere) {
  fs::permissions(copy_, fs::perms::others_write, fs::perm_options::add);
  EXPECT_TRUE(refused(copy_));
  fs::permissions(copy_, fs::perms::others_write | fs::perms::group_write, fs::perm_options::remove);
  // A folder everyone may write: refused, unless it is sticky.
  const fs::path open_folder = dir_ / "open";
  fs::create_directory(open_folder);
  fs::copy_file(copy_, open_folder / copy_.filename());
  fs::permissions(open_folder, fs::perms::all);
  EXPECT_TRUE(refused(open_folder / copy_.filename()));
  fs::permissions(open_folder, fs::perms::sticky_bit, fs::perm_options::add);
  EXPECT_FALSE(refused(open_folder / copy_.filename()));
  // A link in a folder others may write leads to the trusted file: what is loaded is the
  // file, by its own path, so swapping the link afterwards changes nothing.
  fs::permissions(open_folder, fs::perms::sticky_bit, fs::perm_options::remove);
  fs::create_symlink(copy_, open_folder / "link.so");
  const ModuleHandle linked = LoadLibrary((open_folder / "link.so").c_str());
  ASSERT_NE(linked, nullptr);
  char path[kMaxPath];
  GetModuleFileName(linked, path, kMaxPath);
  EXPECT_EQ(path, copy_.string());
  FreeLibrary(linked);
  EXPECT_TRUE(refused(dir_));  // not a file
  // Another account's file (only root can make one here).
  if (geteuid() == 0) {
    ASSERT_EQ(chown(copy_.c_str(), 65534, 65534), 0);
    EXPECT_TRUE(refused(copy_));
  }
}
#endif

TEST_F(LibraryTest, AnAddressLeadsToTheModuleHoldingItAndAPinKeepsItLoaded) {
  ModuleHandle library = LoadLibrary(path_.c_str());
  ASSERT_NE(library, nullptr);
  void* function = GetProcAddress(library, "VmpClose");
  ModuleHandle found = nullptr;
  ASSERT_TRUE(GetModuleHandleEx(kGetModuleHandleExFlagFromAddress, function, &found));
  EXPECT_EQ(found, library);
  EXPECT_TRUE(FreeLibrary(found));

  // The program itself: its path is the executable's, and it exports its entries.
  const auto* entry = reinterpret_cast<const void*>(&LibraryTestEntry);
  ModuleHandle program = nullptr;
  ASSERT_TRUE(GetModuleHandleEx(kGetModuleHandleExFlagFromAddress, entry, &program));
  const ModuleReference hold(program);
  char path[kMaxPath], executable[kMaxPath];
  GetModuleFileName(executable, kMaxPath);
  EXPECT_EQ(GetModuleFileName(program, path, kMaxPath), std::string(executable).size());
  EXPECT_STREQ(path, executable);
  EXPECT_EQ(GetProcAddress(program, "LibraryTestEntry"), entry);

  int on_the_stack = 0;
  EXPECT_FALSE(GetModuleHandleEx(kGetModuleHandleExFlagFromAddress, &on_the_stack, &found));
  EXPECT_EQ(found, nullptr);
  EXPECT_FALSE(GetModuleHandleEx(0, "libnothing.so", &found));
  EXPECT_FALSE(GetModuleHandleEx(kGetModuleHandleExFlagFromAddress |
                                     kGetModuleHandleExFlagPin |
                                     kGetModuleHandleExFlagUnchangedRefcount,
                                 function, &found));

  ASSERT_TRUE(GetModuleHandleEx(kGetModuleHandleExFlagFromAddress | kGetModuleHandleExFlagPin,
                                function, &found));
  EXPECT_TRUE(FreeLibrary(library));
  EXPECT_TRUE(Loaded());  // pinned: stays for the rest of the process
}

}  // namespace
}  // namespace platform
