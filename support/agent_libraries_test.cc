// Loading of the agent's libraries, seen from a probe program copied into folders of each
// test's choosing: beside the executable, from the registry, never from the system's
// library search path, and once under concurrent first use.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "support/agent_libraries.h"

namespace fs = std::filesystem;

namespace {

class AgentLibrariesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/cvload-XXXXXX";
    dir_ = mkdtemp(pattern);
    lib_dir_ = fs::path(std::getenv("CV_BIN_DIR")).parent_path() / "lib";
    probe_ = dir_ / "bin" / "probe";
    fs::create_directories(probe_.parent_path());
    fs::copy_file(fs::path(std::getenv("CV_BIN_DIR")).parent_path() / "tests" / "agent_libraries_probe",
                  probe_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  void RegisterPath(const std::string& path) {
    platform::Hive hive((dir_ / "registry.db").string());
    platform::RegistryKey key;
    ASSERT_EQ(hive.CreateKey(support::kDelayLoadingKey, platform::kKeyAllAccess, &key), 0u);
    ASSERT_EQ(hive.SetValue(key, "libcvpmapi.so", platform::kRegSz, path.c_str(),
                            static_cast<uint32_t>(path.size() + 1)), 0u);
  }

  std::string Probe(const std::string& function, const std::string& environment = "",
                    int threads = 1) {
    const std::string command = "CORVANE_ROOT=" + dir_.string() + " " + environment + " " +
                                probe_.string() + " policy " + function + " " +
                                std::to_string(threads);
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
      char buffer[512];
      while (fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
      pclose(pipe);
    }
    return output;
  }

  fs::path dir_, lib_dir_, probe_;
};

TEST_F(AgentLibrariesTest, BesideTheExecutableWinsOverTheRegistry) {
  fs::copy_file(lib_dir_ / "libcvpmapi.so", probe_.parent_path() / "libcvpmapi.so");
  RegisterPath((lib_dir_ / "libcvpmapi.so").string());
  EXPECT_EQ(Probe("VmpClose"), "loaded " + (probe_.parent_path() / "libcvpmapi.so").string() + "\n");
}

TEST_F(AgentLibrariesTest, RegistryPathIsUsedWhenNothingIsBesideTheExecutable) {
  RegisterPath((lib_dir_ / "libcvpmapi.so").string());
  EXPECT_EQ(Probe("VmpClose"), "loaded " + (lib_dir_ / "libcvpmapi.so").string() + "\n");
  // Concurrent first calls agree on one address.
  EXPECT_EQ(Probe("VmpClose", "", 16), "loaded " + (lib_dir_ / "libcvpmapi.so").string() + "\n");
  EXPECT_EQ(Probe("NoSuchFunction"), "error C06D007F\n");
}

TEST_F(AgentLibrariesTest, SystemSearchPathIsNeverUsed) {
  const std::string search = "LD_LIBRARY_PATH=" + lib_dir_.string();
  EXPECT_EQ(Probe("VmpClose", search), "error C06D007E\n");
  RegisterPath("libcvpmapi.so");  // a bare name in the registry is no full path either
  EXPECT_EQ(Probe("VmpClose", search), "error C06D007E\n");
}

}  // namespace
