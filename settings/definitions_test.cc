// The rebuild of the catalogue from the setting definitions, one product combination per
// case: which groups are built, which registry keys their items sit on, the defaults that
// depend on the machine, and the lines the rebuild writes.
#include <gtest/gtest.h>

#include <array>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "module/lifecycle.h"
#include "module/module_state.h"
#include "platform/registry.h"
#include "policy/agent_messages.h"
#include "policy/agent_test_support.h"
#include "policy/policy_access.h"
#include "products/products.h"
#include "settings/catalogue.h"
#include "support/trace.h"

namespace {

using policy_test::InstallMailProduct;
using policy_test::InstallServerProduct;
using policy_test::SetDword;
using policy_test::SetString;

using settings::CSettings;

constexpr char kVirusScanKey[] = "SYSTEM\\CurrentControlSet\\Services\\MSExchangeIS\\VirusScan";
constexpr char kWorldMapKey[] = "SOFTWARE\\Veltmark\\Corvane\\World Map Support";
constexpr char kQuarantineKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\Corvane Holdfast\\Parameters";
// The server anti-virus family's scanning service; its "ObjectName" says it is installed.
constexpr char kVxsKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\Corvane Anti-Virus Server Daemon";
constexpr char kRetention[] = "1.3.6.1.4.1.8642.20.1.100.50.22";      // first group, int
constexpr char kSecondGroupInt[] = "1.3.6.1.4.1.8642.18.1.11.20";
constexpr char kServerInt[] = "1.3.6.1.4.1.8642.57.1.3";

// first policy, first registry, second policy, second registry, common, quarantine, server
using Counts = std::array<int, 7>;

Counts CountsOf(const CSettings& catalogue) {
  const CSettings::GroupCounts c = catalogue.last_build();
  return {c.first_policy, c.first_registry, c.second_policy, c.second_registry,
          c.common,       c.quarantine,     c.server};
}

// Each case installs its products on a root whose agent runs; the catalogue reads them when
// it is built.
class DefinitionsTest : public policy_test::AgentTest {
 protected:
  void TearDown() override {
    // What module shutdown forgets as well: the product verdicts and the agent layer.
    products::ForgetVerdicts();
    policy::AgentApiShutdown();
    module::State().no_service_check_mode = 0;
    AgentTest::TearDown();
  }

  static bool KeyExists(const char* path) {
    platform::RegistryKey key;
    return platform::LocalMachine().OpenKey(path, platform::kKeyQueryValue, &key) == 0;
  }

  // The lines of the rebuild's own vocabulary since the last call, in order, without their
  // line feeds.
  std::vector<std::string> RebuildLines() {
    static const std::regex kRebuild("(Failed to read settings|VX[MS] doesn't seem|"
                                     "(Worldmap )?Reg(Open|Create)KeyEx\\(\\) Failed).*");
    std::vector<std::string> lines = policy_test::TraceMessages(log_, &seen_);
    std::erase_if(lines, [](const std::string& line) { return !std::regex_match(line, kRebuild); });
    return lines;
  }

