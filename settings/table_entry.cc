// Policy tables: reading a table variable cell by cell into rows, and writing rows back by
// overwriting cells, appending missing rows and removing surplus ones before the variable is
// sent to the agent in one exchange.
//
// Thread safety: no lock of its own; a table is reached only through the catalogue. The
// session handle is read from the module's session cell at every call, since the host may
// replace it between requests.
#include "settings/table_entry.h"

#include <memory>
#include <new>
#include <string>
#include <utility>

#include "module/module_state.h"
#include "platform/unicode.h"
#include "policy/agent_api.h"
#include "policy/agent_messages.h"
#include "policy/policy_access.h"
#include "support/text_conversion.h"
#include "support/trace.h"

using support::convertToUnicode;
using support::convertToUTF8;
using support::TRACE_ERROR;
using support::TRACE_INFO;
using support::TraceEnabled;
using support::TraceOut;

namespace settings {

namespace {

// Characters of the table type.
constexpr char kIntColumn = 'i';
constexpr char kStringColumn = 's';

// String cells are read into one buffer of this many characters; the library may fill all
// but the last, which stays the terminator.
constexpr uint32_t kCellBufferSize = 65536;
constexpr uint32_t kCellCapacity = kCellBufferSize - 1;

bool DemoMode() { return module::State().demo_mode != 0; }

uint32_t CurrentSession() {
  return policy::ReadSessionCell(module::State().session_cell.load(std::memory_order_acquire));
}

// Closes a variable handle on every way out of a read or a write.
class ScopedPolicyHandle {
 public:
  ScopedPolicyHandle() = default;
  ~ScopedPolicyHandle() {
    if (handle_ != 0) agent::VmpClose(handle_);
  }
  ScopedPolicyHandle(const ScopedPolicyHandle&) = delete;
  ScopedPolicyHandle& operator=(const ScopedPolicyHandle&) = delete;

  uint32_t* out() { return &handle_; }
  uint32_t get() const { return handle_; }

 private:
  uint32_t handle_ = 0;
};

// The column type code of the policy library as a table type character; 0 when unknown.
char ColumnCharacter(uint32_t code) {
  switch (code) {
    case 3:
    case 4:
      return kStringColumn;
    case 7:
    case 8:
    case 10:
      return kIntColumn;
    default:
      return 0;
  }
}

// A UTF-16 cell text for a trace line. The trace is diagnostic only, so running out of memory
// here just shortens the line.
std::string ForTrace(const char16_t* text) {
  try {
    return platform::Utf16ToUtf8(text);
  } catch (const std::bad_alloc&) {
    return std::string();
  }
}

void TraceVmError(int32_t code) {
  if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "VMerror: '%ld'\n", static_cast<long>(code));
}

void TraceTableRestriction(int32_t flags) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "GetTableRestriction %i\n", flags);
}

void TraceTableOid(const std::string& oid) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "Table OID %s\n", oid.c_str());
}

}  // namespace

CTableEntry::CTableEntry(std::string oid, const DefaultRow* default_rows, size_t count)
    : CItem(ItemKind::kTable, std::move(oid), false) {
  TraceTableOid(this->oid());
  Read();
  // Built along whatever type the read left: after a failed read every row is empty, but
  // the pages still see as many default rows as were defined. A definition holds five values
  // of each kind; further columns of that kind get none.
  default_rows_.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const DefaultRow& definition = default_rows[i];
    constexpr size_t kValues = sizeof definition.ints / sizeof definition.ints[0];
    xTableEntry row;
    for (char column : type_) {
      if (column == kIntColumn) {
        if (row.intFields.size() < kValues) {
          row.intFields.push_back(definition.ints[row.intFields.size()]);
        }
      } else if (row.strFields.size() < kValues) {
        const char* text = definition.strs[row.strFields.size()];
        row.strFields.emplace_back(text != nullptr ? text : "");
      }
    }
    default_rows_.push_back(std::move(row));
  }
}

CTableEntry::CTableEntry(std::string oid) : CItem(ItemKind::kTable, std::move(oid), false) {
  TraceTableOid(this->oid());
  Read();
}

bool CTableEntry::Read() {
  if (DemoMode()) return true;
  rows_.clear();

  ScopedPolicyHandle handle;
  if (policy::VmpGetPolicy(CurrentSession(), oid().c_str(), handle.out()) != 0) return false;
  uint32_t row_count = 0;
  uint32_t column_count = 0;
  agent::VmpGetTableDimensions(handle.get(), &row_count, &column_count);
  // The type has room for this many columns; further ones are neither read nor written, so
  // a write leaves them as the policy holds them.
  if (column_count > kMaxTableColumns) column_count = kMaxTableColumns;

  std::string type;
  type.reserve(column_count);
  for (uint32_t column = 0; column < column_count; ++column) {
    uint32_t code = 0;
    if (agent::VmpGetColumnType(handle.get(), column, &code) != 0) return false;
    const char character = ColumnCharacter(code);
    if (character == 0) {
      if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "Unknown type %i\n", static_cast<int>(code));
      return false;
    }
    type.push_back(character);
  }

  // On the heap: request threads run on small stacks. A successful cell read writes one
  // terminated run from the start, so only the ends are cleared.
  std::unique_ptr<char16_t[]> buffer;
  if (row_count != 0 && type.find(kStringColumn) != std::string::npos) {
    buffer = std::make_unique_for_overwrite<char16_t[]>(kCellBufferSize);
    buffer[0] = u'\0';
    buffer[kCellBufferSize - 1] = u'\0';
  }
  for (uint32_t row_index = 0; row_index < row_count; ++row_index) {
    xTableEntry row;
    for (uint32_t column = 0; column < column_count; ++column) {
      if (type[column] == kIntColumn) {
        int32_t value = 0;
        if (agent::VmpGetCellInt(handle.get(), row_index, column, &value) != 0) continue;
        row.intFields.push_back(value);
        if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "Entry: %u\n", static_cast<uint32_t>(value));
        continue;
      }
      const int32_t result =
          agent::VmpGetCellStringW(handle.get(), row_index, column, buffer.get(), kCellCapacity);
      if (result != 0) {
        if (TraceEnabled) {
          TraceOut("", TRACE_ERROR, 0, "Can not get policy var %s - error %d\n", oid().c_str(),
                   result);
        }
        continue;
      }
      if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "buf = '%s'\n", ForTrace(buffer.get()).c_str());
      std::string text;
      if (!convertToUTF8(buffer.get(), &text)) {
        if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "convertUnicodeToUTF8 failed\n");
        continue;
      }
      row.strFields.push_back(std::move(text));
      if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "Entry: %s\n", row.strFields.back().c_str());
    }
    rows_.push_back(std::move(row));
  }

  type_ = std::move(type);
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "Type: %s\n", type_.c_str());
  SetChanged(false);
  return true;
}

