// The debugger output stream: where diagnostic text goes when no trace file can be opened:
// syslog at debug priority on POSIX, the debugger's stream on Windows.
//
// Thread safety: safe from any thread.
#ifndef PLATFORM_DEBUG_OUTPUT_H_
#define PLATFORM_DEBUG_OUTPUT_H_

namespace platform {

// OutputDebugString: passes `text` (one or more lines) to the debug sink.
void OutputDebugString(const char* text);

}  // namespace platform

#endif  // PLATFORM_DEBUG_OUTPUT_H_
