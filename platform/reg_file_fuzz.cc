// libFuzzer target for .reg import: whatever ParseRegFile takes must write back (with the
// exporter's own writer) into text that reads as the same changes and writes the same text
// again; whatever it refuses must name a line of the input and leave no changes.
//
// Thread safety: libFuzzer calls in from one thread.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/reg_file.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool SameChanges(const std::vector<platform::RegistryChange>& a,
                 const std::vector<platform::RegistryChange>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].kind != b[i].kind || a[i].key != b[i].key || a[i].value.name != b[i].value.name)
      return false;
    if (a[i].kind == platform::RegistryChange::Kind::kSetValue &&
        (a[i].value.type != b[i].value.type || a[i].value.data != b[i].value.data))
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  std::vector<platform::RegistryChange> changes, again;
  platform::RegFileError error;
  if (!platform::ParseRegFile(in, &changes, &error)) {
    Check(changes.empty() && error.line >= 1 && !error.reason.empty());
    const auto lines = static_cast<size_t>(std::count(in.begin(), in.end(), '\n')) + 1;
    Check(static_cast<size_t>(error.line) <= lines);
    return 0;
  }
  for (const platform::RegistryChange& change : changes)
    Check(platform::KeyPathProblem(change.key) == nullptr);
  std::string text, rewritten;
  Check(platform::WriteRegFile(changes, &text));
  Check(platform::ParseRegFile(text, &again, &error));
  Check(SameChanges(changes, again));
  Check(platform::WriteRegFile(again, &rewritten) && rewritten == text);
  return 0;
}
