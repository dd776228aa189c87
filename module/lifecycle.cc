#include "module/lifecycle.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "module/module_state.h"
#include "module/work_mode.h"
#include "platform/registry.h"
#include "support/trace.h"

namespace module {

void Minit() {
  TraceSetLogFile("settingsext.log", "a");
  TraceReadRegistry(platform::LocalMachine(), kTraceKey);
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "minit()\n");
  ReadWorkMode();
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "minit() finished\n");
}

void Rinit() {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "rinit()\n");
}

void Rshutdown() {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "rshutdown()\n");
}

void Mshutdown() {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "mshutdown()\n");
  State().initialised.store(0);
  platform::ReleaseLocalMachine();
}

void Minfo() {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "minfo()\n");
}

void FormatSessionViewAddress(char* buffer, size_t size) {
  std::snprintf(buffer, size, "%.8" PRIXPTR, reinterpret_cast<uintptr_t>(State().session_view));
}

}  // namespace module
