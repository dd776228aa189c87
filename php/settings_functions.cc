// The settings functions of the extension: scalar settings, table settings and the query
// store, each a thin shell over the catalogue or the store.
//
// Every function answers a PHP integer; -1 means the call itself failed (no catalogue,
// arguments that do not parse, an output argument that is not a variable). Arguments that
// do not parse are reported as a warning carrying the parser's own message, never as an
// exception, so the page sees -1.
//
// Thread safety: the catalogue and the query store lock themselves per call. A shell
// finishes its core call, and so drops every core lock, before it builds a zval or raises
// a warning (a PHP fatal error would unwind past a held lock).
#include "php.h"
#include "zend_exceptions.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "module/module_state.h"
#include "php/shells.h"
#include "settings/catalogue.h"
#include "settings/query_store.h"
#include "settings/table_entry.h"
#include "settings/table_rows.h"
#include "support/trace.h"

using support::kTraceMaskedValue;
using support::TRACE_ERROR;
using support::TRACE_INFO;
using support::TraceEnabled;
using support::TraceOut;

namespace {

using settings::CSettings;
using settings::CTableEntry;
using settings::xTableEntry;

// ---------------------------------------------------------------------------------------
// The frame shared by the functions.

void Info(const char* line) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "%s", line);
}

void Error(const char* line) {
  if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "%s", line);
}

enum class Missing { kAre, kWere };

// The catalogue, or null after the warning that there is none.
CSettings* RequireCatalogue(Missing wording = Missing::kAre) {
  CSettings* catalogue = module::RequestCatalogue();
  if (catalogue == nullptr) {
    php_error_docref(nullptr, E_WARNING, wording == Missing::kAre
                                             ? "Settings are not initialized"
                                             : "Settings were not initialized");
  }
  return catalogue;
}

using shells::ExceptionToWarning;
using shells::Named;

constexpr char kNotByReference[] = "Parameter wasn't passed by reference";

// True when the output argument is a variable; otherwise traces and warns.
bool PassedByReference(zval* out) {
  if (Z_ISREF_P(out)) return true;
  if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "%s\n", kNotByReference);
  php_error_docref(nullptr, E_WARNING, "%s", kNotByReference);
  return false;
}

// A typed property bound to an output argument refused the value: the engine's TypeError
// becomes the warning, and the argument keeps what it held.
[[gnu::noinline, gnu::cold]] bool RefusedByProperty() {
  ExceptionToWarning(Named::kByFunction);
  return false;
}

// Stores into an output argument, releasing what it held; false after the warning when the
// argument is bound to a typed property that does not take the value.
[[gnu::always_inline]] inline bool StoreLong(zval* out, zend_long value) {
  if (Z_ISREF_P(out)) {
    zend_reference* reference = Z_REF_P(out);
    if (ZEND_REF_HAS_TYPE_SOURCES(reference)) [[unlikely]] {
      return zend_try_assign_typed_ref_long(reference, value) == SUCCESS || RefusedByProperty();
    }
    out = &reference->val;
  }
  zval_ptr_dtor(out);
  ZVAL_LONG(out, value);
  return true;
}

// `out` is a reference (PassedByReference).
bool StoreString(zval* out, const std::string& value) {
  zend_reference* reference = Z_REF_P(out);
  if (ZEND_REF_HAS_TYPE_SOURCES(reference)) {
    return zend_try_assign_typed_ref_stringl(reference, value.data(), value.size()) == SUCCESS ||
           RefusedByProperty();
  }
  zval_ptr_dtor(&reference->val);
  ZVAL_STRINGL(&reference->val, value.data(), value.size());
  return true;
}

// A cell of a table argument: its row and column, counted from 0 in the arrays' order.
struct CellPlace {
  uint32_t row;
  uint32_t column;
};

// "row R, column C " before what a warning says of a cell; empty for a whole argument.
std::string CellText(const CellPlace* cell) {
  if (cell == nullptr) return std::string();
  return "row " + std::to_string(cell->row) + ", column " + std::to_string(cell->column) + " ";
}

// Settings integers are signed 32-bit: a PHP integer beyond that range is refused, not
// wrapped, with a warning shaped as the parser's own. False after the warning.
bool FitsSetting(zend_long value, uint32_t argument, const CellPlace* cell = nullptr) {
  if (value >= INT32_MIN && value <= INT32_MAX) return true;
  zend_argument_value_error(argument, "%smust be between %d and %d", CellText(cell).c_str(),
                            INT32_MIN, INT32_MAX);
  ExceptionToWarning();
  return false;
}

