// A table setting's rows as the pages hand them in and get them back: the rows built from
// a page's cells one at a time, checked against the table's type, and the cells a page gets
// for the rows a table holds. Both trace what they add, as the settings functions always
// have. The shell turns its own values into these calls and back; nothing here knows them.
//
// Thread safety: a builder belongs to one thread; PageRows is a pure function apart from
// the trace.
#ifndef SETTINGS_TABLE_ROWS_H_
#define SETTINGS_TABLE_ROWS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "settings/table_entry.h"

namespace settings {

// Builds the rows of a table of `type` ('i' integer and 's' string columns, in order).
class TableRowsBuilder {
 public:
  explicit TableRowsBuilder(std::string type) : type_(std::move(type)) {}

  // Starts a row given as a list of `cells` cells. False, traced, when that is not the
  // table's number of columns.
  bool StartListRow(size_t cells);
  // Starts a row given as one lone value. False, traced, unless the table has exactly one
  // column, of integers or strings.
  bool StartScalarRow();
  // The column the next cell goes to holds integers (else strings).
  bool NextIsInteger() const { return type_[column_] == 'i'; }

  // The next cell of a list row: an integer already within 32 bits, a float (truncated,
  // settings/cell_values.h), a decimal text for an integer column, or a string column's
  // text.
  void AddInteger(int32_t value);
  void AddFloat(double value);
  void AddDecimal(std::string_view text);
  void AddText(std::string text);
  // The lone value of a scalar row, as text: read as a decimal in an integer column, not
  // traced.
  void AddScalar(std::string text);

  // The rows built; the builder is then empty.
  std::vector<xTableEntry> Take() { return std::move(rows_); }

 private:
  std::string type_;
  std::vector<xTableEntry> rows_;
  size_t column_ = 0;
};

// A cell as a page gets it back: a string column's text (a view into the rows given), else
// an integer: the current values unsigned (0 to 4294967295), the default ones signed.
struct PageCell {
  bool is_text;
  std::string_view text;
  int64_t number;
};

// The cells of `rows` for a table of `type`, one list per row. A row short of values gives
// the missing cells empty or 0.
std::vector<std::vector<PageCell>> PageRows(const std::string& type,
                                            const std::vector<xTableEntry>& rows, bool defaults);

}  // namespace settings

#endif  // SETTINGS_TABLE_ROWS_H_
