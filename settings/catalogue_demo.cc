// Demonstration of the settings catalogue against a running agent: registers both server
// products on the machine, builds the catalogue, prints how many items each group has, and
// sends one setting of each kind through Set, WriteChanged, ReadAll and Get.
//
//   build/bin/settings_catalogue_demo
//
// It works on $CORVANE_ROOT, where the caller has started build/bin/cvmad, pointed the
// delay-loading key at build/lib (as scripts/run.sh does) and imported the four policy
// variables it changes, e.g. with cvmactl import:
//
//   {"oid":"1.3.6.1.4.1.8642.20.1.100.50.22","int":259200000}
//   {"oid":"1.3.6.1.4.1.8642.20.1.100.50.300","string":".\\log"}
//   {"oid":"1.3.6.1.4.1.8642.18.1.38.160","string":""}
//   {"oid":"1.3.6.1.4.1.8642.11.1.18.20","columns":[8,4],"rows":[]}
//
// The registry values it changes live on keys it creates itself. Exit status 0 when every
// setting read back what was set (the enciphered policy string reads back in its stored
// "0x" form), 1 otherwise.
//
// Thread safety: one thread.
#include <cstdio>
#include <string>
#include <vector>

#include "module/module_state.h"
#include "platform/registry.h"
#include "policy/agent_messages.h"
#include "settings/catalogue.h"
#include "settings/table_entry.h"
#include "support/agent_libraries.h"

namespace {

using settings::CSettings;

constexpr char kIntOid[] = "1.3.6.1.4.1.8642.20.1.100.50.22";
constexpr char kStringOid[] = "1.3.6.1.4.1.8642.20.1.100.50.300";
constexpr char kSecretOid[] = "1.3.6.1.4.1.8642.18.1.38.160";
constexpr char kTableOid[] = "1.3.6.1.4.1.8642.11.1.18.20";

bool Put(const std::string& path, const char* name, uint32_t type, const void* data,
         uint32_t size) {
  platform::Hive& hive = platform::LocalMachine();
  platform::RegistryKey key;
  if (hive.CreateKey(path, platform::kKeyAllAccess, &key) != platform::kErrorSuccess) return false;
  return name == nullptr || hive.SetValue(key, name, type, data, size) == platform::kErrorSuccess;
}
bool PutString(const std::string& path, const char* name, const char* text) {
  return Put(path, name, platform::kRegSz, text,
             static_cast<uint32_t>(std::string(text).size() + 1));
}
bool PutDword(const std::string& path, const char* name, uint32_t value) {
  return Put(path, name, platform::kRegDword, &value, sizeof value);
}

// What the products' installers leave in the registry, and the keys of the registry items.
bool RegisterProducts() {
  const std::string services = "SYSTEM\\CurrentControlSet\\Services\\";
  const std::string products = "SOFTWARE\\Veltmark\\Corvane\\KTR\\Products\\";
  return PutString(products + "452", "ProductName", "Corvane Tidewall for Mail Servers") &&
         PutDword(services + "cvavvxmd", "Start", 2) &&
         PutString(products + "1001", "ProductName", "Corvane Tidewall for Servers") &&
         PutDword("SOFTWARE\\Veltmark\\Corvane\\Anti-Virus", "ProductID", 1001) &&
         PutDword(services + "Corvane Wardline", "Start", 2) &&
         PutString(services + "Corvane Anti-Virus Server Daemon", "ObjectName", "LocalSystem") &&
         Put(services + "MSExchangeIS\\VirusScan", nullptr, 0, nullptr, 0) &&
         Put("SOFTWARE\\Veltmark\\Corvane\\World Map Support", nullptr, 0, nullptr, 0);
}

uint32_t OpenSession() {
  using OpenSessionFn = int32_t (*)(const char*, uint32_t*);
  auto open_session = reinterpret_cast<OpenSessionFn>(
      support::ResolveAgentFunction(support::AgentLibrary::kClient, "CVMAOpenSession", nullptr));
  uint32_t session = 0;
  if (open_session == nullptr || open_session(nullptr, &session) != 0) return 0;
  return session;
}

std::string RowsText(const std::vector<settings::xTableEntry>& rows) {
  std::string text;
  for (const settings::xTableEntry& row : rows) {
    text += text.empty() ? "[" : " [";
    for (int32_t number : row.intFields) text += std::to_string(number) + ",";
    for (const std::string& field : row.strFields) text += "\"" + field + "\",";
    if (text.back() == ',') text.pop_back();
    text += "]";
  }
  return text;
}

std::vector<settings::xTableEntry> TableRows(CSettings& catalogue) {
  std::vector<settings::xTableEntry> rows;
  catalogue.WithItem(kTableOid, [&](settings::CItem& item) {
    if (item.kind() == settings::ItemKind::kTable) {
      rows = static_cast<settings::CTableEntry&>(item).rows();
    }
  });
  return rows;
}

// Prints one round trip; true when it matched.
bool Report(const char* kind, const char* name, const std::string& set, const std::string& got,
            bool matches) {
  std::printf("%-26s %-34s set %-22s got %s%s\n", kind, name, set.c_str(), got.c_str(),
              matches ? "" : "   <- differs");
  return matches;
}

}  // namespace

