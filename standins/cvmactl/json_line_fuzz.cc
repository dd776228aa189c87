// libFuzzer target for cvmactl's line format. Any text may be given to the JSON reader; a
// line it takes as a variable must write back as a line that reads as the same variable and
// writes the same again (the one form export gives), and the variable must go over the wire
// and come back unchanged, as an import sends it.
//
// Thread safety: libFuzzer calls in from one thread.
#include <cstdlib>
#include <string>
#include <string_view>

#include "standins/cvmactl/json_line.h"
#include "standins/wire/wire.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  cvmactl::JsonValue value;
  std::string error;
  if (!cvmactl::ParseJson(in, &value, &error)) Check(error.starts_with("column "));

  wire::Variable variable, again, received;
  if (!cvmactl::VariableFromLine(in, &variable, &error)) {
    Check(!error.empty());
    return 0;
  }
  const std::string line = cvmactl::VariableToLine(variable);
  Check(cvmactl::IsValidUtf8(line) && line.find('\n') == std::string::npos);
  Check(cvmactl::VariableFromLine(line, &again, &error) && again == variable);
  Check(cvmactl::VariableToLine(again) == line);

  std::string encoded;
  wire::EncodeVariable(variable, &encoded);
  std::string_view cursor = encoded;
  Check(wire::DecodeVariable(&cursor, &received) && cursor.empty() && received == variable);
  return 0;
}
