// Reading and writing .reg text (reg_file.h).
//
// Thread safety: stateless; see reg_file.h.
#include "platform/reg_file.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>

namespace platform {
namespace {

constexpr std::string_view kMachineRoots[] = {"HKEY_LOCAL_MACHINE", "HKLM"};
constexpr size_t kHexLineWidth = 76;  // wrap hex data before this column, as regedit does

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Lower(text[i]) != Lower(prefix[i])) return false;
  return true;
}

int HexDigit(char c) {
  return (c >= '0' && c <= '9')   ? c - '0'
         : (c >= 'a' && c <= 'f') ? c - 'a' + 10
         : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                  : -1;
}

// Reads 1 to `max_digits` hex digits making up all of `text`.
bool ParseHex(std::string_view text, size_t max_digits, uint32_t* number) {
  if (text.empty() || text.size() > max_digits) return false;
  *number = 0;
  for (char c : text) {
    int digit = HexDigit(c);
    if (digit < 0) return false;
    *number = *number * 16 + static_cast<uint32_t>(digit);
  }
  return true;
}

// The root name is matched as a whole path component: "HKLMX\a" is not HKLM.
bool MatchRoot(std::string_view full_path, std::string_view root, std::string_view* rest) {
  if (!StartsWithNoCase(full_path, root)) return false;
  std::string_view after = full_path.substr(root.size());
  if (!after.empty() && after.front() != '\\') return false;
  *rest = after;
  return true;
}

// Parses the quoted string at text[*pos] (a '"'), undoing the \\ and \" escapes.
bool ParseQuoted(std::string_view text, size_t* pos, std::string* out, std::string* reason) {
  for (size_t i = *pos + 1; i < text.size(); ++i) {
    if (text[i] == '"') {
      *pos = i + 1;
      return true;
    }
    if (text[i] == '\\') {
      if (i + 1 == text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) {
        *reason = "unknown escape in quoted text (only \\\\ and \\\" are allowed)";
        return false;
      }
      ++i;
    }
    out->push_back(text[i]);
  }
  *reason = "missing closing quote";
  return false;
}

class Parser {
 public:
  Parser(std::string_view text, std::vector<RegistryChange>* changes, RegFileError* error)
      : changes_(changes), error_(error) {
    while (!text.empty()) {
      size_t end = text.find('\n');
      std::string_view line = text.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      lines_.push_back(line);
      text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
  }

  bool Parse() {
    bool header_seen = false;
    for (index_ = 0; index_ < lines_.size(); ++index_) {
      std::string_view line = Trim(lines_[index_]);
      if (line.empty()) continue;
      if (!header_seen) {
        if (line != kRegFileHeader)
          return Fail("the first line must be \"" + std::string(kRegFileHeader) + "\"");
        header_seen = true;
      } else if (line.front() == ';') {
        continue;
      } else if (line.front() == '[') {
        if (!ParseKeyLine(line)) return false;
      } else if (line.front() == '@' || line.front() == '"') {
        if (!ParseValueLine(line)) return false;
      } else {
        return Fail("unrecognised line");
      }
    }
    if (!header_seen) {
      index_ = 0;
      return Fail("empty file: the header line is missing");
    }
    return true;
  }

 private:
  bool Fail(std::string reason) {
    error_->line = static_cast<int>(index_) + 1;
    error_->reason = std::move(reason);
    return false;
  }

  // A carriage return inside a line is taken as a character, but a name holding one could
  // not be written out again: true, with the failure recorded, for such a name (a damaged
  // line end most likely).
  bool RefuseLineBreak(std::string_view name) {
    if (!HasLineBreak(name)) return false;
    Fail("a name holds a carriage return");
    return true;
  }

  bool ParseKeyLine(std::string_view line) {
    if (line.back() != ']') return Fail("key line without closing ']'");
    line = line.substr(1, line.size() - 2);
    const bool remove = !line.empty() && line.front() == '-';
    if (remove) line.remove_prefix(1);
    std::string path;
    if (!ParseMachineKey(line, &path)) return Fail("only HKEY_LOCAL_MACHINE keys can be imported");
    // The hive's rules, but only trailing backslashes are dropped.
    while (!path.empty() && path.back() == '\\') path.pop_back();
    if (const char* problem = KeyPathProblem(path)) return Fail(problem);
    if (RefuseLineBreak(path)) return false;
    if (remove && path.empty()) return Fail("the root key cannot be deleted");
    RegistryChange change;
    change.kind = remove ? RegistryChange::Kind::kDeleteKey : RegistryChange::Kind::kCreateKey;
    change.key = path;
    changes_->push_back(std::move(change));
    key_ = remove ? std::nullopt : std::optional<std::string>(std::move(path));
    key_line_seen_ = true;
    return true;
  }

  bool ParseValueLine(std::string_view line) {
    if (!key_line_seen_) return Fail("value line before any key line");
    if (!key_) return Fail("value line under a deleted key");
    RegistryChange change;
    change.kind = RegistryChange::Kind::kSetValue;
    change.key = *key_;
    RegistryValue& value = change.value;
    size_t pos = 0;
    std::string reason;
    if (line.front() == '@')
      pos = 1;
    else if (!ParseQuoted(line, &pos, &value.name, &reason))
      return Fail(reason);
    if (RefuseLineBreak(value.name)) return false;
    std::string_view rest = Trim(line.substr(pos));
    if (rest.empty() || rest.front() != '=') return Fail("expected '=' after the value name");
    rest = Trim(rest.substr(1));

    uint32_t number = 0;
    if (rest == "-") {
      change.kind = RegistryChange::Kind::kDeleteValue;
    } else if (!rest.empty() && rest.front() == '"') {
      pos = 0;
      if (!ParseQuoted(rest, &pos, &value.data, &reason)) return Fail(reason);
      if (pos != rest.size()) return Fail("unexpected text after the closing quote");
      value.type = kRegSz;
      value.data.push_back('\0');  // stored terminated, as the registry editor does
    } else if (StartsWithNoCase(rest, "dword:")) {
      if (!ParseHex(rest.substr(6), 8, &number)) return Fail("dword needs 1 to 8 hex digits");
      value.type = kRegDword;
      for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<char>(number >> (8 * i)));
    } else if (StartsWithNoCase(rest, "hex:")) {
      value.type = kRegBinary;
      if (!ParseHexBytes(rest.substr(4), &value.data)) return false;
    } else if (StartsWithNoCase(rest, "hex(")) {
      size_t close = rest.find("):");
      if (close == std::string_view::npos || !ParseHex(rest.substr(4, close - 4), 8, &number))
        return Fail("hex(N): needs a hex type number N");
      value.type = number;
      if (!ParseHexBytes(rest.substr(close + 2), &value.data)) return false;
    } else {
      return Fail("unrecognised value data");
    }
    changes_->push_back(std::move(change));
    return true;
  }

