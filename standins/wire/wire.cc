// Encoding and decoding of the agent's frames, packed OIDs, variables and packages.
//
// Thread safety: stateless; every function works only on its arguments.
//
// Decoders turn a failed allocation into a refusal, since what they allocate is sized by the
// peer; encoders allocate in proportion to the caller's own data and leave that to it.
#include "standins/wire/wire.h"

#include <new>

#include "standins/agent_api/cvpmapi.h"

namespace wire {
namespace {

constexpr size_t kFrameRestHeaderSize = kFrameHeaderSize - 4;  // kind + padding, two ids
// The shortest encodings, used to check counts against the input before reserving memory.
constexpr size_t kMinCellSize = 8;      // flags + i32, or flags + empty string
constexpr size_t kMinVariableSize = 8;  // one-byte packed OID, type, restriction

bool GetU8(std::string_view* in, uint8_t* value) {
  if (in->empty()) return false;
  *value = static_cast<uint8_t>((*in)[0]);
  in->remove_prefix(1);
  return true;
}

bool GetI32(std::string_view* in, int32_t* value) {
  uint32_t raw;
  if (!GetU32(in, &raw)) return false;
  *value = static_cast<int32_t>(raw);
  return true;
}

bool GetBytes(std::string_view* in, size_t size, std::string_view* bytes) {
  if (in->size() < size) return false;
  *bytes = in->substr(0, size);
  in->remove_prefix(size);
  return true;
}

void PutString16(std::string* out, const std::u16string& text) {
  PutU32(out, static_cast<uint32_t>(text.size()));
  for (char16_t unit : text) PutU16(out, static_cast<uint16_t>(unit));
}

bool GetString16(std::string_view* in, std::u16string* text) {
  uint32_t units;
  std::string_view bytes;
  if (!GetU32(in, &units) || units > in->size() / 2 || !GetBytes(in, units * size_t{2}, &bytes))
    return false;
  text->resize(units);
  for (uint32_t i = 0; i < units; ++i) {
    (*text)[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                       static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
  }
  return true;
}

bool IsKnownType(uint8_t type) {
  return type == VMP_TYPE_NONE || type == VMP_TYPE_BINARY || type == VMP_TYPE_STRING ||
         type == VMP_TYPE_INT || type == VMP_TYPE_TABLE;
}

bool IsColumnType(uint32_t type) { return VMP_COLUMN_IS_STRING(type) || VMP_COLUMN_IS_INT(type); }

bool DecodeTable(std::string_view* in, Variable* variable) {
  uint16_t columns;
  if (!GetU16(in, &columns) || columns == 0 || columns > VMP_MAX_COLUMNS) return false;
  variable->column_types.resize(columns);
  for (uint32_t& type : variable->column_types)
    if (!GetU32(in, &type) || !IsColumnType(type)) return false;
  uint32_t rows;
  if (!GetU32(in, &rows) || rows > in->size() / (kMinCellSize * columns)) return false;
  variable->rows.assign(rows, std::vector<Cell>(columns));
  for (std::vector<Cell>& row : variable->rows) {
    for (size_t column = 0; column < columns; ++column) {
      Cell& cell = row[column];
      if (!GetU32(in, &cell.flags)) return false;
      bool ok = VMP_COLUMN_IS_STRING(variable->column_types[column])
                    ? GetString16(in, &cell.string_value)
                    : GetI32(in, &cell.int_value);
      if (!ok) return false;
    }
  }
  return true;
}

}  // namespace

bool EncodeFrame(const Frame& frame, std::string* out) {
  // The length word covers the rest of the header too and must pass DecodeFrameLength.
  if (frame.body.size() > kMaxFrameBody - 2 * kFrameRestHeaderSize) return false;
  PutU32(out, static_cast<uint32_t>(kFrameRestHeaderSize + frame.body.size()));
  out->push_back(static_cast<char>(frame.kind));
  out->append(3, '\0');
  PutU32(out, frame.request_id);
  PutU32(out, frame.message_id);
  out->append(frame.body);
  return true;
}

bool DecodeFrameLength(const char* header4, uint32_t* length) {
  std::string_view in(header4, 4);
  uint32_t value;
  if (!GetU32(&in, &value) || value < kFrameRestHeaderSize ||
      value > kMaxFrameBody - kFrameRestHeaderSize)
    return false;
  *length = value;
  return true;
}

bool DecodeFrameRest(std::string_view rest, Frame* frame) try {
  uint8_t kind;
  uint32_t request_id, message_id;
  if (!GetU8(&rest, &kind) || kind < static_cast<uint8_t>(FrameKind::kRequest) ||
      kind > static_cast<uint8_t>(FrameKind::kNotification))
    return false;
  for (int i = 0; i < 3; ++i) {
    uint8_t padding;
    if (!GetU8(&rest, &padding) || padding != 0) return false;
  }
  if (!GetU32(&rest, &request_id) || !GetU32(&rest, &message_id)) return false;
  frame->kind = static_cast<FrameKind>(kind);
  frame->request_id = request_id;
  frame->message_id = message_id;
  frame->body.assign(rest);
  return true;
} catch (const std::bad_alloc&) {
  return false;
}

bool IsValidOid(std::string_view oid, bool pattern_allowed) {
  if (oid.empty() || oid.size() > VMP_MAX_OID_LENGTH) return false;
  if (pattern_allowed && oid.size() > 2 && oid.substr(oid.size() - 2) == ".*") oid.remove_suffix(2);
  bool arc_empty = true;
  for (char c : oid) {
    if (c == '.') {
      if (arc_empty) return false;
      arc_empty = true;
    } else if (c >= '0' && c <= '9') {
      arc_empty = false;
    } else {
      return false;
    }
  }
  return !arc_empty;
}

void PutU16(std::string* out, uint16_t value) {
  out->push_back(static_cast<char>(value & 0xFF));
  out->push_back(static_cast<char>(value >> 8));
}

void PutU32(std::string* out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<char>(value >> shift));
}

bool GetU16(std::string_view* in, uint16_t* value) {
  if (in->size() < 2) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(in->data());
  *value = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
  in->remove_prefix(2);
  return true;
}

bool GetU32(std::string_view* in, uint32_t* value) {
  if (in->size() < 4) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(in->data());
  *value = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  in->remove_prefix(4);
  return true;
}

void EncodePackedOid(std::string_view oid, std::string* out) {
  // Callers hold validated OIDs; the clamp only keeps the length word truthful.
  if (oid.size() > 0xFFFF) oid = oid.substr(0, 0xFFFF);
  PutU16(out, static_cast<uint16_t>(oid.size()));
  out->append(oid);
}

bool DecodePackedOid(std::string_view* in, std::string* oid, bool pattern_allowed) {
  uint16_t size;
  std::string_view text;
  if (!GetU16(in, &size) || !GetBytes(in, size, &text) || !IsValidOid(text, pattern_allowed))
    return false;
  oid->assign(text);
  return true;
}

void EncodeVariable(const Variable& variable, std::string* out) {
  EncodePackedOid(variable.oid, out);
  out->push_back(static_cast<char>(variable.type));
  PutU32(out, variable.restriction);
  switch (variable.type) {
    case VMP_TYPE_INT:
      PutU32(out, static_cast<uint32_t>(variable.int_value));
      break;
    case VMP_TYPE_STRING:
      PutString16(out, variable.string_value);
      break;
    case VMP_TYPE_BINARY:
      PutU32(out, static_cast<uint32_t>(variable.binary_value.size()));
      out->append(variable.binary_value);
      break;
    case VMP_TYPE_TABLE:
      PutU16(out, static_cast<uint16_t>(variable.column_types.size()));
      for (uint32_t type : variable.column_types) PutU32(out, type);
      PutU32(out, static_cast<uint32_t>(variable.rows.size()));
      for (const std::vector<Cell>& row : variable.rows) {
        for (size_t column = 0; column < variable.column_types.size(); ++column) {
          const Cell& cell = row[column];
          PutU32(out, cell.flags);
          if (VMP_COLUMN_IS_STRING(variable.column_types[column]))
            PutString16(out, cell.string_value);
          else
            PutU32(out, static_cast<uint32_t>(cell.int_value));
        }
      }
      break;
    default:
      break;
  }
}

bool DecodeVariable(std::string_view* in, Variable* variable) try {
  std::string_view cursor = *in;
  Variable decoded;
  uint8_t type;
  if (!DecodePackedOid(&cursor, &decoded.oid, false) || !GetU8(&cursor, &type) ||
      !IsKnownType(type) || !GetU32(&cursor, &decoded.restriction))
    return false;
  decoded.type = type;
  bool ok = true;
  switch (type) {
    case VMP_TYPE_INT:
      ok = GetI32(&cursor, &decoded.int_value);
      break;
    case VMP_TYPE_STRING:
      ok = GetString16(&cursor, &decoded.string_value);
      break;
    case VMP_TYPE_BINARY: {
      uint32_t size;
      std::string_view bytes;
      ok = GetU32(&cursor, &size) && GetBytes(&cursor, size, &bytes);
      if (ok) decoded.binary_value.assign(bytes);
      break;
    }
    case VMP_TYPE_TABLE:
      ok = DecodeTable(&cursor, &decoded);
      break;
    default:
      break;
  }
  if (!ok) return false;
  *variable = std::move(decoded);
  *in = cursor;
  return true;
} catch (const std::bad_alloc&) {
  return false;
}

void EncodeSetPackage(const std::vector<Variable>& variables, std::string* out) {
  PutU32(out, static_cast<uint32_t>(variables.size()));
  for (const Variable& variable : variables) EncodeVariable(variable, out);
}

bool DecodeSetPackage(std::string_view in, std::vector<Variable>* variables) try {
  uint32_t count;
  if (!GetU32(&in, &count) || count == 0 || count > kMaxVariables ||
      count > in.size() / kMinVariableSize)
    return false;
  std::vector<Variable> decoded(count);
  for (Variable& variable : decoded)
    if (!DecodeVariable(&in, &variable)) return false;
  if (!in.empty()) return false;
  *variables = std::move(decoded);
  return true;
} catch (const std::bad_alloc&) {
  return false;
}

}  // namespace wire
