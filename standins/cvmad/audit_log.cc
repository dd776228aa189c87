// The agent's audit lines. Values are read from their encoded form and rendered only as far
// as a record keeps them, so that a record of a 16 MiB table costs a kilobyte, not the table
// decoded.
//
// Thread safety: see audit_log.h.
#include "standins/cvmad/audit_log.h"

#ifdef _WIN32
#include <windows.h>

#include <filesystem>
#else
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>

#include "platform/unicode.h"
#include "settings/enciphered_settings.h"
#include "standins/agent_api/cvpmapi.h"
#include "standins/service/log.h"
#include "standins/wire/wire.h"

namespace cvmad {
namespace {

// Add writes once this much waits, so that an import of many variables is not held whole.
constexpr size_t kFlushBytes = 64 * 1024;

bool TakeBytes(std::string_view* in, size_t size, std::string_view* bytes) {
  if (in->size() < size) return false;
  *bytes = in->substr(0, size);
  in->remove_prefix(size);
  return true;
}

bool TakeU8(std::string_view* in, uint8_t* value) {
  std::string_view byte;
  if (!TakeBytes(in, 1, &byte)) return false;
  *value = static_cast<uint8_t>(byte[0]);
  return true;
}

// Appends up to `limit` - out->size() + 1 code units' worth of the UTF-16 string at `in`
// (enough to tell that the text is cut), in UTF-8.
bool TakeString16(std::string_view* in, size_t limit, std::string* out) {
  uint32_t units;
  std::string_view bytes;
  if (!wire::GetU32(in, &units) || units > in->size() / 2 ||
      !TakeBytes(in, units * size_t{2}, &bytes))
    return false;
  const size_t room = out->size() > limit ? 0 : limit - out->size() + 1;
  std::u16string text;
  for (size_t i = 0; i < units && i < room; ++i) {
    text += static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                  static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
  }
  *out += platform::Utf16ToUtf8(text);
  if (units > room) *out += "\xEF\xBF\xBD";  // anything: the text is cut before it
  return true;
}

// A table cell as the console writes it: quoted when it holds a comma, a quote, a blank or
// a line break, quotes doubled.
void AppendCell(const std::string& cell, std::string* out) {
  if (cell.find_first_of(",\" \t\r\n") == std::string::npos) {
    *out += cell;
    return;
  }
  *out += '"';
  for (char c : cell) {
    if (c == '"') *out += '"';
    *out += c;
  }
  *out += '"';
}

// Renders the value after the variable's header; false when it is malformed.
bool RenderValue(uint8_t type, std::string_view in, std::string* out) {
  uint32_t raw;
  switch (type) {
    case VMP_TYPE_INT:
      if (!wire::GetU32(&in, &raw)) return false;
      *out = std::to_string(static_cast<int32_t>(raw));
      return true;
    case VMP_TYPE_STRING:
      return TakeString16(&in, kAuditMaxValueBytes, out);
    case VMP_TYPE_BINARY: {
      std::string_view bytes;
      if (!wire::GetU32(&in, &raw) || !TakeBytes(&in, raw, &bytes)) return false;
      *out = "0x";
      for (size_t i = 0; i < bytes.size() && out->size() <= kAuditMaxValueBytes; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", static_cast<uint8_t>(bytes[i]));
        *out += digits;
      }
      return true;
    }
    case VMP_TYPE_TABLE: {
      uint16_t columns;
      uint32_t rows;
      if (!wire::GetU16(&in, &columns)) return false;
      std::string column_types;  // 's' or 'i' a column
      for (uint16_t c = 0; c < columns; ++c) {
        if (!wire::GetU32(&in, &raw)) return false;
        column_types += VMP_COLUMN_IS_STRING(raw) ? 's' : 'i';
      }
      if (!wire::GetU32(&in, &rows)) return false;
      for (uint32_t r = 0; r < rows && out->size() <= kAuditMaxValueBytes; ++r) {
        for (uint16_t c = 0; c < columns; ++c) {
          std::string cell;
          if (!wire::GetU32(&in, &raw)) return false;  // the cell's flags
          if (column_types[c] == 's') {
            if (!TakeString16(&in, kAuditMaxValueBytes, &cell)) return false;
          } else {
            if (!wire::GetU32(&in, &raw)) return false;
            cell = std::to_string(static_cast<int32_t>(raw));
          }
          if (c > 0) *out += ',';
          AppendCell(cell, out);
          if (out->size() > kAuditMaxValueBytes) break;
        }
        *out += '\n';
      }
      return true;
    }
    default:
      return false;
  }
}

// Cuts `text` to kAuditMaxValueBytes at a character boundary, and marks the cut.
void Cut(std::string* text) {
  if (text->size() <= kAuditMaxValueBytes) return;
  size_t end = kAuditMaxValueBytes;
  while (end > 0 && (static_cast<uint8_t>((*text)[end]) & 0xC0) == 0x80) --end;
  text->resize(end);
  *text += kAuditCutMark;
}

// A JSON string: the text made well-formed UTF-8, then every character that could end or
// break a line (or the string) escaped.
void AppendJson(std::string_view text, std::string* out) {
  const std::string clean = platform::IsUtf8(text)
                                ? std::string(text)
                                : platform::Utf16ToUtf8(platform::Utf8ToUtf16(text));
  *out += '"';
  for (size_t i = 0; i < clean.size(); ++i) {
    const auto c = static_cast<uint8_t>(clean[i]);
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += static_cast<char>(c);
    } else if (c == '\n' || c == '\r' || c == '\t') {
      *out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      *out += escape;
    } else if (c == 0xE2 && clean.compare(i, 2, "\xE2\x80") == 0 && i + 2 < clean.size() &&
               (clean[i + 2] == '\xA8' || clean[i + 2] == '\xA9')) {
      *out += clean[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";  // line breaks to some readers
      i += 2;
    } else {
      *out += static_cast<char>(c);
    }
  }
  *out += '"';
}

void AppendField(const char* name, std::string_view text, std::string* out) {
  *out += ",\"";
  *out += name;
  *out += "\":";
  AppendJson(text, out);
}

}  // namespace

std::string AuditValueText(std::string_view encoded, bool masked) {
  std::string oid;
  uint8_t type;
  uint32_t restriction;
  if (!wire::DecodePackedOid(&encoded, &oid, false) || !TakeU8(&encoded, &type) ||
      !wire::GetU32(&encoded, &restriction))
    return "(unreadable)";
  if (masked) return std::string(kAuditMaskedValue);
  std::string text;
  if (!RenderValue(type, encoded, &text)) return "(unreadable)";
  Cut(&text);
  return text;
}

std::string RestrictionText(uint32_t flags) {
  if (flags == 0) return "none";
  std::string text;
  const std::pair<uint32_t, const char*> words[] = {{VMP_RESTRICT_HIDDEN, "hidden"},
                                                    {VMP_RESTRICT_FINAL, "final"},
                                                    {VMP_RESTRICT_TABLE_FINAL, "table final"}};
  for (const auto& [bit, word] : words) {
    if ((flags & bit) == 0) continue;
    text += text.empty() ? "" : ", ";
    text += word;
    flags &= ~bit;
  }
  if (flags != 0) {
    char rest[16];
    std::snprintf(rest, sizeof rest, "0x%X", flags);
    text += text.empty() ? "" : ", ";
    text += rest;
  }
  return text;
}

std::string AuditLine(std::time_t now, const Actor& actor, const AuditRecord& record) {
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char time[32];
  std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", &utc);
  std::string line = "{\"time\":\"";
  line += time;
  line += "\",\"source\":\"agent\"";
  AppendField("account", actor.account, &line);
  AppendField("address", "local, pid " + std::to_string(actor.pid), &line);
  AppendField("action", record.action, &line);
  AppendField("oid", record.oid, &line);
  const bool masked = settings::IsEncipheredSetting(record.oid);
  for (const auto& [name, value] :
       {std::pair{"old", record.old_value}, std::pair{"new", record.new_value}}) {
    if (value == nullptr) {
      line += ",\"";
      line += name;
      line += "\":null";
      continue;
    }
    std::string text;
    if (record.restriction) {
      std::string_view in = *value;
      std::string oid;
      uint8_t type;
      uint32_t flags = 0;
      text =
          wire::DecodePackedOid(&in, &oid, false) && TakeU8(&in, &type) && wire::GetU32(&in, &flags)
              ? RestrictionText(flags)
              : "(unreadable)";
    } else {
      text = AuditValueText(*value, masked);
    }
    AppendField(name, text, &line);
  }
  AppendField("result", record.result, &line);
  line += "}\n";
  return line;
}

#ifdef _WIN32
// Opened for appending only, so that each write lands at the end whoever else appends; a
// link in the trail's place is opened as itself and refused. Who owns the file is the
// machine root's access list's business there (Wine keeps no owners).
std::unique_ptr<AuditLog> AuditLog::Open(const std::string& path, std::string* error) {
  HANDLE file = CreateFileW(std::filesystem::u8path(path).wstring().c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = path + ": " + std::system_category().message(static_cast<int>(::GetLastError()));
    return nullptr;
  }
  wire::UniqueFd fd(static_cast<int>(reinterpret_cast<intptr_t>(file)));
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      info.nNumberOfLinks != 1) {
    *error = path + ": not a file of this account's that only it may write";
    return nullptr;
  }
  return std::unique_ptr<AuditLog>(new AuditLog(std::move(fd)));
}
#else
std::unique_ptr<AuditLog> AuditLog::Open(const std::string& path, std::string* error) {
  wire::UniqueFd fd(
      open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640));
  struct stat info;
  if (!fd.valid() || fstat(fd.get(), &info) != 0) {
    *error = path + ": " + service::ErrorText(errno);
    return nullptr;
  }
  if (!S_ISREG(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 022) != 0 ||
      info.st_nlink != 1) {
    *error = path + ": not a file of this account's that only it may write";
    return nullptr;
  }
  // Whatever the umask: the administrators' group reads the trail.
  if (fchmod(fd.get(), 0640) != 0) {
    *error = path + ": " + service::ErrorText(errno);
    return nullptr;
  }
  return std::unique_ptr<AuditLog>(new AuditLog(std::move(fd)));
}
#endif