  size_t seen_ = 0;
};

const std::string kOpenFailed = "RegOpenKeyEx() Failed : 2";
const std::string kNoVxm = "VXM doesn't seem to be installed";
const std::string kNoVxs = "VXS doesn't seem to be installed";
// Both product groups built without either product: the first group's status turns to
// success once it is built; the second's stays failed.
const Counts kBothProductGroups = {342, 0, 71, 0, 21, 5, 0};
const std::vector<std::string> kBothProductGroupsLines = {
    kOpenFailed, "Worldmap RegOpenKeyEx() Failed : 2", kNoVxs, kOpenFailed};

TEST_F(DefinitionsTest, BothProductsBuildEveryGroupOnItsKeys) {
  InstallMailProduct("cvavvxmd");
  SetString(kVxsKey, "ObjectName", "LocalSystem");
  InstallServerProduct();
  SetDword(kVirusScanKey, "ScanTimeout", 300);
  SetString(kWorldMapKey, "MTAAddress", "192.0.2.7");
  SetString(kQuarantineKey, "ServerAddress", "db.example.com");

  CSettings catalogue;
  catalogue.ReadSettings();
  EXPECT_EQ(CountsOf(catalogue), (Counts{342, 5, 71, 3, 21, 5, 58}));
  EXPECT_EQ(catalogue.size(), 505u);
  EXPECT_TRUE(RebuildLines().empty());

  // Values come from each group's own key (from the policy: the .phpt suite); defaults that
  // depend on the machine.
  EXPECT_EQ(catalogue.GetIntRegByOID("ScanTimeout"), 300);
  EXPECT_EQ(catalogue.GetStringRegByOID("MTAAddress"), "192.0.2.7");
  EXPECT_EQ(catalogue.GetStringRegByOID("ServerAddress"), "db.example.com");
  EXPECT_EQ(catalogue.GetDefaultStringRegByOID("DatabaseName"), "CVWDL_Quarantine");
  EXPECT_EQ(catalogue.GetDefaultIntRegByOID("ScanningThreads"),
            2 * static_cast<int32_t>(std::thread::hardware_concurrency()) + 1);
  // The two enciphered settings: tests/phpt/settings_agent.phpt; this one is not.
  EXPECT_FALSE(catalogue.GetObjectByOID("UserHldName")->IsEncrypted());
  // Line feeds of a default are held as CR LF.
  EXPECT_EQ(catalogue.GetDefaultStringByOID("1.3.6.1.4.1.8642.20.1.100.60.20"),
            "200, Email.0Day.Malware\r\n600, High virus risk detected");

  // A rebuild replaces the items rather than adding to them.
  catalogue.ReadSettings();
  EXPECT_EQ(catalogue.size(), 505u);
}

TEST_F(DefinitionsTest, MailServerProductAloneBuildsItsGroupAndCreatesTheQuarantineKey) {
  InstallMailProduct("cvavag4vxm");  // the other service: its own key is missing
  SetDword(kVxsKey, "Start", 2);     // the service key is there, its "ObjectName" is not

  CSettings catalogue;
  catalogue.ReadSettings();
  EXPECT_EQ(CountsOf(catalogue), (Counts{342, 0, 0, 0, 21, 5, 0}));
  // No virus-scanning key: its values are not created. The quarantine key is created.
  EXPECT_EQ(RebuildLines(), (std::vector<std::string>{kOpenFailed, kNoVxs, kOpenFailed}));
  EXPECT_TRUE(KeyExists(kQuarantineKey));
  EXPECT_EQ(catalogue.GetObjectByOID("ScanTimeout"), nullptr);
  EXPECT_EQ(catalogue.GetObjectByOID(kSecondGroupInt), nullptr);
  EXPECT_EQ(catalogue.GetDefaultStringRegByOID("DatabaseName"), "CVVXM_Quarantine");

  // The created key holds what the items write.
  ASSERT_TRUE(catalogue.SetStringRegByOID("SqlProvider", "other"));
  catalogue.WriteChanged();
  CSettings reread;
  reread.ReadSettings();
  EXPECT_EQ(reread.GetStringRegByOID("SqlProvider"), "other");
}

TEST_F(DefinitionsTest, ServerProductAloneBuildsCommonAndServerGroupsOnly) {
  InstallServerProduct();

  CSettings catalogue;
  catalogue.ReadSettings();
  EXPECT_EQ(CountsOf(catalogue), (Counts{0, 0, 0, 0, 21, 0, 58}));
  EXPECT_EQ(RebuildLines(), (std::vector<std::string>{kNoVxm, kNoVxs}));
  EXPECT_FALSE(KeyExists(kQuarantineKey));
  EXPECT_EQ(catalogue.GetDefaultIntByOID(kServerInt), 1);
  EXPECT_EQ(catalogue.GetObjectByOID(kRetention), nullptr);
}

// Without products, Demo Mode builds both product groups without a session, and the No
// Service Check Mode with one; outside both, a rebuild without a session changes nothing.
TEST_F(DefinitionsTest, WorkModesBuildBothProductGroupsAndNoSessionChangesNothing) {
  const uint32_t no_session = 0;
  module::State().session_cell.store(&no_session);
  module::State().demo_mode = 1;
  CSettings catalogue;
  catalogue.ReadSettings();
  EXPECT_EQ(CountsOf(catalogue), kBothProductGroups);
  EXPECT_EQ(RebuildLines(), kBothProductGroupsLines);
  EXPECT_EQ(catalogue.GetDefaultStringRegByOID("DatabaseName"), "CVWDL_Quarantine");
  EXPECT_EQ(catalogue.GetObjectByOID(kServerInt), nullptr);
  const size_t items = catalogue.size();

  module::State().demo_mode = 0;
  catalogue.ReadSettings();
  EXPECT_EQ(catalogue.size(), items);
  EXPECT_EQ(CountsOf(catalogue), kBothProductGroups);
  EXPECT_EQ(catalogue.GetDefaultIntByOID(kRetention), 259200000);
  EXPECT_EQ(RebuildLines(),
            std::vector<std::string>{"Failed to read settings, CVMA is not initialized"});

  module::State().no_service_check_mode = 1;
  module::State().session_cell.store(&session_);
  CSettings checked;
  checked.ReadSettings();
  EXPECT_EQ(CountsOf(checked), kBothProductGroups);
  // The first rebuild created the quarantine key: it opens now.
  EXPECT_EQ(RebuildLines(), std::vector<std::string>(kBothProductGroupsLines.begin(),
                                                     kBothProductGroupsLines.end() - 1));
}

}  // namespace
