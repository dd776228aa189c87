// Prints the policy of a fresh installation as cvmactl import lines: every policy setting
// that the catalogue holds on this machine, at its default.
//
//   build/bin/settings_policy_seed > policy.jsonl
//   build/bin/cvmactl import policy.jsonl
//
// The catalogue is built in Demo Mode (both modes on), so the first product's and the
// second family's groups are built whatever is installed and no agent is needed; the server
// product's group needs that product registered in $CORVANE_ROOT's registry (as
// examples/machine.reg does). The registry is only read, apart from the quarantine database
// key that the rebuild creates when it is missing.
//
// Values: integers and strings at their defaults (strings with LF line breaks, as the policy
// keeps them). Tables: integer columns are type 8, string columns type 4. The column layout
// of the tables with default rows is the one their definitions describe (kTableLayouts
// below); other tables with default rows get their integer columns, then their string
// columns, counted from the values the rows give; tables without default rows get one
// integer and one string column and no rows.
//
// A few settings are seeded final (restriction 2), so that the console shows how final
// settings look and how a commit that changes one is refused (kFinalSettings below).
//
// Exit status 0; 1 when the catalogue holds no server product group (the registry is not
// seeded) or a definition is missing from it.
//
// Thread safety: one thread.
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "module/module_state.h"
#include "settings/catalogue.h"
#include "settings/definitions.h"
#include "settings/item.h"
#include "settings/table_entry.h"

namespace {

constexpr int kIntegerColumn = 8;
constexpr int kStringColumn = 4;
constexpr int kFinal = 2;

// Seeded final: a scan service port, the listening address of the second family, a
// polling interval of the common group, and one table (the named entries).
const std::set<std::string> kFinalSettings = {
    "1.3.6.1.4.1.8642.20.1.100.70.20",
    "1.3.6.1.4.1.8642.18.1.11.10",
    "1.3.6.1.4.1.8642.42.1.11.30",
    "1.3.6.1.4.1.8642.18.1.25.10",
};

// Column layouts of the tables with default rows, from what their definitions say each row
// holds ("i" integer column, "s" string column).
struct TableLayout {
  const char* oid;
  const char* type;
};
constexpr TableLayout kTableLayouts[] = {
    {"1.3.6.1.4.1.8642.20.1.100.40.10", "iisss"},   // two flags; name, patterns, description
    {"1.3.6.1.4.1.8642.20.1.100.40.20", "iissss"},  // two flags; name, subject, text, spare
    {"1.3.6.1.4.1.8642.18.1.25.10", "iiiss"},       // identifier, weight, flag; name, options
    {"1.3.6.1.4.1.8642.11.1.18.20", "is"},          // number; list
};

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          out += escape;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// The layout of a table: from kTableLayouts, else counted from the default rows.
std::string Layout(const settings::PolicyDefinition& table) {
  for (const TableLayout& layout : kTableLayouts) {
    if (table.oid == layout.oid) return layout.type;
  }
  if (table.row_count == 0) return "is";
  size_t ints = 0;
  size_t strings = 0;
  for (size_t i = 0; i < table.row_count; ++i) {
    const settings::DefaultRow& row = table.rows[i];
    for (size_t k = 0; k < 5; ++k) {
      if (row.ints[k] != 0 && k + 1 > ints) ints = k + 1;
      if (row.strs[k] != nullptr && k + 1 > strings) strings = k + 1;
    }
  }
  if (ints + strings == 0) return "is";
  return std::string(ints, 'i') + std::string(strings, 's');
}

std::string TableValue(const settings::PolicyDefinition& table) {
  const std::string layout = Layout(table);
  std::string out = "\"columns\":[";
  for (size_t c = 0; c < layout.size(); ++c) {
    if (c > 0) out += ",";
    out += std::to_string(layout[c] == 'i' ? kIntegerColumn : kStringColumn);
  }
  out += "],\"rows\":[";
  for (size_t r = 0; r < table.row_count; ++r) {
    const settings::DefaultRow& row = table.rows[r];
    size_t next_int = 0;
    size_t next_string = 0;
    out += r > 0 ? ",[" : "[";
    for (size_t c = 0; c < layout.size(); ++c) {
      if (c > 0) out += ",";
      if (layout[c] == 'i') {
        out += std::to_string(next_int < 5 ? row.ints[next_int] : 0);
        ++next_int;
      } else {
        const char* text = next_string < 5 ? row.strs[next_string] : nullptr;
        out += Json(text != nullptr ? text : "");
        ++next_string;
      }
    }
    out += "]";
  }
  return out + "]";
}

}  // namespace

int main() {
  module::State().demo_mode = 1;
  module::State().no_service_check_mode = 1;
  settings::CSettings catalogue;
  catalogue.ReadSettings();
  if (catalogue.last_build().server == 0) {
    std::fprintf(stderr,
                 "settings_policy_seed: the server product is not registered in this machine's "
                 "registry (import examples/machine.reg first)\n");
    return 1;
  }

  std::set<std::string> written;
  int lines = 0;
  std::printf("# Every policy setting at its default; seeded final: restriction 2.\n");
  for (const settings::PolicyDefinition& definition : settings::PolicyDefinitions()) {
    if (!written.insert(definition.oid).second) continue;  // an OID defined twice
    if (catalogue.GetObjectByOID(definition.oid) == nullptr) {
      std::fprintf(stderr, "settings_policy_seed: %s is not in the catalogue\n",
                   definition.oid.c_str());
      return 1;
    }
    std::string line = "{\"oid\":\"" + definition.oid + "\",";
    switch (definition.kind) {
      case settings::ItemKind::kInt:
        line += "\"int\":" + std::to_string(catalogue.GetDefaultIntByOID(definition.oid));
        break;
      case settings::ItemKind::kString:
        line += "\"string\":" +
                Json(settings::StripCr(catalogue.GetDefaultStringByOID(definition.oid)));
        break;
      default:
        line += TableValue(definition);
        break;
    }
    if (kFinalSettings.count(definition.oid) != 0) {
      line += ",\"restriction\":" + std::to_string(kFinal);
    }
    std::printf("%s}\n", line.c_str());
    ++lines;
  }
  std::fprintf(stderr, "settings_policy_seed: %d policy settings\n", lines);
  return 0;
}
