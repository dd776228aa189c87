// The policy library: variables and OIDs behind opaque handles, and the packages that carry
// them (cvpmapi.h).
//
// Thread safety: the handle table is guarded by one mutex, held only to look a handle up,
// add or remove it. A looked-up object is shared, so closing a handle while another thread
// still uses it frees the object only when that use ends; changing one object from two
// threads at once is the caller's error, as the header says.
#include "standins/agent_api/cvpmapi.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/unicode.h"
#include "standins/wire/wire.h"

namespace {

// Nothing larger could travel in a frame, so nothing larger is taken.
constexpr size_t kMaxValueBytes = wire::kMaxFrameBody;

enum class Kind { kVariable, kOid };

struct Object {
  explicit Object(Kind kind) : kind(kind) {}

  // Sets the OID (already validated) and its packed form, which PqhGetPackedOID hands out;
  // the packed form is kept when the OID does not change.
  void SetOid(std::string_view oid) {
    if (!packed_oid.empty() && oid == variable.oid) return;
    std::string packed;
    wire::EncodePackedOid(oid, &packed);
    variable.oid.assign(oid);
    packed_oid = std::move(packed);
  }
  bool HasOid() const { return !packed_oid.empty(); }

  const Kind kind;
  wire::Variable variable;  // an OID handle uses only variable.oid
  std::string packed_oid;   // empty without an OID
};

class HandleTable {
 public:
  uint32_t Add(std::shared_ptr<Object> object) {
    std::lock_guard lock(mutex_);
    // Values count up and are not reused until the counter wraps, so a stale handle finds
    // nothing instead of a newer object.
    do {
      ++last_;
    } while (last_ == 0 || objects_.contains(last_));
    objects_.emplace(last_, std::move(object));
    return last_;
  }

  std::shared_ptr<Object> Find(uint32_t handle) {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second;
  }

