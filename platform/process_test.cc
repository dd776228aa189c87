// The executable path with its truncation rule. (The local time and the thread ids are
// checked in the trace lines and log names that carry them, support/trace_test.cc; the
// processor count in the default it gives, settings/definitions_test.cc.)
#include "platform/process.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#undef GetModuleFileName  // the port's own, below
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <string>

namespace platform {
namespace {

TEST(ProcessTest, ModuleFileNameIsTheExecutableOrItsStartWithSizeReturned) {
  char link[4096] = {};
#ifdef _WIN32
  ASSERT_GT(GetModuleFileNameA(nullptr, link, sizeof link - 1), 10u);  // ASCII in the tests
#else
  ASSERT_GT(readlink("/proc/self/exe", link, sizeof link - 1), 10);
#endif
  const std::string path = link;
  const auto length = static_cast<uint32_t>(path.size());
  // Fits: the path and its length. Does not: size - 1 characters, terminated, and `size`.
  for (uint32_t size : {4096u, length + 1, length, 10u, 1u, 0u}) {
    std::string buffer(4096, 'X');
    EXPECT_EQ(GetModuleFileName(buffer.data(), size), std::min(size, length)) << size;
    if (size > 0) {
      EXPECT_EQ(buffer.c_str(), path.substr(0, size - 1)) << size;
    }
  }
}

}  // namespace
}  // namespace platform
