// Loading of the agent's libraries, seen from a probe program copied into a folder of the
// test's own: beside the executable, from the registry, never from the system's library
// search path, and once under concurrent first use.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "platform/test_root.h"
#include "support/agent_libraries.h"

namespace {

namespace fs = std::filesystem;

class AgentLibrariesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    probe_ = dir_ / "bin" / "probe";
    fs::create_directories(probe_.parent_path());
    fs::copy_file(tests_ / "agent_libraries_probe", probe_);
    // The probe finds the core library where the installed layout has it, ../lib; the
    // agent's libraries are not there.
    fs::create_directories(dir_ / "lib");
    for (const char* library : {"libcvcore.so", "libcvblocks.so", "libcvsync.so"}) {
      fs::create_symlink(built_.parent_path() / library, dir_ / "lib" / library);
    }
  }

  void Register(const std::string& path) {
    platform::Hive hive(dir_ / "registry.db");
    platform::RegistryKey key;
    ASSERT_EQ(hive.CreateKey(support::kDelayLoadingKey, platform::kKeyAllAccess, &key), 0u);
    ASSERT_EQ(hive.SetValue(key, "libcvpmapi.so", platform::kRegSz, path.c_str(),
                            static_cast<uint32_t>(path.size() + 1)), 0u);
  }
  // What the probe prints for `function` of the policy library, resolved by `threads` at once.
  std::string Probe(const std::string& function, const std::string& environment = "",
                    int threads = 1, const std::string& preload = "") {
    const std::string command = "CORVANE_ROOT=" + dir_.string() + " " + environment + " " +
                                probe_.string() + " policy " + function + " " +
                                std::to_string(threads) + " " + preload;
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
      for (char buffer[512]; fgets(buffer, sizeof buffer, pipe) != nullptr;) output += buffer;
      pclose(pipe);
    }
    return output;
  }

  const fs::path tests_ = fs::path(getenv("CV_BIN_DIR")).parent_path() / "tests";
  const fs::path built_ = tests_.parent_path() / "lib" / "libcvpmapi.so";
  platform::testing::TemporaryFolder folder_{"cvload"};
  fs::path dir_ = folder_.path(), probe_;
};

TEST_F(AgentLibrariesTest, BesideTheExecutableThenTheRegistryPathButNeverTheSearchPath) {
  const std::string search = "LD_LIBRARY_PATH=" + built_.parent_path().string();
  EXPECT_EQ(Probe("VmpClose", search), "error C06D007E\n");
  Register("libcvpmapi.so");  // a bare name in the registry is no full path either
  EXPECT_EQ(Probe("VmpClose", search), "error C06D007E\n");

  Register(built_);
  EXPECT_EQ(Probe("VmpClose"), "loaded " + built_.string() + "\n");
  EXPECT_EQ(Probe("VmpClose", "", 16), "loaded " + built_.string() + "\n");  // threads agree
  EXPECT_EQ(Probe("NoSuchFunction"), "error C06D007F\n");

  const fs::path beside = probe_.parent_path() / "libcvpmapi.so";
  fs::copy_file(built_, beside);
  EXPECT_EQ(Probe("VmpClose"), "loaded " + beside.string() + "\n");

  // A copy of that file name the process loaded already wins over both places: the process
  // keeps one copy.
  const fs::path other = dir_ / "elsewhere" / "libcvpmapi.so";
  fs::create_directories(other.parent_path());
  fs::copy_file(built_, other);
  EXPECT_EQ(Probe("VmpClose", "", 4, other), "loaded " + other.string() + "\n");
}

}  // namespace
