// The debug trace: one process-wide facility through which every part of the module writes
// diagnostic lines.
//
// Tracing is off until the registry switches it on (TraceReadRegistry). A line carries a
// severity digit, the kernel thread id, the local date and time and the millisecond tick
// count, then the message, and is appended to the log file (by default settingsext.log in
// the machine root's log folder) or, when no file can be opened, to the debug output sink.
// The log is only ever a file of that folder, never emptied and never another account's
// (platform::CreateLogFile); a name refused so gets one line in the debug sink, and the
// process writes no trace.
//
// Thread safety: TraceOut may be called from any thread; one lock is held per line and the
// whole line reaches the file in one write, so lines of different threads or processes
// sharing the file never interleave. TraceSetLogFile and TraceReadRegistry configure the
// facility; they run at module start-up, before any request thread exists. TraceEnabled,
// the filters, mask and level are read without the lock.
#ifndef SUPPORT_TRACE_H_
#define SUPPORT_TRACE_H_

#include <cstdint>

#include "platform/path.h"

namespace platform {
class Hive;
}

namespace support {

inline constexpr uint32_t TRACE_ERROR = 1;
inline constexpr uint32_t TRACE_WARNING = 2;
inline constexpr uint32_t TRACE_INFO = 4;

// Shown in trace lines in place of a secret: the clear text of an enciphered setting.
inline constexpr char kTraceMaskedValue[] = "********";

// Non-zero when tracing is on. Call sites test it before they format anything:
//   if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "minit()\n");
extern int32_t TraceEnabled;

// Writes one line when tracing is on and the component, severity and level pass the
// configured filters. `component` is "threading" for the thread layer and "" everywhere
// else. The message carries its own "\n"; it is cut at 1023 characters.
void TraceOut(const char* component, uint32_t severity, int32_t level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// The same for messages that carry the system's UTF-16 text: "%ls" takes a const char16_t*
// (written as UTF-8; null as "(null)"); every other conversion is as for TraceOut.
void TraceOutWide(const char* component, uint32_t severity, int32_t level, const char* format,
                  ...);

// Stores the log file name (after expanding %d, %p and %t) and the stream open mode ("a"
// and "w" append, "x" after either opens only a file this process makes, "r+" only a file
// that is there). A null or empty name or mode leaves the stored one unchanged.
void TraceSetLogFile(const char* name, const char* mode);

// The parts of a DebugLogFile value, "name" or "name,mode": a line feed ends the name when
// no comma comes first; blanks before the mode are skipped and a line break or tab ends it;
// no mode, or an empty one, is "w". Each part is cut to what its buffer holds.
struct TraceLogFileSwitch {
  char name[platform::kMaxPath];
  char mode[32];
};
TraceLogFileSwitch ParseTraceLogFileSwitch(const char* text);

// Resets the switches to their defaults and reads them from `subkey` of `root`:
// DebugOutput, DebugLogFile, DebugInclude, DebugExclude, DebugLevel, DebugSeverity.
// A missing key leaves tracing off.
void TraceReadRegistry(platform::Hive& root, const char* subkey);

// Puts the facility back to its library-load state and closes the log file: the core's last
// holder at module shutdown, and tests, which configure the trace many times in one process.
void TraceShutdown();

// A message composed piece by piece, at most 255 characters; appends beyond are cut.
// The severity and level are carried for the caller only.
class TraceText {
 public:
  TraceText(uint32_t severity, int32_t level);

  TraceText& Append(const char* text);
  TraceText& Append(uint32_t number);  // decimal

  const char* Text() const { return text_; }
  uint32_t severity() const { return severity_; }
  int32_t level() const { return level_; }

 private:
  uint32_t severity_;
  int32_t level_;
  char text_[256];
};

}  // namespace support

#endif  // SUPPORT_TRACE_H_
