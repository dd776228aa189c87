// cvmactl's line format: the strict JSON reader and writer and the line <-> variable
// conversion.
#include "standins/cvmactl/json_line.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <set>

#include "platform/reg_file.h"
#include "platform/unicode.h"
#include "standins/agent_api/cvpmapi.h"

namespace cvmactl {
namespace {

using Kind = JsonValue::Kind;

constexpr int kMaxDepth = 32;
constexpr char kHexDigits[] = "0123456789abcdef";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  bool Parse(JsonValue* value, std::string* error) {
    bool ok = ParseValue(value, 0);
    if (ok && (SkipSpace(), pos_ != text_.size())) ok = Fail("unexpected text after the value");
    if (!ok) *error = error_;
    return ok;
  }

 private:
  bool Fail(const std::string& what) {
    error_ = "column " + std::to_string(pos_ + 1) + ": " + what;
    return false;
  }
  bool AtEnd() const { return pos_ >= text_.size(); }
  void SkipSpace() {
    while (!AtEnd() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r' ||
                        text_[pos_] == '\n'))
      ++pos_;
  }
  bool Take(char c) {
    SkipSpace();
    if (AtEnd() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }

  bool ParseValue(JsonValue* value, int depth) {
    SkipSpace();
    if (AtEnd()) return Fail("a value is missing");
    const char c = text_[pos_];
    if ((c == '{' || c == '[') && depth >= kMaxDepth) return Fail("nested too deeply");
    if (c == '{') return ParseObject(value, depth);
    if (c == '[') return ParseArray(value, depth);
    if (c == '"') {
      value->kind = Kind::kString;
      return ParseString(&value->string);
    }
    if (c == '-' || IsDigit(c)) return ParseInteger(value);
    return Fail("expected an object, array, string or integer");
  }

  bool ParseObject(JsonValue* value, int depth) {
    ++pos_;
    value->kind = Kind::kObject;
    if (Take('}')) return true;
    do {
      SkipSpace();
      if (AtEnd() || text_[pos_] != '"') return Fail("expected a key");
      std::u16string key;
      if (!ParseString(&key)) return false;
      for (const JsonMember& member : value->members)
        if (member.key == key) return Fail("key given twice");
      if (!Take(':')) return Fail("expected ':'");
      JsonValue member;
      if (!ParseValue(&member, depth + 1)) return false;
      value->members.push_back({std::move(key), std::move(member)});
    } while (Take(','));
    return Take('}') || Fail("expected ',' or '}'");
  }

  bool ParseArray(JsonValue* value, int depth) {
    ++pos_;
    value->kind = Kind::kArray;
    if (Take(']')) return true;
    do {
      value->items.emplace_back();
      if (!ParseValue(&value->items.back(), depth + 1)) return false;
    } while (Take(','));
    return Take(']') || Fail("expected ',' or ']'");
  }

  bool ParseString(std::u16string* out) {
    ++pos_;
    while (!AtEnd()) {
      const unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') return ++pos_, true;
      if (c < 0x20) return Fail("control character in a string");
      if (c != '\\') {
        char32_t code_point;
        size_t length;
        if (!platform::DecodeUtf8(text_.substr(pos_), &code_point, &length)) {
          return Fail("invalid UTF-8");
        }
        platform::AppendUtf16(code_point, out);
        pos_ += length;
        continue;
      }
      if (++pos_ == text_.size()) break;
      switch (text_[pos_++]) {
        case '"':
          out->push_back(u'"');
          break;
        case '\\':
          out->push_back(u'\\');
          break;
        case '/':
          out->push_back(u'/');
          break;
        case 'b':
          out->push_back(u'\b');
          break;
        case 'f':
          out->push_back(u'\f');
          break;
        case 'n':
          out->push_back(u'\n');
          break;
        case 'r':
          out->push_back(u'\r');
          break;
        case 't':
          out->push_back(u'\t');
          break;
        case 'u': {
          // Surrogate pairs come as two escapes and land as the two code units they are.
          char16_t unit = 0;
          for (int i = 0; i < 4; ++i, ++pos_) {
            const int digit = AtEnd() ? -1 : HexValue(text_[pos_]);
            if (digit < 0) return Fail("\\u needs four hex digits");
            unit = static_cast<char16_t>(unit << 4 | digit);
          }
          out->push_back(unit);
          break;
        }
        default:
          --pos_;
          return Fail("unknown escape");
      }
    }
    return Fail("unterminated string");
  }

  bool ParseInteger(JsonValue* value) {
    const bool negative = text_[pos_] == '-';
    if (negative) ++pos_;
    if (AtEnd() || !IsDigit(text_[pos_])) return Fail("expected digits");
    if (text_[pos_] == '0' && pos_ + 1 < text_.size() && IsDigit(text_[pos_ + 1]))
      return Fail("leading zero");
    const uint64_t limit = uint64_t{std::numeric_limits<int64_t>::max()} + (negative ? 1 : 0);
    uint64_t magnitude = 0;
    for (; !AtEnd() && IsDigit(text_[pos_]); ++pos_) {
      const unsigned digit = text_[pos_] - '0';
      if (magnitude > (limit - digit) / 10) return Fail("integer out of range");
      magnitude = magnitude * 10 + digit;
    }
    if (!AtEnd() && (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E'))
      return Fail("only integers are allowed");
    value->kind = Kind::kInteger;
    value->integer =
        negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::string error_;
};

std::string Quoted(std::u16string_view text) {
  std::string out;
  AppendJsonString(text, &out);
  return out;
}

bool ToAscii(std::u16string_view text, std::string* out) {
  out->clear();
  for (char16_t c : text) {
    if (c > 0x7F) return false;
    out->push_back(static_cast<char>(c));
  }
  return true;
}

// Reads an integer in [low, high] named `what` in messages.
bool ToInteger(const JsonValue& value, const std::string& what, int64_t low, int64_t high,
               int64_t* out, std::string* error) {
  if (value.kind != Kind::kInteger) {
    *error = what + ": expected an integer";
    return false;
  }
  if (value.integer < low || value.integer > high) {
    *error = what + ": " + std::to_string(value.integer) + " is out of the 32-bit range";
    return false;
  }
  *out = value.integer;
  return true;
}

bool ToInt32(const JsonValue& value, const std::string& what, int32_t* out, std::string* error) {
  int64_t wide;
  if (!ToInteger(value, what, std::numeric_limits<int32_t>::min(),
                 std::numeric_limits<int32_t>::max(), &wide, error))
    return false;
  *out = static_cast<int32_t>(wide);
  return true;
}

bool ToUint32(const JsonValue& value, const std::string& what, uint32_t* out, std::string* error) {
  int64_t wide;
  if (!ToInteger(value, what, 0, std::numeric_limits<uint32_t>::max(), &wide, error)) return false;
  *out = static_cast<uint32_t>(wide);
  return true;
}

bool ReadTable(const JsonValue& columns, const JsonValue& rows, const JsonValue* cells,
               wire::Variable* variable, std::string* error) {
  const auto fail = [error](const std::string& text) { return *error = text, false; };
  if (columns.kind != Kind::kArray || columns.items.empty() ||
      columns.items.size() > VMP_MAX_COLUMNS)
    return fail("\"columns\": expected an array of 1 to " + std::to_string(VMP_MAX_COLUMNS) +
                " column types");
  for (size_t c = 0; c < columns.items.size(); ++c) {
    const JsonValue& type = columns.items[c];
    if (type.kind != Kind::kInteger ||
        !(VMP_COLUMN_IS_STRING(type.integer) || VMP_COLUMN_IS_INT(type.integer)))
      return fail("\"columns\"[" + std::to_string(c) + "]: a column type is 3, 4, 7, 8 or 10");
    variable->column_types.push_back(static_cast<uint32_t>(type.integer));
  }
  if (rows.kind != Kind::kArray) return fail("\"rows\": expected an array of rows");
  const size_t width = columns.items.size();
  for (size_t r = 0; r < rows.items.size(); ++r) {
    const JsonValue& row = rows.items[r];
    const std::string where = "\"rows\"[" + std::to_string(r) + "]";
    if (row.kind != Kind::kArray || row.items.size() != width)
      return fail(where + ": expected an array of " + std::to_string(width) + " cells");
    auto& cells_out = variable->rows.emplace_back(width);
    for (size_t c = 0; c < width; ++c) {
      const std::string cell = where + "[" + std::to_string(c) + "]";
      if (!VMP_COLUMN_IS_STRING(variable->column_types[c])) {
        if (!ToInt32(row.items[c], cell, &cells_out[c].int_value, error)) return false;
      } else if (row.items[c].kind == Kind::kString) {
        cells_out[c].string_value = row.items[c].string;
      } else {
        return fail(cell + ": expected a string");
      }
    }
  }
  if (cells == nullptr) return true;
  if (cells->kind != Kind::kArray) return fail("\"cells\": expected an array");
  std::set<std::pair<uint32_t, uint32_t>> seen;
  for (size_t i = 0; i < cells->items.size(); ++i) {
    const JsonValue& entry = cells->items[i];
    const std::string where = "\"cells\"[" + std::to_string(i) + "]";
    uint32_t row, column, flags;
    if (entry.kind != Kind::kArray || entry.items.size() != 3)
      return fail(where + ": expected [row, column, flags]");
    if (!ToUint32(entry.items[0], where, &row, error) ||
        !ToUint32(entry.items[1], where, &column, error) ||
        !ToUint32(entry.items[2], where, &flags, error))
      return false;
    if (row >= variable->rows.size() || column >= width)
      return fail(where + ": the table has no cell at row " + std::to_string(row) + ", column " +
                  std::to_string(column));
    if (!seen.emplace(row, column).second) return fail(where + ": cell given twice");
    variable->rows[row][column].flags = flags;
  }
  return true;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  char32_t code_point;
  for (size_t length = 0; !text.empty(); text.remove_prefix(length))
    if (!platform::DecodeUtf8(text, &code_point, &length)) return false;
  return true;
}

bool ParseJson(std::string_view text, JsonValue* value, std::string* error) {
  *value = JsonValue();
  return Parser(text).Parse(value, error);
}

void AppendJsonString(std::u16string_view text, std::string* out) {
  out->push_back('"');
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      *out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out->push_back(kHexDigits[(c >> shift) & 0xF]);
      continue;
    }
    switch (c) {
      case '"':
        *out += "\\\"";
        break;
      case '\\':
        *out += "\\\\";
        break;
      case '\b':
        *out += "\\b";
        break;
      case '\f':
        *out += "\\f";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '\t':
        *out += "\\t";
        break;
      default:
        if (c < 0x20) {
          *out += "\\u00";
          out->push_back(kHexDigits[c >> 4]);
          out->push_back(kHexDigits[c & 0xF]);
        } else {
          platform::AppendUtf8(c, out);
        }
    }
  }
  out->push_back('"');
}

bool VariableFromLine(std::string_view line, wire::Variable* variable, std::string* error) {
  JsonValue root;
  if (!ParseJson(line, &root, error)) return false;
  const auto fail = [error](const std::string& text) { return *error = text, false; };
  if (root.kind != Kind::kObject) return fail("expected a JSON object");
  const JsonValue *oid = nullptr, *int_value = nullptr, *string_value = nullptr, *binary = nullptr,
                  *columns = nullptr, *rows = nullptr, *restriction = nullptr, *cells = nullptr;
  const std::pair<std::u16string_view, const JsonValue**> keys[] = {{u"oid", &oid},
                                                                    {u"int", &int_value},
                                                                    {u"string", &string_value},
                                                                    {u"binary", &binary},
                                                                    {u"columns", &columns},
                                                                    {u"rows", &rows},
                                                                    {u"restriction", &restriction},
                                                                    {u"cells", &cells}};
  for (const JsonMember& member : root.members) {
    const auto known = std::find_if(std::begin(keys), std::end(keys), [&member](const auto& entry) {
      return entry.first == member.key;
    });
    if (known == std::end(keys)) return fail("unknown key " + Quoted(member.key));
    *known->second = &member.value;
  }

  *variable = wire::Variable();
  if (oid == nullptr) return fail("\"oid\" is missing");
  if (oid->kind != Kind::kString || !ToAscii(oid->string, &variable->oid) ||
      !wire::IsValidOid(variable->oid, false))
    return fail("\"oid\": not a valid OID");
  const bool table = columns != nullptr || rows != nullptr;
  if ((int_value != nullptr) + (string_value != nullptr) + (binary != nullptr) + table > 1)
    return fail("more than one value: give one of \"int\", \"string\", \"binary\" or a table");
  if (cells != nullptr && !table) return fail("\"cells\": only tables have cells");
  if (restriction != nullptr &&
      !ToUint32(*restriction, "\"restriction\"", &variable->restriction, error))
    return false;

  if (int_value != nullptr) {
    variable->type = VMP_TYPE_INT;
    return ToInt32(*int_value, "\"int\"", &variable->int_value, error);
  }
  if (string_value != nullptr) {
    if (string_value->kind != Kind::kString) return fail("\"string\": expected a string");
    variable->type = VMP_TYPE_STRING;
    variable->string_value = string_value->string;
    return true;
  }
  if (binary != nullptr) {
    std::string hex;
    if (binary->kind != Kind::kString || !ToAscii(binary->string, &hex) ||
        !platform::ParseHexDigits(hex, &variable->binary_value))
      return fail("\"binary\": expected a string of hex digit pairs");
    variable->type = VMP_TYPE_BINARY;
    return true;
  }
  if (table) {
    if (columns == nullptr || rows == nullptr)
      return fail(columns == nullptr ? "\"columns\" is missing" : "\"rows\" is missing");
    variable->type = VMP_TYPE_TABLE;
    return ReadTable(*columns, *rows, cells, variable, error);
  }
  variable->type = VMP_TYPE_NONE;
  return true;
}

std::string VariableToLine(const wire::Variable& variable) {
  std::string line = "{\"oid\":";
  AppendJsonString(std::u16string(variable.oid.begin(), variable.oid.end()), &line);
  std::string cells;
  switch (variable.type) {
    case VMP_TYPE_INT:
      line += ",\"int\":" + std::to_string(variable.int_value);
      break;
    case VMP_TYPE_STRING:
      line += ",\"string\":";
      AppendJsonString(variable.string_value, &line);
      break;
    case VMP_TYPE_BINARY:
      line += ",\"binary\":\"";
      for (unsigned char byte : variable.binary_value) {
        line.push_back(kHexDigits[byte >> 4]);
        line.push_back(kHexDigits[byte & 0xF]);
      }
      line += '"';
      break;
    case VMP_TYPE_TABLE:
      line += ",\"columns\":[";
      for (size_t c = 0; c < variable.column_types.size(); ++c)
        line += (c == 0 ? "" : ",") + std::to_string(variable.column_types[c]);
      line += "],\"rows\":[";
      for (size_t r = 0; r < variable.rows.size(); ++r) {
        line += r == 0 ? "[" : ",[";
        const auto& row = variable.rows[r];
        for (size_t c = 0; c < row.size() && c < variable.column_types.size(); ++c) {
          if (c != 0) line += ',';
          if (VMP_COLUMN_IS_STRING(variable.column_types[c]))
            AppendJsonString(row[c].string_value, &line);
          else
            line += std::to_string(row[c].int_value);
          if (row[c].flags != 0)
            cells += (cells.empty() ? "[" : ",[") + std::to_string(r) + "," + std::to_string(c) +
                     "," + std::to_string(row[c].flags) + "]";
        }
        line += ']';
      }
      line += ']';
      break;
    default:
      break;
  }
  if (variable.restriction != 0) line += ",\"restriction\":" + std::to_string(variable.restriction);
  if (!cells.empty()) line += ",\"cells\":[" + cells + "]";
  line += '}';
  return line;
}

bool OidLess(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const size_t end_a = std::min(a.find('.', i), a.size()),
                 end_b = std::min(b.find('.', j), b.size());
    const std::string_view arc_a = a.substr(i, end_a - i), arc_b = b.substr(j, end_b - j);
    const auto digits = [](std::string_view arc) {  // without leading zeros, "0" kept
      const size_t first = arc.find_first_not_of('0');
      return first == std::string_view::npos ? arc.substr(arc.empty() ? 0 : arc.size() - 1)
                                             : arc.substr(first);
    };
    const std::string_view da = digits(arc_a), db = digits(arc_b);
    if (da.size() != db.size()) return da.size() < db.size();
    if (da != db) return da < db;
    if (arc_a != arc_b) return arc_a < arc_b;  // same number, different leading zeros
    i = end_a + 1, j = end_b + 1;
  }
  return a.size() - std::min(i, a.size()) < b.size() - std::min(j, b.size());
}

}  // namespace cvmactl