// A value handed on as a NUL-terminated string: a NUL inside ends it.
std::string CText(const char* text) { return std::string(text); }

// An OID never holds a byte 0: a string with one is refused as PHP refuses such a file name
// (the "p" parameter format), with the parser's warning, before anything is read or stored;
// cutting it would act on another OID than the page named. The shells that parse with the
// macros check it here: one strlen, as the lookup used to take, and no more.
[[gnu::noinline, gnu::cold]] bool RefuseOid() {
  zend_argument_value_error(1, "must not contain any null bytes");
  ExceptionToWarning();
  return false;
}
[[gnu::always_inline]] inline bool IsOid(const zend_string* oid) {
  return strlen(ZSTR_VAL(oid)) == ZSTR_LEN(oid) || RefuseOid();
}

std::string ZendText(const zend_string* text) { return std::string(ZSTR_VAL(text), ZSTR_LEN(text)); }
std::string_view ZendView(const zend_string* text) {
  return std::string_view(ZSTR_VAL(text), ZSTR_LEN(text));
}

// The PHP string form of `value`; false after a warning when it has none.
bool StringForm(zval* value, std::string* text) {
  zend_string* converted = zval_try_get_string(value);
  if (converted == nullptr) {
    ExceptionToWarning();
    return false;
  }
  *text = ZendText(converted);
  zend_string_release(converted);
  return true;
}

// ---------------------------------------------------------------------------------------
// Integer and string settings.

using IntGetter = int32_t (CSettings::*)(std::string_view) const;
using StringGetter = std::string (CSettings::*)(std::string_view) const;

enum class ValueTrace { kNone, kUnsigned, kSigned };

void TraceValue(const char* oid, int32_t value, ValueTrace how) {
  if (!TraceEnabled) return;
  if (how == ValueTrace::kUnsigned) {
    TraceOut("", TRACE_INFO, 0, "oid: '%s', value %u\n", oid, static_cast<uint32_t>(value));
  } else if (how == ValueTrace::kSigned) {
    TraceOut("", TRACE_INFO, 0, "oid: '%s', value %i\n", oid, value);
  }
}

void TraceValue(const char* oid, const std::string& value, bool traced) {
  if (traced && TraceEnabled) TraceOut("", TRACE_INFO, 0, "oid: '%s', value %s\n", oid, value.c_str());
}

// What a value trace line shows of `value`: the mask for an enciphered setting, in the
// catalogue or not (the line keeps its shape), else the value.
std::string Shown(const CSettings& catalogue, const zend_string* oid, const std::string& value) {
  return catalogue.IsEncryptedByOID(ZendView(oid)) ? std::string(kTraceMaskedValue) : value;
}

// The index hash of an OID held in a PHP string (the whole string: an OID holds no byte 0):
// the hash PHP keeps in the string when PHP hashes as the catalogue does, which is checked
// once; otherwise the catalogue's own.
uint64_t OidHash(zend_string* oid) {
  static const bool same_hash = [] {
    constexpr std::string_view kProbe = "1.3.6.1.4.1.8642.\xC3\xA9.7";
    return CSettings::HashOid(kProbe) == zend_hash_func(kProbe.data(), kProbe.size());
  }();
  if (same_hash) [[likely]] return ZSTR_HASH(oid);
  return CSettings::HashOid(ZendView(oid));
}

// The parsers below throw on a wrong count or type; the failure branch turns that into a
// warning and answers -1. `get(catalogue, oid_string, oid)` reads the value.
template <typename Get>
void GetInt(INTERNAL_FUNCTION_PARAMETERS, Get&& get, ValueTrace how) {
  CSettings* catalogue = RequireCatalogue();
  if (catalogue == nullptr) RETURN_LONG(-1);
  zend_string* oid;
  zval* out;
  ZEND_PARSE_PARAMETERS_START(2, 2)
    Z_PARAM_STR(oid)
    Z_PARAM_ZVAL(out)
  ZEND_PARSE_PARAMETERS_END_EX(ExceptionToWarning(); RETURN_LONG(-1));
  if (!IsOid(oid) || !PassedByReference(out)) RETURN_LONG(-1);
  const int32_t value = get(*catalogue, oid, ZendView(oid));
  TraceValue(ZSTR_VAL(oid), value, how);
  if (!StoreLong(out, value)) [[unlikely]] RETURN_LONG(-1);
  RETURN_LONG(value);
}