  // Comma-separated hex bytes; a line ending in '\' continues on the next one, whose
  // leading blanks are skipped. Advances index_ past the continuation lines.
  bool ParseHexBytes(std::string_view segment, std::string* out) {
    for (;;) {
      segment = Trim(segment);
      const bool more = !segment.empty() && segment.back() == '\\';
      if (more) segment = Trim(segment.substr(0, segment.size() - 1));
      std::vector<std::string_view> items;
      for (size_t start = 0; !segment.empty() && start <= segment.size();) {
        size_t comma = std::min(segment.find(',', start), segment.size());
        items.push_back(Trim(segment.substr(start, comma - start)));
        start = comma + 1;
      }
      // A comma may end a line that continues; anywhere else an item must be a byte.
      if (more && items.size() > 1 && items.back().empty()) items.pop_back();
      for (std::string_view item : items) {
        uint32_t byte = 0;
        if (!ParseHex(item, 2, &byte)) return Fail("bad hex byte \"" + std::string(item) + "\"");
        out->push_back(static_cast<char>(byte));
      }
      if (!more) return true;
      if (index_ + 1 == lines_.size()) return Fail("hex data continues past the end of the file");
      segment = lines_[++index_];
    }
  }

  std::vector<std::string_view> lines_;
  size_t index_ = 0;
  std::vector<RegistryChange>* changes_;
  RegFileError* error_;
  bool key_line_seen_ = false;
  std::optional<std::string> key_;  // empty after a [-KEY] line
};

