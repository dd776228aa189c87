// The policy setting definitions of every group, as data, for tools that need more than the
// catalogue keeps: in Demo Mode a table item never learns its column types, so its default
// rows come out empty; the definitions still hold them as written.
//
// Thread safety: the definitions are constant; the list is built anew at each call.
#ifndef SETTINGS_DEFINITIONS_H_
#define SETTINGS_DEFINITIONS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "settings/enciphered_settings.h"  // IsEncipheredSetting, with the definitions
#include "settings/item.h"
#include "settings/table_entry.h"

namespace settings {

struct PolicyDefinition {
  std::string oid;                        // the full OID
  ItemKind kind;                          // kInt, kString or kTable
  bool encrypted;                         // the enciphered policy string
  int32_t number;                         // kInt: the default
  std::string text;                       // kString: the default, with LF line breaks
  const DefaultRow* rows;                 // kTable: the default rows (five values a kind)
  size_t row_count;
};

// Every policy setting of the four groups, in the order the rebuild creates them (the OIDs
// named twice appear twice), whatever is installed.
std::vector<PolicyDefinition> PolicyDefinitions();

}  // namespace settings

#endif  // SETTINGS_DEFINITIONS_H_