// A getter that finds the item by the OID alone.
auto ByOid(IntGetter getter) {
  return [getter](const CSettings& catalogue, zend_string*, std::string_view oid) {
    return (catalogue.*getter)(oid);
  };
}

void SetInt(INTERNAL_FUNCTION_PARAMETERS, bool (CSettings::*setter)(std::string_view, int32_t)) {
  CSettings* catalogue = RequireCatalogue();
  if (catalogue == nullptr) RETURN_LONG(-1);
  zend_string* oid;
  zend_long value;
  ZEND_PARSE_PARAMETERS_START(2, 2)
    Z_PARAM_STR(oid)
    Z_PARAM_LONG(value)
  ZEND_PARSE_PARAMETERS_END_EX(ExceptionToWarning(); RETURN_LONG(-1));
  if (!IsOid(oid) || !FitsSetting(value, 2)) RETURN_LONG(-1);
  TraceValue(ZSTR_VAL(oid), static_cast<int32_t>(value), ValueTrace::kUnsigned);
  (catalogue->*setter)(ZendView(oid), static_cast<int32_t>(value));
  RETURN_LONG(0);
}

void GetString(INTERNAL_FUNCTION_PARAMETERS, StringGetter getter, bool traced,
               Missing wording = Missing::kAre) {
  CSettings* catalogue = RequireCatalogue(wording);
  if (catalogue == nullptr) RETURN_LONG(-1);
  zend_string* oid;
  zval* out;
  ZEND_PARSE_PARAMETERS_START(2, 2)
    Z_PARAM_STR(oid)
    Z_PARAM_ZVAL(out)
  ZEND_PARSE_PARAMETERS_END_EX(ExceptionToWarning(); RETURN_LONG(-1));
  if (!IsOid(oid) || !PassedByReference(out)) RETURN_LONG(-1);
  const std::string value = (catalogue->*getter)(ZendView(oid));
  if (traced && TraceEnabled) TraceValue(ZSTR_VAL(oid), Shown(*catalogue, oid, value), true);
  if (!StoreString(out, value)) RETURN_LONG(-1);
  RETURN_LONG(0);
}

void SetString(INTERNAL_FUNCTION_PARAMETERS,
               bool (CSettings::*setter)(std::string_view, const std::string&), bool traced) {
  CSettings* catalogue = RequireCatalogue();
  if (catalogue == nullptr) RETURN_LONG(-1);
  zend_string* oid;
  zend_string* value;
  ZEND_PARSE_PARAMETERS_START(2, 2)
    Z_PARAM_STR(oid)
    Z_PARAM_STR(value)
  ZEND_PARSE_PARAMETERS_END_EX(ExceptionToWarning(); RETURN_LONG(-1));
  if (!IsOid(oid)) RETURN_LONG(-1);
  const std::string text = CText(ZSTR_VAL(value));
  if (traced && TraceEnabled) TraceValue(ZSTR_VAL(oid), Shown(*catalogue, oid, text), true);
  (catalogue->*setter)(ZendView(oid), text);
  RETURN_LONG(0);
}

// ---------------------------------------------------------------------------------------
// Table settings.

void TraceOid(const char* oid) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "oid: '%s'\n", oid);
}

void TraceWrongParameter() { Error("Wrong parameter\n"); }

// What a shell needs of a table, copied out under the catalogue's lock.
struct TableCopy {
  bool found = false;
  std::string type;  // empty: not a table
  std::vector<xTableEntry> rows;
};

enum class Rows { kNone, kCurrent, kDefault };

TableCopy CopyTable(CSettings& catalogue, std::string_view oid, Rows which) {
  TableCopy copy;
  copy.found = catalogue.WithItem(oid, [&](settings::CItem& item) {
    if (item.kind() != settings::ItemKind::kTable) return;
    const auto& table = static_cast<const CTableEntry&>(item);
    copy.type = table.type();
    if (which == Rows::kCurrent) copy.rows = table.rows();
    if (which == Rows::kDefault) copy.rows = table.defaultRows();
  });
  return copy;
}

// False, traced, when the OID names no table.
bool IsTable(const TableCopy& copy) {
  if (!copy.found) {
    Error("Failed to get object by requested OID\n");
    return false;
  }
  if (copy.type.empty()) {
    Error("This seems to be not a table\n");
    return false;
  }
  return true;
}

