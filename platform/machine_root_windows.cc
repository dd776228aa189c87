// The machine root on Windows: the same variable, with either separator in what it names.
#include "platform/machine_root.h"

#include <algorithm>
#include <cstdlib>

#include "platform/path.h"

namespace platform {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::string MachineRoot() {
  const char* root = std::getenv("CORVANE_ROOT");
  std::string result = (root != nullptr && *root != '\0') ? root : kDefaultMachineRoot;
  std::replace(result.begin(), result.end(), '/', kPathSeparator);
  // A drive's root ("C:\") keeps its separator: without it, it names the drive's current folder.
  while (result.size() > 3 && IsSeparator(result.back())) result.pop_back();
  return result;
}

std::string MachineFile(const std::string& relative) {
  std::string path = MachineRoot();
  if (!IsSeparator(path.back())) path += kPathSeparator;
  path += relative;
  std::replace(path.begin(), path.end(), '/', kPathSeparator);
  return path;
}

}  // namespace platform