void AppendQuoted(std::string_view text, std::string* out) {
  out->push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

// A REG_SZ that reads back as the same bytes from "text": one terminator, at the end.
bool IsPlainString(std::string_view data) {
  return !data.empty() && data.find('\0') == data.size() - 1 && !HasLineBreak(data);
}

void AppendValue(const RegistryValue& value, std::string* out) {
  size_t line_start = out->size();
  if (value.name.empty())
    out->push_back('@');
  else
    AppendQuoted(value.name, out);
  out->push_back('=');
  char buffer[32];
  const std::string& data = value.data;
  if (value.type == kRegSz && IsPlainString(data)) {
    AppendQuoted(std::string_view(data).substr(0, data.size() - 1), out);
  } else if (value.type == kRegDword && data.size() == 4) {
    uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<unsigned char>(data[i]);
    std::snprintf(buffer, sizeof buffer, "dword:%08x", number);
    out->append(buffer);
  } else {
    std::snprintf(buffer, sizeof buffer, "hex(%x):", value.type);
    out->append(value.type == kRegBinary ? "hex:" : buffer);
    for (size_t i = 0; i < data.size(); ++i) {
      std::snprintf(buffer, sizeof buffer, "%02x", static_cast<unsigned char>(data[i]));
      out->append(buffer);
      if (i + 1 == data.size()) break;
      out->push_back(',');
      if (out->size() - line_start >= kHexLineWidth) {
        out->append("\\\r\n  ");
        line_start = out->size() - 2;
      }
    }
  }
  out->append("\r\n");
}

void AppendKeyLine(std::string_view path, bool deleted, std::string* out) {
  out->append(deleted ? "[-HKEY_LOCAL_MACHINE" : "[HKEY_LOCAL_MACHINE");
  if (!path.empty()) out->append("\\").append(path);
  out->append("]\r\n");
}

// Appends the changes that make key `key` and everything below it.
uint32_t CollectKey(Hive& hive, const RegistryKey& key, std::vector<RegistryChange>* changes) {
  changes->push_back({RegistryChange::Kind::kCreateKey, key.path(), {}});
  std::vector<RegistryValue> values;
  uint32_t result = hive.EnumValues(key, &values);
  if (result != kErrorSuccess) return result;
  for (RegistryValue& value : values)
    changes->push_back({RegistryChange::Kind::kSetValue, key.path(), std::move(value)});
  std::string name;
  for (uint32_t index = 0; (result = hive.EnumKey(key, index, &name)) == kErrorSuccess; ++index) {
    RegistryKey child;
    result = hive.OpenKey(key, name, kKeyRead, &child);
    if (result == kErrorFileNotFound) continue;  // deleted while we walk
    if (result == kErrorSuccess) result = CollectKey(hive, child, changes);
    if (result != kErrorSuccess) return result;
  }
  return result == kErrorNoMoreItems ? kErrorSuccess : result;
}

}  // namespace

bool ParseMachineKey(std::string_view full_path, std::string* subkey) {
  for (std::string_view root : kMachineRoots) {
    std::string_view rest;
    if (MatchRoot(full_path, root, &rest)) {
      subkey->assign(rest.empty() ? rest : rest.substr(1));
      return true;
    }
  }
  return false;
}

bool ParseRegFile(std::string_view text, std::vector<RegistryChange>* changes,
                  RegFileError* error) {
  changes->clear();
  *error = RegFileError();
  if (text.substr(0, 2) == "\xff\xfe" || text.substr(0, 2) == "\xfe\xff") {
    error->line = 1;
    error->reason = "UTF-16 text is not read; save the file as UTF-8";
    return false;
  }
  if (text.substr(0, 3) == "\xef\xbb\xbf") text.remove_prefix(3);
  Parser parser(text, changes, error);
  if (parser.Parse()) return true;
  changes->clear();
  return false;
}

bool WriteRegFile(const std::vector<RegistryChange>& changes, std::string* text) {
  using Kind = RegistryChange::Kind;
  std::string out(kRegFileHeader);
  out.append("\r\n\r\n");
  const RegistryChange* section = nullptr;  // the change of the last key line
  for (const RegistryChange& change : changes) {
    if (HasLineBreak(change.key) || HasLineBreak(change.value.name)) return false;
    const bool key_line = change.kind == Kind::kCreateKey || change.kind == Kind::kDeleteKey;
    if (key_line || section == nullptr || section->kind == Kind::kDeleteKey ||
        section->key != change.key) {
      if (section != nullptr) out.append("\r\n");
      AppendKeyLine(change.key, change.kind == Kind::kDeleteKey, &out);
      section = &change;
    }
    if (change.kind == Kind::kSetValue) {
      AppendValue(change.value, &out);
    } else if (change.kind == Kind::kDeleteValue) {
      if (change.value.name.empty())
        out.push_back('@');
      else
        AppendQuoted(change.value.name, &out);
      out.append("=-\r\n");
    }
  }
  if (section != nullptr) out.append("\r\n");
  *text = std::move(out);
  return true;
}

uint32_t ExportRegFile(Hive& hive, std::string_view subkey, std::string* text) {
  RegistryKey key;
  uint32_t result = hive.OpenKey(subkey, kKeyRead, &key);
  std::vector<RegistryChange> changes;
  if (result == kErrorSuccess) result = CollectKey(hive, key, &changes);
  if (result != kErrorSuccess) return result;
  return WriteRegFile(changes, text) ? kErrorSuccess : kErrorInvalidParameter;
}

bool ParseHexDigits(std::string_view text, std::string* bytes) {
  if (text.size() % 2 != 0) return false;
  std::string out;
  out.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<char>(high << 4 | low));
  }
  *bytes = std::move(out);
  return true;
}

}  // namespace platform
