// The debug trace: switches read from the registry, a filter per line, and one write per
// line to a log file shared by every process and thread of the host.
//
// Thread safety: the switches (TraceEnabled, the component lists, level and mask) are
// written only at start-up (TraceReadRegistry, TraceSetLogFile) and read without the lock
// afterwards. Composing a line and everything about the log file handle happens under
// the one trace lock. The lock is taken around fork, so a child never inherits it held.
#include "support/trace.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/fork_handlers.h"
#include "platform/machine_root.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/unicode.h"
#include "support/sync.h"

namespace support {

int32_t TraceEnabled = 0;

namespace {

using platform::kMaxPath;                  // file names, with their terminator
constexpr size_t kModeSize = 32;           // open mode, with its terminator
constexpr size_t kMaxComponentList = 248;  // characters kept of DebugInclude/DebugExclude
constexpr size_t kMaxMessage = 1023;       // characters of a formatted message
constexpr size_t kMaxRegistryText = 1024;  // bytes read of a string switch
constexpr int32_t kDefaultMaxLevel = 255;
constexpr uint32_t kDefaultSeverityMask = 0xFFFFFFFF;
constexpr char kComponentSeparators[] = " ,\t\n";
// How often, at most, a line being written looks whether the log was rotated away.
constexpr uint32_t kRotationCheckMs = 1000;

// Every global here is trivially destructible, so nothing runs at exit and a line traced from
// another library's destructor still finds the state intact.
char g_log_file_name[kMaxPath];
char g_open_mode[kModeSize];
char g_include[kMaxComponentList + 1];
char g_exclude[kMaxComponentList + 1];
int32_t g_max_level = kDefaultMaxLevel;
uint32_t g_severity_mask = kDefaultSeverityMask;
platform::FileHandle g_log_file = platform::kInvalidFileHandle;  // under the lock
bool g_log_refused = false;                                      // under the lock
uint32_t g_rotation_checked_at = 0;                              // tick count, under the lock
bool g_rotation_checked = false;                                 // under the lock

void LockBeforeFork();
void UnlockInParent();
void ReinitializeInChild();

FCriticalSection* MakeTraceLock() {
  auto* lock = new FCriticalSection(0);
  // A line being composed while another thread forks would leave the child with the lock
  // held by a thread it does not have; the next line there would hang. Holding the lock
  // across fork means the child gets it free and no line half-composed.
  platform::RegisterForkHandlers(LockBeforeFork, UnlockInParent, ReinitializeInChild);
  return lock;
}

// Never destroyed on purpose (see above); made on first use or at library load, whichever
// comes first, so static initialisers elsewhere may trace.
FCriticalSection& TraceLock() {
  static FCriticalSection* const lock = MakeTraceLock();
  return *lock;
}
[[maybe_unused]] const bool g_lock_made_at_load = (TraceLock(), true);

void LockBeforeFork() { TraceLock().Lock(); }
void UnlockInParent() { TraceLock().Unlock(); }
void ReinitializeInChild() { TraceLock().ReinitializeAfterFork(); }

// Copies at most `capacity` - 1 characters of `text` and terminates.
void CopyCut(char* target, size_t capacity, const char* text, size_t length) {
  if (length > capacity - 1) length = capacity - 1;
  memcpy(target, text, length);
  target[length] = '\0';
}

void CopyCut(char* target, size_t capacity, const char* text) {
  CopyCut(target, capacity, text, strlen(text));
}

// ASCII letters compared without regard to case.
bool EqualFolded(const char* a, const char* b, size_t length) {
  auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (size_t i = 0; i < length; ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// True when `component` is one of the tokens of `list`, compared without regard to case.
bool ListContains(const char* list, const char* component) {
  size_t component_length = strlen(component);
  if (component_length == 0) return false;  // empty tokens do not exist
  const char* cursor = list;
  while (*cursor != '\0') {
    cursor += strspn(cursor, kComponentSeparators);
    size_t token_length = strcspn(cursor, kComponentSeparators);
    if (token_length == component_length && EqualFolded(cursor, component, token_length)) {
      return true;
    }
    cursor += token_length;
  }
  return false;
}

bool ComponentPasses(const char* component) {
  if (component == nullptr) component = "";
  if (g_include[0] != '\0') return ListContains(g_include, component);
  if (g_exclude[0] != '\0') return !ListContains(g_exclude, component);
  return true;
}

// What an fopen-style mode asks of the log, which is always appended to: processes forked
// from one parent and separate processes share it, and only appending lets each line land
// whole at the current end. "w" would empty the file at the first line of each process;
// it appends as "a" does. The name is configuration a group may write, so emptying would
// let it destroy whatever file it names (another site's page, the log other processes are
// writing); a file this open makes is empty anyway, so only a file someone else made could
// lose anything. "x" opens only a file this process makes. False for modes fopen would
// refuse and for "r", whose stream could not be written at all: those lines go to the debug
// sink instead.
bool DispositionForMode(const char* mode, uint32_t* disposition) {
  bool plus = false;
  bool exclusive = false;
  // fopen reads the modifiers after the first character up to the first it does not know.
  for (const char* modifier = mode + 1; *modifier != '\0'; ++modifier) {
    if (*modifier == '+') {
      plus = true;
    } else if (*modifier == 'x') {
      exclusive = true;
    } else if (*modifier != 'b' && *modifier != 't' && *modifier != 'e' && *modifier != 'm' &&
               *modifier != 'c') {
      break;
    }
  }
  switch (mode[0]) {
    case 'a':
    case 'w':
      *disposition = exclusive ? platform::kCreateNew : platform::kOpenAlways;
      return true;
    case 'r':
      *disposition = platform::kOpenExisting;
      return plus;
    default:
      return false;
  }
}

const char* RefusalReason(platform::LogRefusal refusal) {
  switch (refusal) {
    case platform::LogRefusal::kOutsideLogFolder:
      return "not a file of the log folder";
    case platform::LogRefusal::kLink:
      return "a symbolic link";
    case platform::LogRefusal::kNotRegularFile:
      return "not a regular file";
    case platform::LogRefusal::kOtherOwner:
      return "another account's file";
    case platform::LogRefusal::kSeveralLinks:
      return "a file with more than one name";
    case platform::LogRefusal::kNone:
      break;
  }
  return "refused";
}

// Under the lock. Leaves g_log_file invalid when the file cannot be opened; the next line
// tries again, unless the name itself was refused: then the debug sink gets one line that
// says so, and the trace of this process goes nowhere (the name is read once per process,
// and trying it at every line would only repeat the refusal).
void OpenLogFile() {
  uint32_t disposition = 0;
  if (!DispositionForMode(g_open_mode, &disposition)) return;
  platform::LogRefusal refusal = platform::LogRefusal::kNone;
  g_log_file = platform::CreateLogFile(g_log_file_name, disposition, &refusal);
  if (refusal == platform::LogRefusal::kNone) return;
  g_log_refused = true;
  char line[kMaxPath + 160];
  snprintf(line, sizeof line, "Trace file '%s' refused: %s (the trace writes only in %s)\n",
           g_log_file_name, RefusalReason(refusal), platform::MachineFile("logs").c_str());
  platform::OutputDebugString(line);
}

char SeverityDigit(uint32_t severity) {
  switch (severity) {
    case TRACE_ERROR:
      return '3';
    case TRACE_WARNING:
      return '2';
    case TRACE_INFO:
      return '1';
    default:
      return '0';
  }
}

// Appends a formatted field to `line` at `*length`, never past `capacity`.
__attribute__((format(printf, 4, 5))) void AppendField(char* line, size_t capacity, size_t* length,
                                                       const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int written = vsnprintf(line + *length, capacity - *length, format, arguments);
  va_end(arguments);
  if (written > 0) {
    *length += static_cast<size_t>(written);
    if (*length > capacity - 1) *length = capacity - 1;
  }
}

// Reads a 32-bit switch. The registry type is not looked at; any value whose data fits in
// four bytes counts (shorter data fills the low bytes).
bool QueryNumber(platform::Hive& hive, const platform::RegistryKey& key, const char* name,
                 uint32_t* number) {
  uint32_t value = 0;
  uint32_t size = sizeof value;
  if (hive.QueryValue(key, name, nullptr, &value, &size) != platform::kErrorSuccess) return false;
  *number = value;
  return true;
}

// Reads a text switch of at most 1024 bytes, terminated here since stored data may lack
// its terminator.
bool QueryText(platform::Hive& hive, const platform::RegistryKey& key, const char* name,
               char (&text)[kMaxRegistryText + 1]) {
  uint32_t size = kMaxRegistryText;
  if (hive.QueryValue(key, name, nullptr, text, &size) != platform::kErrorSuccess) return false;
  text[size] = '\0';
  return true;
}

}  // namespace

TraceLogFileSwitch ParseTraceLogFileSwitch(const char* text) {
  TraceLogFileSwitch parsed = {"", "w"};
  char* name = parsed.name;
  char* mode = parsed.mode;
  size_t name_end = strcspn(text, ",\n");
  CopyCut(name, sizeof parsed.name, text, name_end);
  if (text[name_end] == ',') {
    const char* rest = text + name_end + 1;
    rest += strspn(rest, " \t");
    if (*rest != '\0') {
      CopyCut(mode, sizeof parsed.mode, rest);
      mode[strcspn(mode, "\n\r\t")] = '\0';
      if (mode[0] == '\0') CopyCut(mode, sizeof parsed.mode, "w");
    }
  }
  return parsed;
}

namespace {

// Formats like vsnprintf, except that "%ls" takes a const char16_t* (the system's UTF-16
// text), written as UTF-8. Every other conversion is handed to snprintf one at a time.
int FormatWide(char* out, size_t size, const char* format, va_list* arguments) {
  size_t length = 0;
  auto put = [&](const char* text, size_t count) {
    for (size_t i = 0; i < count && length + 1 < size; ++i) out[length++] = text[i];
  };
  for (const char* p = format; *p != '\0';) {
    if (*p != '%') {
      put(p++, 1);
      continue;
    }
    // One conversion: flags, width, precision, length, conversion character.
    char spec[48] = "%";
    size_t spec_length = 1;
    auto add = [&](const char* text) {
      for (; *text != '\0' && spec_length + 1 < sizeof spec; ++text) spec[spec_length++] = *text;
      spec[spec_length] = '\0';
    };
    ++p;
    while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) add(std::string(1, *p++).c_str());
    for (int part = 0; part < 2; ++part) {  // width, then precision
      if (part == 1) {
        if (*p != '.') break;
        add(".");
        ++p;
      }
      if (*p == '*') {
        add(std::to_string(va_arg(*arguments, int)).c_str());
        ++p;
      }
      while (*p >= '0' && *p <= '9') add(std::string(1, *p++).c_str());
    }
    std::string modifier;
    while (*p != '\0' && std::strchr("hlLqjzt", *p) != nullptr) modifier += *p++;
    add(modifier.c_str());
    const char conversion = *p;
    if (conversion == '\0') break;
    ++p;
    add(std::string(1, conversion).c_str());
    char field[kMaxMessage + 1];
    int written = 0;
    switch (conversion) {
      case '%':
        put("%", 1);
        continue;
      case 's':
        if (modifier == "l") {
          const auto* text = va_arg(*arguments, const char16_t*);
          const std::string utf8 = text != nullptr ? platform::Utf16ToUtf8(text) : "(null)";
          spec[spec_length - 2] = 's';  // "%...ls" -> "%...s"
          spec[spec_length - 1] = '\0';
          written = snprintf(field, sizeof field, spec, utf8.c_str());
        } else {
          written = snprintf(field, sizeof field, spec, va_arg(*arguments, const char*));
        }
        break;
      case 'd': case 'i': case 'u': case 'o': case 'x': case 'X': case 'c':
        if (modifier == "ll" || modifier == "j" || modifier == "q") {
          written = snprintf(field, sizeof field, spec, va_arg(*arguments, long long));
        } else if (modifier == "l" || modifier == "z" || modifier == "t") {
          written = snprintf(field, sizeof field, spec, va_arg(*arguments, long));
        } else {
          written = snprintf(field, sizeof field, spec, va_arg(*arguments, int));
        }
        break;
      case 'p':
        written = snprintf(field, sizeof field, spec, va_arg(*arguments, void*));
        break;
      case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
        if (modifier == "L") {
          written = snprintf(field, sizeof field, spec, va_arg(*arguments, long double));
        } else {
          written = snprintf(field, sizeof field, spec, va_arg(*arguments, double));
        }
        break;
      default:
        return -1;  // a conversion this formatter does not know
    }
    if (written > 0) put(field, std::min<size_t>(static_cast<size_t>(written), sizeof field - 1));
  }
  if (size > 0) out[length] = '\0';
  return static_cast<int>(length);
}

// Writes one line of `severity` and `level` when the filters let it through; the message
// comes from `format` and its arguments, formatted by vsnprintf or, with `wide`, by
// FormatWide.
void WriteLine(const char* component, uint32_t severity, int32_t level, bool wide,
               const char* format, va_list* arguments) {
  if (TraceEnabled == 0) return;
  if (!ComponentPasses(component)) return;
  if ((severity & g_severity_mask) == 0 || level > g_max_level) return;

  FLockGuard guard(&TraceLock());
  // Prefix fields take at most about 50 characters; the message adds at most 1023.
  char line[64 + kMaxMessage + 1];
  size_t length = 0;
  line[length++] = SeverityDigit(severity);
  line[length++] = '\t';
  AppendField(line, sizeof line, &length, "%lX\t",
              static_cast<unsigned long>(platform::GetCurrentThreadId()));
  platform::SystemTime local;
  if (platform::GetLocalTime(&local)) {
    AppendField(line, sizeof line, &length, "%2d/%02d/%02d %02d:%02d:%02d\t", local.year % 100,
                local.month, local.day, local.hour, local.minute, local.second);
  }
  const uint32_t tick = platform::GetTickCount();
  AppendField(line, sizeof line, &length, "%08lX\t", static_cast<unsigned long>(tick));
  if (format != nullptr) {
    const int written = wide ? FormatWide(line + length, kMaxMessage + 1, format, arguments)
                             : vsnprintf(line + length, kMaxMessage + 1, format, *arguments);
    if (written > 0) length += written > static_cast<int>(kMaxMessage) ? kMaxMessage : written;
  }
  line[length] = '\0';

  // A rotated log (renamed, a new one made in its place) is let go and the new one opened,
  // so that the lines do not keep going to the old file. Looked at once a second at most.
  if (g_log_file != platform::kInvalidFileHandle &&
      (!g_rotation_checked || tick - g_rotation_checked_at >= kRotationCheckMs)) {
    g_rotation_checked = true;
    g_rotation_checked_at = tick;
    if (platform::LogFileMoved(g_log_file, g_log_file_name)) {
      platform::CloseHandle(g_log_file);
      g_log_file = platform::kInvalidFileHandle;
    }
  }
  if (g_log_file == platform::kInvalidFileHandle && !g_log_refused &&
      g_log_file_name[0] != '\0') {
    OpenLogFile();
  }
  uint32_t written = 0;
  if (g_log_file != platform::kInvalidFileHandle &&
      platform::WriteFile(g_log_file, line, static_cast<uint32_t>(length), &written)) {
    return;
  }
  if (!g_log_refused) platform::OutputDebugString(line);
}

}  // namespace

void TraceOut(const char* component, uint32_t severity, int32_t level, const char* format, ...) {
  if (TraceEnabled == 0) return;
  va_list arguments;
  va_start(arguments, format);
  WriteLine(component, severity, level, /*wide=*/false, format, &arguments);
  va_end(arguments);
}

void TraceOutWide(const char* component, uint32_t severity, int32_t level, const char* format,
                  ...) {
  if (TraceEnabled == 0) return;
  va_list arguments;
  va_start(arguments, format);
  WriteLine(component, severity, level, /*wide=*/true, format, &arguments);
  va_end(arguments);
}

void TraceSetLogFile(const char* name, const char* mode) {
  if (name != nullptr && name[0] != '\0') {
    char expanded[kMaxPath];
    size_t length = 0;
    auto append = [&](const char* text) {
      for (; *text != '\0' && length < kMaxPath - 1; ++text) expanded[length++] = *text;
    };
    for (const char* cursor = name; *cursor != '\0' && length < kMaxPath - 1; ++cursor) {
      if (*cursor != '%') {
        expanded[length++] = *cursor;
        continue;
      }
      char code = *++cursor;
      if (code == '\0') break;  // a '%' at the very end is dropped
      char field[80] = "";
      platform::SystemTime local;
      if (code == 'd') {
        if (platform::GetLocalTime(&local)) {
          snprintf(field, sizeof field, "%04d%02d%02d", local.year, local.month, local.day);
        }
      } else if (code == 'p') {
        snprintf(field, sizeof field, "%lu",
                 static_cast<unsigned long>(platform::GetCurrentProcessId()));
      } else if (code == 't') {
        if (platform::GetLocalTime(&local)) {
          // The hour is not padded: 9:05:07 gives "90507".
          snprintf(field, sizeof field, "%d%02d%02d", local.hour, local.minute, local.second);
        }
      }
      // Any other code is dropped together with its '%'.
      append(field);
    }
    expanded[length] = '\0';
    memcpy(g_log_file_name, expanded, length + 1);
  }
  if (mode != nullptr && mode[0] != '\0') CopyCut(g_open_mode, sizeof g_open_mode, mode);
}

void TraceReadRegistry(platform::Hive& root, const char* subkey) {
  FLockGuard guard(&TraceLock());
  TraceEnabled = 0;
  g_max_level = kDefaultMaxLevel;
  g_severity_mask = kDefaultSeverityMask;
  g_include[0] = '\0';
  g_exclude[0] = '\0';

  platform::RegistryKey key;
  if (subkey == nullptr ||
      root.OpenKey(subkey, platform::kKeyRead, &key) != platform::kErrorSuccess) {
    return;
  }
  uint32_t number = 0;
  char text[kMaxRegistryText + 1];
  bool enabled = QueryNumber(root, key, "DebugOutput", &number) && number != 0;
  if (QueryText(root, key, "DebugLogFile", text)) {
    TraceLogFileSwitch log_file = ParseTraceLogFileSwitch(text);
    TraceSetLogFile(log_file.name, log_file.mode);
  }
  if (QueryText(root, key, "DebugInclude", text)) CopyCut(g_include, sizeof g_include, text);
  if (QueryText(root, key, "DebugExclude", text)) CopyCut(g_exclude, sizeof g_exclude, text);
  if (QueryNumber(root, key, "DebugLevel", &number)) g_max_level = static_cast<int32_t>(number);
  if (QueryNumber(root, key, "DebugSeverity", &number)) g_severity_mask = number;
  // Switched on last, once every filter is in place.
  TraceEnabled = enabled ? 1 : 0;
}

void TraceShutdown() {
  FLockGuard guard(&TraceLock());
  TraceEnabled = 0;
  g_log_file_name[0] = '\0';
  g_open_mode[0] = '\0';
  g_include[0] = '\0';
  g_exclude[0] = '\0';
  g_max_level = kDefaultMaxLevel;
  g_severity_mask = kDefaultSeverityMask;
  if (g_log_file != platform::kInvalidFileHandle) platform::CloseHandle(g_log_file);
  g_log_file = platform::kInvalidFileHandle;
  g_log_refused = false;
  g_rotation_checked = false;
}

TraceText::TraceText(uint32_t severity, int32_t level) : severity_(severity), level_(level) {
  text_[0] = '\0';
}

TraceText& TraceText::Append(const char* text) {
  if (text == nullptr) return *this;
  size_t length = strlen(text_);
  size_t room = sizeof text_ - 1 - length;
  size_t count = strnlen(text, room);
  memcpy(text_ + length, text, count);
  text_[length + count] = '\0';
  return *this;
}

TraceText& TraceText::Append(uint32_t number) {
  char scratch[80];
  snprintf(scratch, sizeof scratch, "%lu", static_cast<unsigned long>(number));
  return Append(scratch);
}

}  // namespace support