// Appends `rows` to `out` as PHP arrays, one element per column. Current values read back
// as unsigned floats, default values as integers.
void AppendRows(const std::string& type, const std::vector<xTableEntry>& rows, bool defaults,
                zval* out) {
  for (const std::vector<settings::PageCell>& row : settings::PageRows(type, rows, defaults)) {
    zval cells;
    array_init_size(&cells, static_cast<uint32_t>(row.size()));
    for (const settings::PageCell& cell : row) {
      if (cell.is_text) {
        add_next_index_stringl(&cells, cell.text.data(), cell.text.size());
      } else if (defaults) {
        add_next_index_long(&cells, cell.number);
      } else {
        add_next_index_double(&cells, static_cast<double>(cell.number));
      }
    }
    add_next_index_zval(out, &cells);
  }
}

void GetTable(INTERNAL_FUNCTION_PARAMETERS, bool defaults) {
  CSettings* catalogue = RequireCatalogue();
  if (catalogue == nullptr) RETURN_LONG(-1);
  char* oid;
  size_t oid_length;
  zval* out;
  if (zend_parse_parameters(ZEND_NUM_ARGS(), "pa/", &oid, &oid_length, &out) == FAILURE) {
    ExceptionToWarning();
    RETURN_LONG(-1);
  }
  TraceOid(oid);
  const TableCopy table = CopyTable(*catalogue, std::string_view(oid, oid_length),
                                    defaults ? Rows::kDefault : Rows::kCurrent);
  if (!IsTable(table)) RETURN_LONG(-1);
  AppendRows(table.type, table.rows, defaults, out);
  RETURN_LONG(0);
}

// One cell of an integer column. A cell of another type would give the column no value,
// and a row one value short would move the integers after it into the wrong columns and
// compare by its remaining values: it is refused, as is an integer beyond the 32-bit range.
// False after the warning.
bool IntegerCell(zval* cell, const CellPlace& place, settings::TableRowsBuilder* builder) {
  switch (Z_TYPE_P(cell)) {
    case IS_STRING:
      builder->AddDecimal(ZendView(Z_STR_P(cell)));
      return true;
    case IS_LONG:
      if (!FitsSetting(Z_LVAL_P(cell), 2, &place)) return false;
      builder->AddInteger(static_cast<int32_t>(Z_LVAL_P(cell)));
      return true;
    case IS_DOUBLE:
      builder->AddFloat(Z_DVAL_P(cell));
      return true;
    default:
      zend_argument_type_error(2, "%smust be of type int|float|string, %s given",
                               CellText(&place).c_str(), zend_zval_type_name(cell));
      ExceptionToWarning();
      return false;
  }
}

// Builds the table rows that `array` gives for a table of `type`. False, traced or warned,
// when the array does not fit.
bool BuildRows(const std::string& type, HashTable* array, std::vector<xTableEntry>* rows) {
  settings::TableRowsBuilder builder(type);
  uint32_t position = 0;
  zval* element;
  ZEND_HASH_FOREACH_VAL(array, element) {
    ZVAL_DEREF(element);
    CellPlace place{position++, 0};
    if (Z_TYPE_P(element) == IS_ARRAY) {
      HashTable* cells = Z_ARRVAL_P(element);
      if (!builder.StartListRow(zend_hash_num_elements(cells))) return false;
      zval* cell;
      ZEND_HASH_FOREACH_VAL(cells, cell) {
        ZVAL_DEREF(cell);
        if (builder.NextIsInteger()) {
          if (!IntegerCell(cell, place, &builder)) return false;
        } else {
          std::string text;
          if (!StringForm(cell, &text)) return false;
          builder.AddText(std::move(text));
        }
        ++place.column;
      }
      ZEND_HASH_FOREACH_END();
      continue;
    }
    if (!builder.StartScalarRow()) return false;
    if (builder.NextIsInteger() && Z_TYPE_P(element) == IS_LONG &&
        !FitsSetting(Z_LVAL_P(element), 2, &place)) {
      return false;
    }
    std::string text;
    if (!StringForm(element, &text)) return false;
    builder.AddScalar(std::move(text));
  }
  ZEND_HASH_FOREACH_END();
  *rows = builder.Take();
  return true;
}

// ---------------------------------------------------------------------------------------
// The query store.

