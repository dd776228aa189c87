// Test support for every suite: a temporary folder of the test's own, and a temporary
// machine root that this process's CORVANE_ROOT and hive follow. Both are removed, with all
// they hold, when they go.
//
// Thread safety: one object per test, used from the test's own thread; TestMachineRoot
// changes the environment, so no other thread may read it meanwhile.
#ifndef PLATFORM_TEST_ROOT_H_
#define PLATFORM_TEST_ROOT_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

#include "platform/registry.h"

namespace platform::testing {

// Sets the environment variable `name` of this process.
inline void SetEnvironment(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

// The whole of a file's bytes; empty when it cannot be read.
inline std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class TemporaryFolder {
 public:
  // A new folder `name`.XXXXXX (mode 0700) under $TMPDIR, else /tmp (on Windows, the
  // user's temporary folder); path() is empty when it could not be made.
  explicit TemporaryFolder(const std::string& name = "cvtest") {
#ifdef _WIN32
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty() && !error; ++attempt) {
      const std::filesystem::path folder = base / (name + "." + std::to_string(random()));
      if (std::filesystem::create_directory(folder, error)) path_ = folder.string();
    }
#else
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + name + ".XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
#endif
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A temporary folder as the machine root: CORVANE_ROOT names it and the hive opened next is
// its own, until the TestMachineRoot goes (the hive is released then too).
class TestMachineRoot : public TemporaryFolder {
 public:
  explicit TestMachineRoot(const std::string& name = "cvroot") : TemporaryFolder(name) {
    ReleaseLocalMachine();
    SetEnvironment("CORVANE_ROOT", path().c_str());
  }
  ~TestMachineRoot() { ReleaseLocalMachine(); }
};

}  // namespace platform::testing

#endif  // PLATFORM_TEST_ROOT_H_
