// Loading of the agent's libraries, seen from a probe program copied into a folder of the
// test's own: beside the executable, from the registry, never from the system's library
// search path, and once under concurrent first use.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/library.h"
#include "platform/registry.h"
#include "platform/test_process.h"
#include "platform/test_root.h"
#include "support/agent_libraries.h"

namespace {

namespace fs = std::filesystem;
using platform::kPolicyLibraryFileName;
using platform::testing::kProgramSuffix;

class AgentLibrariesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(probe_.parent_path());
    fs::copy_file(tests_ / (std::string("agent_libraries_probe") + kProgramSuffix), probe_);
#ifndef _WIN32
    // The probe finds the core library where the installed layout has it, ../lib; the
    // agent's libraries are not there. A Windows program holds the whole core itself.
    fs::create_directories(dir_ / "lib");
    for (const char* library : {"libcvcore.so", "libcvblocks.so", "libcvsync.so"}) {
      fs::create_symlink(built_.parent_path() / library, dir_ / "lib" / library);
    }
#endif
  }

  void Register(const std::string& path) {
    platform::Hive hive((dir_ / "registry.db").string());
    platform::RegistryKey key;
    ASSERT_EQ(hive.CreateKey(support::kDelayLoadingKey, platform::kKeyAllAccess, &key), 0u);
    ASSERT_EQ(hive.SetValue(key, kPolicyLibraryFileName, platform::kRegSz, path.c_str(),
                            static_cast<uint32_t>(path.size() + 1)), 0u);
  }
  // What the probe prints for `function` of the policy library, resolved by `threads` at
  // once, started with the variables `environment` in the folder `directory`.
  std::string Probe(const std::string& function, std::vector<std::string> environment = {},
                    int threads = 1, const std::string& preload = "",
                    const std::string& directory = "") {
    environment.push_back("CORVANE_ROOT=" + dir_.string());
    std::vector<std::string> arguments = {"policy", function, std::to_string(threads)};
    if (!preload.empty()) arguments.push_back(preload);
    std::string output;
    platform::testing::RunProgram(probe_.string(), arguments, environment, &output, directory);
    std::erase(output, '\r');  // Windows prints its lines in text mode
    return output;
  }

  const fs::path tests_ = fs::path(getenv("CV_BIN_DIR")).parent_path() / "tests";
#ifdef _WIN32
  const fs::path built_ = tests_.parent_path() / "bin" / kPolicyLibraryFileName;
#else
  const fs::path built_ = tests_.parent_path() / "lib" / kPolicyLibraryFileName;
#endif
  platform::testing::TemporaryFolder folder_{"cvload"};
  fs::path dir_ = folder_.path();
  fs::path probe_ = dir_ / "bin" / (std::string("probe") + kProgramSuffix);
};

TEST_F(AgentLibrariesTest, BesideTheExecutableThenTheRegistryPathButNeverTheSearchPath) {
  // The system's search would find the built library: through its variables, and in the
  // current folder (searched on Windows, never by the POSIX loader).
  const std::string search_folder = built_.parent_path().string();
#ifdef _WIN32
  const char* path = getenv("PATH");
  const std::vector<std::string> search = {
      "PATH=" + search_folder + (path != nullptr ? ";" + std::string(path) : ""),
      "WINEPATH=" + search_folder};
#else
  const std::vector<std::string> search = {"LD_LIBRARY_PATH=" + search_folder};
#endif
  EXPECT_EQ(Probe("VmpClose", search, 1, "", search_folder), "error C06D007E\n");
  Register(kPolicyLibraryFileName);  // a bare name in the registry is no full path either
  EXPECT_EQ(Probe("VmpClose", search, 1, "", search_folder), "error C06D007E\n");

  Register(built_.string());
  EXPECT_EQ(Probe("VmpClose"), "loaded " + built_.string() + "\n");
  EXPECT_EQ(Probe("VmpClose", {}, 16), "loaded " + built_.string() + "\n");  // threads agree
  EXPECT_EQ(Probe("NoSuchFunction"), "error C06D007F\n");

  const fs::path beside = probe_.parent_path() / kPolicyLibraryFileName;
  fs::copy_file(built_, beside);
  EXPECT_EQ(Probe("VmpClose"), "loaded " + beside.string() + "\n");

  // A copy of that file name the process loaded already wins over both places: the process
  // keeps one copy.
  const fs::path other = dir_ / "elsewhere" / kPolicyLibraryFileName;
  fs::create_directories(other.parent_path());
  fs::copy_file(built_, other);
  EXPECT_EQ(Probe("VmpClose", {}, 4, other.string()), "loaded " + other.string() + "\n");
}

}  // namespace
