// Policy tables: a setting that is a table of rows whose columns are integers or strings.
//
// The table type has one character per column, "i" or "s". A row keeps its integers and its
// strings in two lists; the k-th integer belongs to the k-th "i" column, the m-th string to
// the m-th "s" column.
//
// Thread safety: as every item, reached only through the catalogue.
#ifndef SETTINGS_TABLE_ENTRY_H_
#define SETTINGS_TABLE_ENTRY_H_

#include <cstdint>
#include <string>
#include <vector>

#include "settings/item.h"

namespace settings {

struct xTableEntry {
  std::vector<int32_t> intFields;
  std::vector<std::string> strFields;
  bool operator==(const xTableEntry&) const = default;
};

// A default row as the definitions give it: up to five integers and five strings (null
// strings are empty).
struct DefaultRow {
  int32_t ints[5];
  const char* strs[5];
};

inline constexpr size_t kMaxTableColumns = 259;

class CTableEntry : public CItem {
 public:
  CTableEntry(std::string oid, const DefaultRow* default_rows, size_t count);
  explicit CTableEntry(std::string oid);

  bool Read() override;
  bool Write() override;

  void Set(const std::vector<xTableEntry>& rows);
  void ClearRows();
  bool GetTableRestriction(bool* hidden, bool* final) const;
  // The same rule for the policy variable `oid`, whatever kind of setting names it: the
  // marks of row 0, column 0, or the variable's own when that cell marks nothing final.
  // True when neither hidden nor final; in Demo Mode true at once, outputs untouched.
  static bool TableRestriction(const std::string& oid, bool* hidden, bool* final);

  const std::string& type() const { return type_; }
  const std::vector<xTableEntry>& rows() const { return rows_; }
  const std::vector<xTableEntry>& defaultRows() const { return default_rows_; }

 private:
  std::string type_;
  std::vector<xTableEntry> rows_;
  std::vector<xTableEntry> default_rows_;
};

}  // namespace settings

#endif  // SETTINGS_TABLE_ENTRY_H_
