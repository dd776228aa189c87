// The limits of a key path (registry.h), the same for every hive of the port.
//
// Thread safety: a pure function; safe from any thread.
#include <algorithm>

#include "platform/registry.h"
#include "platform/unicode.h"

namespace platform {

const char* KeyPathProblem(std::string_view path) {
  if (path.empty()) return nullptr;  // the root
  size_t depth = 0;
  for (size_t start = 0; start <= path.size(); ++depth) {
    const size_t end = std::min(path.find('\\', start), path.size());
    const std::string_view name = path.substr(start, end - start);
    start = end + 1;
    if (name.empty()) return "a key name in the path is empty";
    if (name.find('\0') != std::string_view::npos) return "a key name holds a NUL character";
    // UTF-16 never takes more code units than UTF-8 takes bytes.
    if (name.size() > kMaxKeyNameLength && Utf8ToUtf16(name).size() > kMaxKeyNameLength)
      return "a key name is longer than 255 characters";
    if (depth == kMaxKeyDepth) return "the key path is more than 512 levels deep";
  }
  return nullptr;
}

}  // namespace platform