void AuditLog::Add(const Actor& actor, const AuditRecord& record) {
  std::string line = AuditLine(std::time(nullptr), actor, record);
  bool full;
  {
    std::lock_guard lock(mutex_);
    pending_ += line;
    full = pending_.size() >= kFlushBytes;
  }
  if (full) Flush();
}

bool AuditLog::Flush() {
  std::lock_guard lock(mutex_);
  // One write of whole lines: with O_APPEND, what another writer appends comes between them.
#ifdef _WIN32
  DWORD written = 0;
  const bool ok = pending_.empty() ||
                  (WriteFile(reinterpret_cast<HANDLE>(intptr_t{fd_.get()}), pending_.data(),
                             static_cast<DWORD>(pending_.size()), &written, nullptr) &&
                   written == pending_.size());
  if (!ok) service::Log("audit records not written");
#else
  ssize_t written;
  do {
    written = write(fd_.get(), pending_.data(), pending_.size());
  } while (written < 0 && errno == EINTR);
  const bool ok = written == static_cast<ssize_t>(pending_.size());
  if (!ok) {
    service::Log("audit records not written: %s",
                 written < 0 ? service::ErrorText(errno).c_str() : "the file took part of them");
  }
#endif
  pending_.clear();
  return ok;
}

}  // namespace cvmad
