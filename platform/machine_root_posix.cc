#include "platform/machine_root.h"

#include <cstdlib>

namespace platform {

std::string MachineRoot() {
  const char* root = std::getenv("CORVANE_ROOT");
  std::string result = (root != nullptr && *root != '\0') ? root : kDefaultMachineRoot;
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

std::string MachineFile(const std::string& relative) { return MachineRoot() + "/" + relative; }

}  // namespace platform