void TraceTagAndId(const char* tag, const char* id) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "tag: '%s', id:'%s'\n", tag, id);
}

void TraceNoTag() { Error("Cannot find the tag\n"); }

// True when the next element appended to `array` goes right after its last slot, with no
// hole before it: then elements can be written in place.
bool ListShaped(const HashTable* array) {
  const zend_long next = array->nNextFreeElement;
  const uint32_t used = array->nNumUsed;
  if (next != static_cast<zend_long>(used) && !(used == 0 && next == ZEND_LONG_MIN)) return false;
  if ((HT_FLAGS(array) & HASH_FLAG_UNINITIALIZED) != 0) return used == 0;
  return HT_IS_PACKED(array) && used == array->nNumOfElements;
}

// Appends `values` to `out` (an array not shared) as strings: grown once and filled in place
// when it is list-shaped, one by one otherwise.
void AppendStrings(const std::vector<std::string>& values, zval* out) {
  HashTable* array = Z_ARRVAL_P(out);
  if (values.empty()) return;
  if (!ListShaped(array) || values.size() > HT_MAX_SIZE - array->nNumUsed) {
    for (const std::string& value : values) add_next_index_stringl(out, value.data(), value.size());
    return;
  }
  zend_hash_extend(array, array->nNumUsed + static_cast<uint32_t>(values.size()), true);
  const uint32_t position = array->nInternalPointer;  // the fill resets it
  ZEND_HASH_FILL_PACKED(array) {
    for (const std::string& value : values) {
      ZEND_HASH_FILL_SET_STR(zend_string_init_fast(value.data(), value.size()));
      ZEND_HASH_FILL_NEXT();
    }
  }
  ZEND_HASH_FILL_END();
  array->nInternalPointer = position;
}

}  // namespace

ZEND_FUNCTION(settings_read_policy) {
  Info("settings_read_policy()\n");
  CSettings* catalogue = RequireCatalogue();
  if (catalogue == nullptr) RETURN_LONG(-1);
  catalogue->ReadSettings();
  module::State().last_error.store(0);
  RETURN_LONG(0);
}

ZEND_FUNCTION(settings_are_changed) {
  Info("settings_are_changed()\n");
  CSettings* catalogue = RequireCatalogue();
  if (catalogue == nullptr) RETURN_LONG(-1);
  zval* out;
  if (zend_parse_parameters(ZEND_NUM_ARGS(), "z", &out) == FAILURE) {
    Error("Failed to parse parameters\n");
    ExceptionToWarning();
    RETURN_LONG(-1);
  }
  const bool changed = catalogue->AreChanged();
  if (changed) Info("Settings have been changed\n");
  if (!StoreLong(out, changed ? 1 : 0)) RETURN_LONG(-1);
  RETURN_LONG(0);
}

ZEND_FUNCTION(settings_write_changed) {
  Info("settings_write_changed()\n");
  CSettings* catalogue = RequireCatalogue();
  if (catalogue == nullptr) RETURN_LONG(-1);
  // The wait holds nothing: the catalogue locks itself inside each call below.
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  module::State().last_error.store(0);
  catalogue->WriteChanged();
  catalogue->ReadAll();
  RETURN_LONG(0);
}

ZEND_FUNCTION(settings_is_final) {
  Info("settings_is_final()\n");
  CSettings* catalogue = RequireCatalogue();
  if (catalogue == nullptr) RETURN_LONG(-1);
  char* oid;
  size_t oid_length;
  zend_long table_flag;
  if (zend_parse_parameters(ZEND_NUM_ARGS(), "pl", &oid, &oid_length, &table_flag) == FAILURE) {
    ExceptionToWarning();
    RETURN_LONG(-1);
  }
  const bool is_table = table_flag == 1;
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "Is table '%s'\n", is_table ? "True" : "False");
  bool hidden = false;
  bool final = false;
  catalogue->GetRestrictionByOID(std::string_view(oid, oid_length), &hidden, &final, is_table);
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "oid: '%s', is final %s\n", oid, final ? "True" : "False");
  }
  RETURN_LONG(final ? 1 : 0);
}

ZEND_FUNCTION(settings_last_error) { RETURN_LONG(module::State().last_error.load()); }

ZEND_FUNCTION(settings_reset_last_error) {
  module::State().last_error.store(0);
  RETURN_LONG(0);
}

