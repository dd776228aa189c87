// The directory port over libldap (being written: every open answers E_NOTIMPL for now).
#include "platform/directory.h"

namespace platform {

uint32_t ADsOpenObject(const char16_t*, const char16_t*, const char16_t*, uint32_t,
                       std::unique_ptr<IADs>*) {
  return 0x80004001;
}
uint32_t ADsOpenObject(const char16_t*, const char16_t*, const char16_t*, uint32_t,
                       std::unique_ptr<IDirectorySearch>*) {
  return 0x80004001;
}
uint32_t ADsBuildVarArrayStr(const char16_t* const* strings, uint32_t count, Variant* array) {
  std::vector<Variant> items;
  for (uint32_t i = 0; i < count; ++i) items.push_back(Variant::String(strings[i]));
  *array = Variant::Array(std::move(items));
  return 0;
}
uint64_t DirectoryOperationCount() { return 0; }

}  // namespace platform