  bool Remove(uint32_t handle) {
    std::shared_ptr<Object> removed;  // released after the lock
    std::lock_guard lock(mutex_);
    auto it = objects_.find(handle);
    if (it == objects_.end()) return false;
    removed = std::move(it->second);
    objects_.erase(it);
    return true;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<uint32_t, std::shared_ptr<Object>> objects_;
  uint32_t last_ = 0;
};

// Never destroyed: a thread may still call in while the process exits.
HandleTable& Handles() {
  static HandleTable* table = new HandleTable;
  return *table;
}

// Runs `body` and turns an allocation failure into VMP_E_MEMORY: nothing may leave the C API.
template <typename Body>
int32_t Guard(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {  // only allocation failures can arrive here
    return VMP_E_MEMORY;
  }
}

// Looks the handle up and runs `body(Object&)`; VMP_E_HANDLE when unknown or, with `kind`,
// of the other kind.
template <typename Body>
int32_t WithObject(uint32_t handle, std::optional<Kind> kind, Body&& body) noexcept {
  return Guard([&]() -> int32_t {
    std::shared_ptr<Object> object = Handles().Find(handle);
    if (!object || (kind && object->kind != *kind)) return VMP_E_HANDLE;
    return body(*object);
  });
}

template <typename Body>
int32_t WithVariable(uint32_t handle, Body&& body) noexcept {
  return WithObject(handle, Kind::kVariable, [&](Object& object) { return body(object.variable); });
}

// VMP_OK when the variable holds `type`, otherwise why not.
int32_t Expect(const wire::Variable& variable, uint8_t type) {
  if (variable.type == type) return VMP_OK;
  return variable.type == VMP_TYPE_NONE ? VMP_E_EMPTY : VMP_E_TYPE;
}

// Gives the variable a new value type, dropping the old value; OID and restriction stay.
void Reset(wire::Variable& variable, uint8_t type) {
  variable.type = type;
  variable.int_value = 0;
  variable.string_value.clear();
  variable.binary_value.clear();
  variable.column_types.clear();
  variable.rows.clear();
}

// Copies `text` and a terminator, cutting it to fit; VMP_E_TOO_SMALL when cut.
template <typename Char>
int32_t CopyTerminated(std::basic_string_view<Char> text, Char* buffer, uint32_t capacity) {
  if (!buffer || capacity == 0) return VMP_E_ARGUMENT;
  size_t count = std::min<size_t>(text.size(), capacity - 1);
  std::copy_n(text.data(), count, buffer);
  buffer[count] = Char{};
  return count == text.size() ? VMP_OK : VMP_E_TOO_SMALL;
}

// Reads a terminated string of at most kMaxValueBytes; false when longer.
template <typename Char>
bool ReadTerminated(const Char* text, std::basic_string_view<Char>* out) {
  size_t size = 0;
  while (text[size] != Char{})
    if (++size * sizeof(Char) > kMaxValueBytes) return false;
  *out = {text, size};
  return true;
}

// Cuts UTF-8 text to at most `limit` bytes without splitting a character.
std::string_view CutUtf8(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text;
  while (limit > 0 && (static_cast<uint8_t>(text[limit]) & 0xC0) == 0x80) --limit;
  return text.substr(0, limit);
}

int32_t SetOidText(Object& object, std::string_view oid) {
  if (!wire::IsValidOid(oid, object.kind == Kind::kOid)) return VMP_E_ARGUMENT;
  object.SetOid(oid);
  return VMP_OK;
}

// Runs `body(Cell&, column type)` on a cell of a table variable.
template <typename Body>
int32_t WithCell(uint32_t handle, uint32_t row, uint32_t column, Body&& body) noexcept {
  return WithVariable(handle, [&](wire::Variable& variable) {
    if (int32_t result = Expect(variable, VMP_TYPE_TABLE); result != VMP_OK) return result;
    if (row >= variable.rows.size() || column >= variable.column_types.size())
      return VMP_E_ARGUMENT;
    return body(variable.rows[row][column], variable.column_types[column]);
  });
}

// Hands `bytes` to the caller in memory it releases with PqhFreeMemory.
int32_t GiveBody(const std::string& bytes, void** body, uint32_t* length) {
  if (bytes.size() > UINT32_MAX) return VMP_E_MEMORY;
  void* copy = std::malloc(bytes.size());
  if (!copy) return VMP_E_MEMORY;
  std::memcpy(copy, bytes.data(), bytes.size());
  *body = copy;
  *length = static_cast<uint32_t>(bytes.size());
  return VMP_OK;
}

}  // namespace

int32_t VmpCreatePolicyVar(uint32_t* handle) {
  if (!handle) return VMP_E_ARGUMENT;
  return Guard([&] {
    *handle = Handles().Add(std::make_shared<Object>(Kind::kVariable));
    return VMP_OK;
  });
}

int32_t VmpCreatePolicyOID(const char* oid, uint32_t* handle) {
  if (!oid || !handle) return VMP_E_ARGUMENT;
  return Guard([&] {
    auto object = std::make_shared<Object>(Kind::kOid);
    if (int32_t result = SetOidText(*object, oid); result != VMP_OK) return result;
    *handle = Handles().Add(std::move(object));
    return VMP_OK;
  });
}

int32_t VmpClose(uint32_t handle) {
  return Guard([&] { return Handles().Remove(handle) ? VMP_OK : VMP_E_HANDLE; });
}

int32_t VmpSetOID(uint32_t handle, const char* oid) {
  return WithObject(handle, std::nullopt,
                    [&](Object& object) { return oid ? SetOidText(object, oid) : VMP_E_ARGUMENT; });
}

int32_t VmpCopyOID(uint32_t handle, char* buffer, uint32_t capacity) {
  return WithObject(handle, std::nullopt, [&](Object& object) {
    if (!object.HasOid()) return VMP_E_NO_OID;
    return CopyTerminated<char>(object.variable.oid, buffer, capacity);
  });
}

int32_t VmpGetType(uint32_t handle, uint32_t* type) {
  return WithVariable(handle, [&](wire::Variable& variable) {
    if (!type) return VMP_E_ARGUMENT;
    *type = variable.type;
    return VMP_OK;
  });
}

int32_t VmpGetInt(uint32_t handle, int32_t* value) {
  return WithVariable(handle, [&](wire::Variable& variable) {
    if (!value) return VMP_E_ARGUMENT;
    if (int32_t result = Expect(variable, VMP_TYPE_INT); result != VMP_OK) return result;
    *value = variable.int_value;
    return VMP_OK;
  });
}

int32_t VmpSetValue(uint32_t handle, const VmpValue* value) {
  return WithVariable(handle, [&](wire::Variable& variable) {
    if (!value) return VMP_E_ARGUMENT;
    if (value->type != VMP_TYPE_INT) return VMP_E_TYPE;
    Reset(variable, VMP_TYPE_INT);
    variable.int_value = value->value;
    return VMP_OK;
  });
}

int32_t VmpGetStringW(uint32_t handle, char16_t* buffer, uint32_t capacity) {
  return WithVariable(handle, [&](wire::Variable& variable) {
    if (int32_t result = Expect(variable, VMP_TYPE_STRING); result != VMP_OK) return result;
    return CopyTerminated<char16_t>(variable.string_value, buffer, capacity);
  });
}

int32_t VmpSetStringW(uint32_t handle, const char16_t* value) {
  return WithVariable(handle, [&](wire::Variable& variable) {
    std::u16string_view text;
    if (!value || !ReadTerminated(value, &text)) return VMP_E_ARGUMENT;
    std::u16string copy(text);
    Reset(variable, VMP_TYPE_STRING);
    variable.string_value = std::move(copy);
    return VMP_OK;
  });
}

int32_t VmpGetStringA(uint32_t handle, char* buffer, uint32_t capacity) {
  return WithVariable(handle, [&](wire::Variable& variable) {
    if (int32_t result = Expect(variable, VMP_TYPE_STRING); result != VMP_OK) return result;
    if (!buffer || capacity == 0) return VMP_E_ARGUMENT;
    std::string text = platform::Utf16ToUtf8(variable.string_value);
    std::string_view cut = CutUtf8(text, capacity - 1);
    CopyTerminated<char>(cut, buffer, capacity);
    return cut.size() == text.size() ? VMP_OK : VMP_E_TOO_SMALL;
  });
}

int32_t VmpSetStringA(uint32_t handle, const char* value) {
  return WithVariable(handle, [&](wire::Variable& variable) {
    std::string_view text;
    if (!value || !ReadTerminated(value, &text)) return VMP_E_ARGUMENT;
    std::u16string converted = platform::Utf8ToUtf16(text);
    Reset(variable, VMP_TYPE_STRING);
    variable.string_value = std::move(converted);
    return VMP_OK;
  });
}

int32_t VmpGetBinary(uint32_t handle, void* buffer, uint32_t* length) {
  return WithVariable(handle, [&](wire::Variable& variable) {
    if (!length || (!buffer && *length != 0)) return VMP_E_ARGUMENT;
    if (int32_t result = Expect(variable, VMP_TYPE_BINARY); result != VMP_OK) return result;
    const std::string& value = variable.binary_value;
    size_t count = std::min<size_t>(value.size(), *length);
    if (count > 0) std::memcpy(buffer, value.data(), count);
    *length = static_cast<uint32_t>(value.size());
    return count == value.size() ? VMP_OK : VMP_E_TOO_SMALL;
  });
}

int32_t VmpSetBinary(uint32_t handle, const void* data, uint32_t length) {
  return WithVariable(handle, [&](wire::Variable& variable) {
    if ((!data && length != 0) || length > kMaxValueBytes) return VMP_E_ARGUMENT;
    std::string copy(static_cast<const char*>(data), length);
    Reset(variable, VMP_TYPE_BINARY);
    variable.binary_value = std::move(copy);
    return VMP_OK;
  });
}

int32_t VmpGetRestriction(uint32_t handle, uint32_t* flags, uint32_t* other) {
  return WithVariable(handle, [&](wire::Variable& variable) {
    if (flags) *flags = variable.restriction;
    if (other) *other = 0;
    return VMP_OK;
  });
}

int32_t VmpSetRestriction(uint32_t handle, uint32_t flags) {
  return WithVariable(handle, [&](wire::Variable& variable) {
    variable.restriction = flags;
    return VMP_OK;
  });
}

int32_t VmpGetCellRestriction(uint32_t handle, uint32_t row, uint32_t column, uint32_t* flags,
                              uint32_t* other) {
  return WithCell(handle, row, column, [&](wire::Cell& cell, uint32_t) {
    if (flags) *flags = cell.flags;
    if (other) *other = 0;
    return VMP_OK;
  });
}

int32_t VmpSetCellRestriction(uint32_t handle, uint32_t row, uint32_t column, uint32_t flags) {
  return WithCell(handle, row, column, [&](wire::Cell& cell, uint32_t) {
    cell.flags = flags;
    return VMP_OK;
  });
}

int32_t VmpCreateTable(uint32_t handle, uint32_t columns, const uint32_t* column_types) {
  return WithVariable(handle, [&](wire::Variable& variable) {
    if (!column_types || columns == 0 || columns > VMP_MAX_COLUMNS) return VMP_E_ARGUMENT;
    for (uint32_t i = 0; i < columns; ++i)
      if (!VMP_COLUMN_IS_STRING(column_types[i]) && !VMP_COLUMN_IS_INT(column_types[i]))
        return VMP_E_ARGUMENT;
    std::vector<uint32_t> types(column_types, column_types + columns);
    Reset(variable, VMP_TYPE_TABLE);
    variable.column_types = std::move(types);
    return VMP_OK;
  });
}

int32_t VmpGetTableDimensions(uint32_t handle, uint32_t* rows, uint32_t* columns) {
  return WithVariable(handle, [&](wire::Variable& variable) {
    if (!rows || !columns) return VMP_E_ARGUMENT;
    if (int32_t result = Expect(variable, VMP_TYPE_TABLE); result != VMP_OK) return result;
    *rows = static_cast<uint32_t>(variable.rows.size());
    *columns = static_cast<uint32_t>(variable.column_types.size());
    return VMP_OK;
  });
}

int32_t VmpGetColumnType(uint32_t handle, uint32_t column, uint32_t* type) {
  return WithVariable(handle, [&](wire::Variable& variable) {
    if (!type) return VMP_E_ARGUMENT;
    if (int32_t result = Expect(variable, VMP_TYPE_TABLE); result != VMP_OK) return result;
    if (column >= variable.column_types.size()) return VMP_E_ARGUMENT;
    *type = variable.column_types[column];
    return VMP_OK;
  });
}

int32_t VmpGetCellInt(uint32_t handle, uint32_t row, uint32_t column, int32_t* value) {
  return WithCell(handle, row, column, [&](wire::Cell& cell, uint32_t type) {
    if (!value) return VMP_E_ARGUMENT;
    if (!VMP_COLUMN_IS_INT(type)) return VMP_E_TYPE;
    *value = cell.int_value;
    return VMP_OK;
  });
}

int32_t VmpGetCellStringW(uint32_t handle, uint32_t row, uint32_t column, char16_t* buffer,
                          uint32_t capacity) {
  return WithCell(handle, row, column, [&](wire::Cell& cell, uint32_t type) {
    if (!VMP_COLUMN_IS_STRING(type)) return VMP_E_TYPE;
    return CopyTerminated<char16_t>(cell.string_value, buffer, capacity);
  });
}

int32_t VmpSetCellInt(uint32_t handle, uint32_t row, uint32_t column, int32_t value) {
  return WithCell(handle, row, column, [&](wire::Cell& cell, uint32_t type) {
    if (!VMP_COLUMN_IS_INT(type)) return VMP_E_TYPE;
    cell.int_value = value;
    return VMP_OK;
  });
}

int32_t VmpSetCellStringW(uint32_t handle, uint32_t row, uint32_t column, const char16_t* value) {
  return WithCell(handle, row, column, [&](wire::Cell& cell, uint32_t type) {
    std::u16string_view text;
    if (!value || !ReadTerminated(value, &text)) return VMP_E_ARGUMENT;
    if (!VMP_COLUMN_IS_STRING(type)) return VMP_E_TYPE;
    cell.string_value.assign(text);
    return VMP_OK;
  });
}

int32_t VmpInsertRow(uint32_t handle, int32_t row) {
  return WithVariable(handle, [&](wire::Variable& variable) {
    if (int32_t result = Expect(variable, VMP_TYPE_TABLE); result != VMP_OK) return result;
    auto& rows = variable.rows;
    if (row < -1 || (row >= 0 && static_cast<size_t>(row) > rows.size())) return VMP_E_ARGUMENT;
    auto at = row == -1 ? rows.end() : rows.begin() + row;
    rows.insert(at, std::vector<wire::Cell>(variable.column_types.size()));
    return VMP_OK;
  });
}

int32_t VmpRemoveRow(uint32_t handle, uint32_t row) {
  return WithVariable(handle, [&](wire::Variable& variable) {
    if (int32_t result = Expect(variable, VMP_TYPE_TABLE); result != VMP_OK) return result;
    if (row >= variable.rows.size()) return VMP_E_ARGUMENT;
    variable.rows.erase(variable.rows.begin() + row);
    return VMP_OK;
  });
}

int32_t PqhGetPackedOID(uint32_t handle, const void** packed) {
  return WithObject(handle, std::nullopt, [&](Object& object) {
    if (!packed) return VMP_E_ARGUMENT;
    if (!object.HasOid()) return VMP_E_NO_OID;
    *packed = object.packed_oid.data();
    return VMP_OK;
  });
}

uint32_t PqhGetPackedOIDSize(const void* packed) {
  if (!packed) return 0;
  const auto* bytes = static_cast<const uint8_t*>(packed);
  return 2u + (bytes[0] | bytes[1] << 8);  // the length word and the text
}

int32_t PqhSetOidFromPackedData(uint32_t handle, const void* packed, uint32_t length) {
  return WithObject(handle, std::nullopt, [&](Object& object) {
    if (!packed) return VMP_E_ARGUMENT;
    std::string_view in(static_cast<const char*>(packed), length);
    std::string oid;
    if (!wire::DecodePackedOid(&in, &oid, object.kind == Kind::kOid) || !in.empty())
      return VMP_E_ARGUMENT;
    object.SetOid(oid);
    return VMP_OK;
  });
}

int32_t PqhSetOidFromBuffer(uint32_t handle, const char* text, uint32_t length) {
  return WithObject(handle, std::nullopt, [&](Object& object) {
    if (!text && length != 0) return VMP_E_ARGUMENT;
    return SetOidText(object, std::string_view(text ? text : "", length));
  });
}

int32_t PqhCreatePolicySetPackage(uint32_t handle, void** body, uint32_t* length) {
  return PqhCreatePolicyGroupSetPackage(&handle, 1, body, length);
}

int32_t PqhCreatePolicyGroupSetPackage(const uint32_t* handles, uint32_t count, void** body,
                                       uint32_t* length) {
  if (!handles || !body || !length || count == 0 || count > wire::kMaxVariables)
    return VMP_E_ARGUMENT;
  return Guard([&] {
    std::string bytes;
    wire::PutU32(&bytes, count);
    for (uint32_t i = 0; i < count; ++i) {
      std::shared_ptr<Object> object = Handles().Find(handles[i]);
      if (!object || object->kind != Kind::kVariable) return VMP_E_HANDLE;
      if (!object->HasOid()) return VMP_E_NO_OID;
      wire::EncodeVariable(object->variable, &bytes);
    }
    return GiveBody(bytes, body, length);
  });
}

int32_t PqhFreeMemory(void* body) {
  std::free(body);
  return VMP_OK;
}

int32_t PqhUnpackPolicyGetPackage(uint32_t handle, const void* payload, uint32_t length) {
  return WithObject(handle, Kind::kVariable, [&](Object& object) {
    if (!payload && length != 0) return VMP_E_PACKAGE;
    std::string_view in(static_cast<const char*>(payload), length);
    wire::Variable decoded;
    if (!wire::DecodeVariable(&in, &decoded) || !in.empty()) return VMP_E_PACKAGE;
    object.SetOid(decoded.oid);  // the only step that can fail, and it changes nothing then
    object.variable = std::move(decoded);
    return VMP_OK;
  });
}
