// Test support for every suite: a temporary folder of the test's own, and a temporary
// machine root that this process's CORVANE_ROOT and hive follow. Both are removed, with all
// they hold, when they go.
//
// Thread safety: one object per test, used from the test's own thread; TestMachineRoot
// changes the environment, so no other thread may read it meanwhile.
#ifndef PLATFORM_TEST_ROOT_H_
#define PLATFORM_TEST_ROOT_H_

#include <stdlib.h>
#ifdef _WIN32
#include <process.h>
#endif

#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/registry.h"

namespace platform::testing {

class TemporaryFolder {
 public:
  // A new folder `name`.XXXXXX (mode 0700) under $TMPDIR, else /tmp; path() is empty when
  // it could not be made.
  explicit TemporaryFolder(const std::string& name = "cvtest") {
#ifdef _WIN32
    // No mkdtemp there: a name of the process and a counter, made only when it is new.
    static std::atomic<unsigned> count{0};
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const std::filesystem::path candidate =
          std::filesystem::temp_directory_path() /
          (name + "." + std::to_string(_getpid()) + "." + std::to_string(++count));
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) path_ = candidate.string();
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
#ifdef _WIN32
    _putenv_s("CORVANE_ROOT", path().c_str());
#else
    setenv("CORVANE_ROOT", path().c_str(), 1);
#endif
  }
  ~TestMachineRoot() { ReleaseLocalMachine(); }
};

}  // namespace platform::testing

#endif  // PLATFORM_TEST_ROOT_H_