ZEND_FUNCTION(settings_set_int) {
  Info("settings_set_int()\n");
  SetInt(INTERNAL_FUNCTION_PARAM_PASSTHRU, &CSettings::SetIntByOID);
}

ZEND_FUNCTION(settings_get_int) {
  Info("settings_get_int()\n");
  // The getter pages call most: the lookup takes the hash PHP already holds.
  GetInt(
      INTERNAL_FUNCTION_PARAM_PASSTHRU,
      [](const CSettings& catalogue, zend_string* text, std::string_view oid) {
        return catalogue.GetIntByOID(oid, OidHash(text));
      },
      ValueTrace::kUnsigned);
}

ZEND_FUNCTION(settings_get_default_int) {
  Info("settings_get_default_int()\n");
  GetInt(INTERNAL_FUNCTION_PARAM_PASSTHRU, ByOid(&CSettings::GetDefaultIntByOID), ValueTrace::kSigned);
}

ZEND_FUNCTION(settings_set_reg_int) {
  Info("settings_set_reg_int()\n");
  SetInt(INTERNAL_FUNCTION_PARAM_PASSTHRU, &CSettings::SetIntRegByOID);
}

ZEND_FUNCTION(settings_get_reg_int) {
  Info("settings_get_reg_int()\n");
  GetInt(INTERNAL_FUNCTION_PARAM_PASSTHRU, ByOid(&CSettings::GetIntRegByOID), ValueTrace::kUnsigned);
}

ZEND_FUNCTION(settings_get_reg_default_int) {
  Info("settings_get_reg_default_int()\n");
  GetInt(INTERNAL_FUNCTION_PARAM_PASSTHRU, ByOid(&CSettings::GetDefaultIntRegByOID),
         ValueTrace::kSigned);
}

ZEND_FUNCTION(settings_set_reg_str) {
  Info("settings_set_reg_str()\n");
  SetString(INTERNAL_FUNCTION_PARAM_PASSTHRU, &CSettings::SetStringRegByOID, false);
}

ZEND_FUNCTION(settings_get_reg_str) {
  Info("settings_get_reg_str()\n");
  GetString(INTERNAL_FUNCTION_PARAM_PASSTHRU, &CSettings::GetStringRegByOID, false);
}

ZEND_FUNCTION(settings_get_reg_default_str) {
  Info("settings_get_reg_default_str()\n");
  GetString(INTERNAL_FUNCTION_PARAM_PASSTHRU, &CSettings::GetDefaultStringRegByOID, true);
}

ZEND_FUNCTION(settings_set_str) {
  Info("settings_set_str()\n");
  SetString(INTERNAL_FUNCTION_PARAM_PASSTHRU, &CSettings::SetStringByOID, true);
}

ZEND_FUNCTION(settings_get_str) {
  Info("settings_get_str()\n");
  GetString(INTERNAL_FUNCTION_PARAM_PASSTHRU, &CSettings::GetStringByOID, true, Missing::kWere);
}

ZEND_FUNCTION(settings_get_default_str) {
  Info("settings_get_default_str()\n");
  GetString(INTERNAL_FUNCTION_PARAM_PASSTHRU, &CSettings::GetDefaultStringByOID, true,
            Missing::kWere);
}

ZEND_FUNCTION(settings_set_table) {
  Info("settings_set_table()\n");
  CSettings* catalogue = RequireCatalogue();
  if (catalogue == nullptr) RETURN_LONG(-1);
  char* oid;
  size_t oid_length;
  zval* array;
  if (zend_parse_parameters(ZEND_NUM_ARGS(), "pa!", &oid, &oid_length, &array) == FAILURE) {
    ExceptionToWarning();
    RETURN_LONG(-1);
  }
  if (oid[0] == '\0') {
    TraceWrongParameter();
    RETURN_LONG(-1);
  }
  TraceOid(oid);
  const std::string_view key(oid, oid_length);
  const TableCopy table = CopyTable(*catalogue, key, Rows::kNone);
  if (!IsTable(table)) RETURN_LONG(-1);

  // The rows are built from the PHP values with no lock held, then handed over in one call;
  // a table whose type changed meanwhile (a rebuild) is left alone.
  std::vector<xTableEntry> rows;
  if (array != nullptr && !BuildRows(table.type, Z_ARRVAL_P(array), &rows)) RETURN_LONG(-1);
  const bool clear = rows.empty();
  catalogue->WithItem(key, [&](settings::CItem& item) {
    if (item.kind() != settings::ItemKind::kTable) return;
    auto& entry = static_cast<CTableEntry&>(item);
    if (entry.type() != table.type) return;
    if (clear) {
      entry.ClearRows();
    } else {
      entry.Set(rows);
    }
  });
  RETURN_LONG(0);
}