int main() {
  if (!RegisterProducts()) {
    std::fprintf(stderr, "settings_catalogue_demo: the registry cannot be written\n");
    return 1;
  }
  uint32_t session = OpenSession();
  if (session == 0) {
    std::fprintf(stderr, "settings_catalogue_demo: no agent session (is cvmad running?)\n");
    return 1;
  }
  module::State().session_cell.store(&session);
  policy::AgentApiInit(nullptr);

  CSettings catalogue;
  catalogue.ReadSettings();
  const CSettings::GroupCounts counts = catalogue.last_build();
  std::printf("mail-server product   %3d policy + %d registry\n", counts.first_policy,
              counts.first_registry);
  std::printf("server family         %3d policy + %d registry\n", counts.second_policy,
              counts.second_registry);
  std::printf("common                %3d policy\n", counts.common);
  std::printf("quarantine database   %3d registry\n", counts.quarantine);
  std::printf("server product        %3d policy\n", counts.server);
  std::printf("items                 %3zu\n\n", catalogue.size());

  const int32_t number = 172800000;
  const std::string text = ".\\logs\r\narchive";  // CR LF in memory, LF in the policy
  const std::string secret = "s3cret";
  const std::vector<settings::xTableEntry> rows = {{{1}, {"2.4"}}, {{9}, {"demo"}}};
  const int32_t timeout = 240;
  const std::string address = "192.0.2.25";
  const std::string password = "demo-password";

  catalogue.SetIntByOID(kIntOid, number);
  catalogue.SetStringByOID(kStringOid, text);
  catalogue.SetStringByOID(kSecretOid, secret);
  catalogue.WithItem(kTableOid, [&](settings::CItem& item) {
    if (item.kind() == settings::ItemKind::kTable) {
      static_cast<settings::CTableEntry&>(item).Set(rows);
    }
  });
  catalogue.SetIntRegByOID("ScanTimeout", timeout);
  catalogue.SetStringRegByOID("MTAAddress", address);
  catalogue.SetStringRegByOID("UserHldPassword", password);
  catalogue.WriteChanged();
  catalogue.ReadAll();

  int failures = 0;
  const int32_t got_number = catalogue.GetIntByOID(kIntOid);
  failures += !Report("policy integer", kIntOid, std::to_string(number), std::to_string(got_number),
                      got_number == number);
  const std::string got_text = catalogue.GetStringByOID(kStringOid);
  failures += !Report("policy string", kStringOid, "\".\\logs\\r\\narchive\"",
                      got_text == text ? "the same" : "\"" + got_text + "\"", got_text == text);
  const std::string got_secret = catalogue.GetStringByOID(kSecretOid);
  failures += !Report("policy string, enciphered", kSecretOid, "\"" + secret + "\"", got_secret,
                      got_secret.starts_with("0x") && got_secret != secret);
  const std::vector<settings::xTableEntry> got_rows = TableRows(catalogue);
  failures +=
      !Report("policy table", kTableOid, RowsText(rows), RowsText(got_rows), got_rows == rows);
  const int32_t got_timeout = catalogue.GetIntRegByOID("ScanTimeout");
  failures += !Report("registry integer", "ScanTimeout", std::to_string(timeout),
                      std::to_string(got_timeout), got_timeout == timeout);
  const std::string got_address = catalogue.GetStringRegByOID("MTAAddress");
  failures +=
      !Report("registry string", "MTAAddress", address, got_address, got_address == address);
  const std::string got_password = catalogue.GetStringRegByOID("UserHldPassword");
  failures += !Report("registry string, encrypted", "UserHldPassword", password, got_password,
                      got_password == password);
  return failures == 0 ? 0 : 1;
}
