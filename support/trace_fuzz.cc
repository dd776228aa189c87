// libFuzzer target for the DebugLogFile value: the text as the registry read gives it (up to
// 1024 bytes, terminated). The name must be a prefix of the text without a comma or line
// feed, the mode a non-empty word without blanks in front or line breaks, both terminated
// in their buffers; "name,mode" built from them must read back the same; and storing them
// (which expands %d, %p and %t) must stay within its buffer.
//
// Thread safety: libFuzzer calls in from one thread; tracing stays off, so nothing is opened.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/trace.h"

using support::ParseTraceLogFileSwitch;
using support::TraceLogFileSwitch;
using support::TraceSetLogFile;

namespace {

constexpr size_t kMaxRegistryText = 1024;

void Check(bool condition) {
  if (!condition) std::abort();
}

size_t Length(const char* text, size_t capacity) {
  const size_t length = strnlen(text, capacity);
  Check(length < capacity);
  return length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), std::min(size, kMaxRegistryText));
  const TraceLogFileSwitch parsed = ParseTraceLogFileSwitch(text.c_str());
  const size_t name_length = Length(parsed.name, sizeof parsed.name);
  const size_t mode_length = Length(parsed.mode, sizeof parsed.mode);
  Check(std::strncmp(parsed.name, text.c_str(), name_length) == 0);
  Check(std::strpbrk(parsed.name, ",\n") == nullptr);
  Check(mode_length > 0 && std::strpbrk(parsed.mode, "\n\r\t") == nullptr &&
        parsed.mode[0] != ' ');

  const std::string again = std::string(parsed.name) + "," + parsed.mode;
  const TraceLogFileSwitch reread = ParseTraceLogFileSwitch(again.c_str());
  Check(std::strcmp(reread.name, parsed.name) == 0 && std::strcmp(reread.mode, parsed.mode) == 0);

  TraceSetLogFile(parsed.name, parsed.mode);
  return 0;
}