ZEND_FUNCTION(settings_get_table) {
  Info("settings_get_table()\n");
  GetTable(INTERNAL_FUNCTION_PARAM_PASSTHRU, false);
}

ZEND_FUNCTION(settings_get_default_table) {
  Info("settings_get_default_table()\n");
  GetTable(INTERNAL_FUNCTION_PARAM_PASSTHRU, true);
}

ZEND_FUNCTION(settings_set_query) {
  Info("settings_set_query()\n");
  zend_string* tag;
  zend_string* id;
  zval* array;
  ZEND_PARSE_PARAMETERS_START(3, 3)
    Z_PARAM_STR(tag)
    Z_PARAM_STR(id)
    Z_PARAM_ARRAY(array)
  ZEND_PARSE_PARAMETERS_END_EX(ExceptionToWarning(); RETURN_LONG(-1));
  if (ZSTR_LEN(tag) == 0 || ZSTR_LEN(id) == 0) {
    TraceWrongParameter();
    RETURN_LONG(-1);
  }
  TraceTagAndId(ZSTR_VAL(tag), ZSTR_VAL(id));
  HashTable* elements = Z_ARRVAL_P(array);
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "zend_hash_num_elements, rows: %d\n",
             static_cast<int>(zend_hash_num_elements(elements)));
  }
  // The caller's array is read, never converted in place.
  std::vector<std::string> values;
  values.reserve(zend_hash_num_elements(elements));
  zval* element;
  ZEND_HASH_FOREACH_VAL(elements, element) {
    ZVAL_DEREF(element);
    std::string text;
    if (!StringForm(element, &text)) RETURN_LONG(-1);
    values.push_back(std::move(text));
  }
  ZEND_HASH_FOREACH_END();
  if (!settings::QueryStore::Instance().Set(ZendView(tag), ZendView(id), std::move(values))) {
    Error("The query store is full\n");
    RETURN_LONG(-1);
  }
  RETURN_LONG(0);
}

ZEND_FUNCTION(settings_get_query) {
  Info("settings_get_query()\n");
  zend_string* tag;
  zend_string* id;
  zval* out;
  ZEND_PARSE_PARAMETERS_START(3, 3)
    Z_PARAM_STR(tag)
    Z_PARAM_STR(id)
    Z_PARAM_ARRAY_EX(out, 0, 1)  // dereferenced and separated, as "a/"
  ZEND_PARSE_PARAMETERS_END_EX(ExceptionToWarning(); RETURN_LONG(-1));
  if (ZSTR_LEN(tag) == 0 || ZSTR_LEN(id) == 0) {
    TraceWrongParameter();
    RETURN_LONG(-1);
  }
  TraceTagAndId(ZSTR_VAL(tag), ZSTR_VAL(id));
  // The list is shared with the store, not copied; the array is built with no lock held.
  settings::QueryStore::List values;
  switch (settings::QueryStore::Instance().Get(ZendView(tag), ZendView(id), &values)) {
    case settings::QueryStore::Found::kNoTag:
      TraceNoTag();
      RETURN_LONG(-1);
    case settings::QueryStore::Found::kNoId:
      Error("Cannot find the id\n");
      RETURN_LONG(-1);
    case settings::QueryStore::Found::kYes:
      break;
  }
  AppendStrings(*values, out);
  RETURN_LONG(0);
}

ZEND_FUNCTION(settings_free_query) {
  Info("settings_free_query()\n");
  zend_string* tag;
  ZEND_PARSE_PARAMETERS_START(1, 1)
    Z_PARAM_STR(tag)
  ZEND_PARSE_PARAMETERS_END_EX(ExceptionToWarning(); RETURN_LONG(-1));
  if (ZSTR_LEN(tag) == 0) {
    TraceWrongParameter();
    RETURN_LONG(-1);
  }
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "tag: '%s'\n", ZSTR_VAL(tag));
  if (!settings::QueryStore::Instance().Free(ZendView(tag))) {
    TraceNoTag();
    RETURN_LONG(-1);
  }
  RETURN_LONG(0);
}