bool CTableEntry::Write() {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "CTableEntry::Write\n");
  if (DemoMode()) return true;
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "Set policy table %s\n", oid().c_str());

  if (!GetTableRestriction(nullptr, nullptr)) {
    module::State().last_error.store(kLastErrorRefused);
    if (TraceEnabled) {
      TraceOut("", TRACE_INFO, 0,
               "Policy var have final or hidden attribute and cannot be saved.\n");
    }
    return false;
  }
  if (type_.empty()) {
    module::State().last_error.store(kLastErrorFailed);
    if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "Table type is not specified.\n");
    return false;
  }

  const uint32_t session = CurrentSession();
  ScopedPolicyHandle handle;
  if (policy::VmpGetPolicy(session, oid().c_str(), handle.out()) != 0) return false;
  uint32_t table_rows = 0;
  uint32_t table_columns = 0;
  agent::VmpGetTableDimensions(handle.get(), &table_rows, &table_columns);

  // Every value the rows carry is written, changed or not; cells the rows do not reach keep
  // what the policy holds.
  uint32_t row_index = 0;
  for (const xTableEntry& row : rows_) {
    if (row_index >= table_rows) {
      agent::VmpInsertRow(handle.get(), -1);
      ++table_rows;
    }
    size_t next_int = 0;
    size_t next_string = 0;
    for (uint32_t column = 0; column < type_.size(); ++column) {
      int32_t result = 0;
      if (type_[column] == kStringColumn) {
        if (next_string >= row.strFields.size()) continue;
        const std::string& text = row.strFields[next_string++];
        if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "String %s\n", text.c_str());
        std::u16string wide;
        if (!convertToUnicode(text.c_str(), &wide)) {
          if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "convertUTF8ToUnicode failed\n");
          return false;
        }
        result = agent::VmpSetCellStringW(handle.get(), row_index, column, wide.c_str());
      } else {
        if (next_int >= row.intFields.size()) continue;
        const int32_t value = row.intFields[next_int++];
        if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "Integer %u\n", static_cast<uint32_t>(value));
        result = agent::VmpSetCellInt(handle.get(), row_index, column, value);
      }
      if (result != 0) TraceVmError(result);
    }
    ++row_index;
  }

  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "iRowIndex: %i, iTableRows: %i\n", static_cast<int>(row_index),
             static_cast<int>(table_rows));
  }
  while (table_rows > row_index) {
    if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "Line removed\n");
    agent::VmpRemoveRow(handle.get(), --table_rows);
  }

  const int32_t result = policy::VmpSendPolicySet(session, handle.get());
  if (result != 0) {
    module::State().last_error.store(kLastErrorFailed);
    TraceVmError(result);
    return false;
  }
  agent::VmpGetTableDimensions(handle.get(), &table_rows, &table_columns);
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "iTableRows: %i, iTableCols: %i\n", static_cast<int>(table_rows),
             static_cast<int>(table_columns));
  }
  SetChanged(false);
  return true;
}

void CTableEntry::Set(const std::vector<xTableEntry>& rows) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "CTableEntry::Set\n");
  // Rows are the same only with the same values in the same places. A row short of a value
  // (a cell the read skipped) differs from every full one: its write leaves that cell as the
  // policy holds it, so new rows that fill it in are a change.
  if (rows == rows_) return;
  ClearRows();
  rows_ = rows;
  SetChanged(true);
}

void CTableEntry::ClearRows() {
  if (!rows_.empty()) SetChanged(true);
  rows_.clear();
}

bool CTableEntry::GetTableRestriction(bool* hidden, bool* final) const {
  return TableRestriction(oid(), hidden, final);
}

bool CTableEntry::TableRestriction(const std::string& oid, bool* hidden, bool* final) {
  if (DemoMode()) return true;
  constexpr int32_t kFinalMarks = policy::kRestrictFinal | policy::kRestrictTableFinal;
  // The marks of the table as a whole are kept on its first cell.
  int32_t flags = policy::GetPolicyCellRestriction(oid.c_str(), 0);
  TraceTableRestriction(flags);
  if (hidden != nullptr) *hidden = (flags & policy::kRestrictHidden) != 0;
  if (final != nullptr) {
    *final = (flags & kFinalMarks) != 0;
    if (!*final) {
      // A table without rows, or an unmarked first cell: the variable's own marks decide.
      flags = policy::GetPolicyRestriction(oid.c_str());
      TraceTableRestriction(flags);
      *final = (flags & kFinalMarks) != 0;
    }
  }
  return (flags & (policy::kRestrictHidden | policy::kRestrictFinal)) == 0;
}

}  // namespace settings
