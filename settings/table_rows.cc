#include "settings/table_rows.h"

#include "settings/cell_values.h"
#include "support/trace.h"

using support::TRACE_ERROR;
using support::TRACE_INFO;
using support::TraceEnabled;
using support::TraceOut;

namespace settings {
namespace {

void Info(const char* line) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "%s", line);
}

void TraceString(std::string_view text) {
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0, "Adding string '%.*s'\n", static_cast<int>(text.size()),
             text.data());
  }
}

}  // namespace

bool TableRowsBuilder::StartListRow(size_t cells) {
  if (cells != type_.size()) {
    if (TraceEnabled) {
      TraceOut("", TRACE_ERROR, 0, "Wrong table type, passed size %i, actual size %i\n",
               static_cast<int>(cells), static_cast<int>(type_.size()));
    }
    return false;
  }
  Info("Adding new row\n");
  rows_.emplace_back();
  column_ = 0;
  return true;
}

bool TableRowsBuilder::StartScalarRow() {
  if (type_.size() != 1) {
    if (TraceEnabled) {
      TraceOut("", TRACE_ERROR, 0, "Wrong table type, passed size 1, actual size %i\n",
               static_cast<int>(type_.size()));
    }
    return false;
  }
  if (type_[0] != 'i' && type_[0] != 's') {
    if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "Wrong type: %c\n", type_[0]);
    return false;
  }
  rows_.emplace_back();
  column_ = 0;
  return true;
}

void TableRowsBuilder::AddInteger(int32_t value) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "Adding numeric %ld\n", static_cast<long>(value));
  rows_.back().intFields.push_back(value);
  ++column_;
}

void TableRowsBuilder::AddFloat(double value) {
  const int32_t cell = FloatCell(value);
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "Adding numeric %d\n", cell);
  rows_.back().intFields.push_back(cell);
  ++column_;
}

void TableRowsBuilder::AddDecimal(std::string_view text) {
  // The text as given, up to a byte 0, as a C string would show it.
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "Adding numeric %s\n", std::string(text).c_str());
  rows_.back().intFields.push_back(DecimalCell(text));
  ++column_;
}

void TableRowsBuilder::AddText(std::string text) {
  TraceString(text);
  rows_.back().strFields.push_back(std::move(text));
  ++column_;
}

void TableRowsBuilder::AddScalar(std::string text) {
  if (type_[0] == 'i') {
    rows_.back().intFields.push_back(DecimalCell(text));
  } else {
    rows_.back().strFields.push_back(std::move(text));
  }
}

std::vector<std::vector<PageCell>> PageRows(const std::string& type,
                                            const std::vector<xTableEntry>& rows, bool defaults) {
  std::vector<std::vector<PageCell>> out;
  out.reserve(rows.size());
  for (const xTableEntry& row : rows) {
    Info("Adding new row\n");
    std::vector<PageCell>& cells = out.emplace_back();
    cells.reserve(type.size());
    size_t next_string = 0;
    size_t next_int = 0;
    for (char column : type) {
      if (column == 's') {
        if (next_string < row.strFields.size()) {
          const std::string& cell = row.strFields[next_string++];
          TraceString(cell);
          cells.push_back({true, cell, 0});
        } else {
          Info("Adding string '' due to end of xTableEntry.strFields\n");
          cells.push_back({true, std::string_view(), 0});
        }
        continue;
      }
      int32_t cell = 0;
      if (next_int < row.intFields.size()) {
        cell = row.intFields[next_int++];
        if (TraceEnabled && defaults) {
          TraceOut("", TRACE_INFO, 0, "Adding numeric %ld\n", static_cast<long>(cell));
        } else if (TraceEnabled) {
          TraceOut("", TRACE_INFO, 0, "Adding numeric %u\n", static_cast<uint32_t>(cell));
        }
      } else {
        Info("Adding numeric 0 due to end of xTableEntry.intFields\n");
      }
      cells.push_back({false, std::string_view(),
                       defaults ? int64_t{cell} : int64_t{static_cast<uint32_t>(cell)}});
    }
  }
  return out;
}

}  // namespace settings
