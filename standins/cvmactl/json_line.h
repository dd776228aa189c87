// cvmactl's line format: one policy variable as one JSON object a line, a small strict JSON
// reader and writer for it, and the conversion between a line and a wire::Variable.
//
//   {"oid":"1.2.3","int":5}
//   {"oid":"1.2.4","string":"text"}
//   {"oid":"1.2.5","binary":"00ff"}
//   {"oid":"1.2.6","columns":[8,4],"rows":[[1,"a"],[2,"b"]]}
//   {"oid":"1.2.7"}                                   (a variable without a value)
//
// Any of them may carry "restriction":FLAGS, tables also "cells":[[ROW,COLUMN,FLAGS],...].
// Ints are 32-bit signed, flags 32-bit unsigned; rows and columns count from 0.
//
// Thread safety: plain functions without shared state.
#ifndef STANDINS_CVMACTL_JSON_LINE_H_
#define STANDINS_CVMACTL_JSON_LINE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "standins/wire/wire.h"

namespace cvmactl {

// A parsed JSON value. Strings are kept as UTF-16 code units, as JSON defines them, so an
// escaped lone surrogate survives (a stored string may hold one and must export and import
// back unchanged).
struct JsonMember;
struct JsonValue {
  enum class Kind { kInteger, kString, kArray, kObject };
  Kind kind = Kind::kInteger;
  int64_t integer = 0;
  std::u16string string;
  std::vector<JsonValue> items;     // kArray
  std::vector<JsonMember> members;  // kObject, in text order
};
struct JsonMember {
  std::u16string key;
  JsonValue value;
};

// Parses the one JSON value making up `text` (white space around it allowed). Only objects,
// arrays, strings and integers in the 64-bit range: true, false, null, fractions and
// exponents, duplicate keys, raw control characters and invalid UTF-8 are refused. On
// failure `error` says what and at which column.
bool ParseJson(std::string_view text, JsonValue* value, std::string* error);

// Appends `text` as a JSON string: `"` and `\` and control characters escaped, lone
// surrogates as \uXXXX, everything else as UTF-8.
void AppendJsonString(std::u16string_view text, std::string* out);

// True when `text` is well-formed UTF-8 (shortest forms, no surrogates).
bool IsValidUtf8(std::string_view text);

// Reads one line of the format above into `variable`; false with the reason in `error`.
bool VariableFromLine(std::string_view line, wire::Variable* variable, std::string* error);

// The line for `variable` (no line end), in the one form the reader turns back into the
// same variable: keys oid, value, restriction when not 0, cells with flags not 0.
std::string VariableToLine(const wire::Variable& variable);

// The order of exported lines: OIDs compared arc by arc as numbers (1.2 before 1.10, 1
// before 1.1); arcs of one number spelt with different leading zeros in text order, so
// only equal OIDs are equivalent.
bool OidLess(std::string_view a, std::string_view b);

}  // namespace cvmactl

#endif  // STANDINS_CVMACTL_JSON_LINE_H_
