#include "module/work_mode.h"

#include <cstring>
#include <vector>

#include "module/module_state.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "support/trace.h"

using support::TRACE_INFO;
using support::TraceEnabled;
using support::TraceOut;

namespace module {

namespace {
// The executable's path is asked for into a buffer grown by this many characters at a
// time until it fits.
constexpr uint32_t kPathGrowth = 291;
// Four characters of value and the terminator: longer values are cut before comparing.
constexpr uint32_t kWorkModeBufferSize = 5;
}  // namespace

std::string WorkModeIniPath() {
  std::vector<char> buffer;
  uint32_t length = 0;
  do {
    buffer.resize(buffer.size() + kPathGrowth);
    length = platform::GetModuleFileName(buffer.data(), static_cast<uint32_t>(buffer.size()));
    if (length == 0) return std::string();
  } while (length >= buffer.size());

  std::string path(buffer.data(), length);
  path.erase(path.rfind(platform::kPathSeparator) + 1);  // npos + 1 == 0: no folder at all
  return path + kWorkModeIniName;
}

void ReadWorkMode() {
  const std::string ini = WorkModeIniPath();
  if (ini.empty()) return;

  char value[kWorkModeBufferSize];
  if (platform::GetPrivateProfileString("General", "work_mode_val", "0", value,
                                        kWorkModeBufferSize, ini.c_str()) == 0) {
    return;
  }
  ModuleState& state = State();
  if (std::strcmp(value, "2") == 0) {
    if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "The product is running in No Service Check Mode\n");
    state.no_service_check_mode = 1;
  } else if (std::strcmp(value, "3") == 0) {
    if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "The product is running in Demo Mode\n");
    state.demo_mode = 1;
  }
}

}  // namespace module
