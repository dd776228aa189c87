// The directory queries against a slapd of the test's own: the databases of this server and
// their users, the users of every domain, the information store keys that decide which
// databases are here, and the port's paths, ranges, paging and failures.
#include "mailstore/directory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <pwd.h>
#endif

#include <map>

#include "mailstore/mail_host.h"
#include "mailstore/storage.h"
#include "mailstore/test_directory.h"
#include "mailstore/test_storage_server.h"
#include "platform/directory_client.h"
#include "platform/process.h"
#include "platform/unicode.h"

namespace mailstore {
namespace {

using platform::Variant;
using testing::Ldif;
using testing::TestDirectory;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kExchange = "CN=Microsoft Exchange,CN=Services," + std::string(testing::kConfiguration);
const std::string kDatabases = "CN=Databases," + kExchange;
const std::string kUsers = "CN=Users," + std::string(testing::kSuffix);
const std::string kHomeServer = "/o=Example/ou=Exchange Administrative Group/cn=Configuration/cn=Servers/cn=HERE";

std::vector<uint8_t> Guid(uint8_t first) {
  return {first, 0x0A, 0x0D, 0x28, 0x29, 0x2A, 0x5C, 0x3A, 0x3C, 0x20, 0xFF, 0x80, 0x00, 0x7F, 0x11, 0x22};
}
// The braced text of Guid(first), in Windows' field order.
std::string GuidText(uint8_t first, bool braces = true) {
  char text[48];
  snprintf(text, sizeof text, "280D0A%02X-2A29-3A5C-3C20-FF80007F1122", first);
  return braces ? "{" + std::string(text) + "}" : std::string(text);
}

struct User {
  User(std::string cn, std::string display, std::string mail, std::string home = kHomeServer,
       std::vector<std::string> extra = {})
      : cn(std::move(cn)), display(std::move(display)), mail(std::move(mail)),
        home(std::move(home)), extra(std::move(extra)) {}
  std::string cn, display, mail, home;
  std::vector<std::string> extra;
};

// A user entry in the domain; its DN.
std::string AddUser(Ldif* domain, const User& user, const std::string& container = kUsers) {
  std::string escaped;
  for (char c : user.cn) escaped += c == ',' ? std::string("\\,") : std::string(1, c);
  const std::string dn = "CN=" + escaped + "," + container;
  std::vector<std::string> lines = {"objectClass: user", "cn: " + user.cn, "sn: " + user.cn,
                                    "objectCategory: person", "mail: " + user.mail};
  if (!user.display.empty()) lines.push_back("displayName: " + user.display);
  if (!user.home.empty()) lines.push_back("msExchHomeServerName: " + user.home);
  lines.insert(lines.end(), user.extra.begin(), user.extra.end());
  domain->Add(dn, lines);
  return dn;
}

void AddDatabase(Ldif* config, const std::string& cn, const char* category, uint8_t guid,
                 const std::string& owner, const std::vector<std::string>& users) {
  std::vector<std::string> lines = {std::string("objectClass: ") + category, "cn: " + cn,
                                    std::string("objectCategory: ") + category,
                                    "objectGUID:: " + testing::Base64(Guid(guid)),
                                    "msExchOwningServer: " + owner};
  for (const std::string& user : users) lines.push_back("homeMDBBL: " + user);
  config->Add("CN=" + cn + "," + kDatabases, lines);
}

void Container(Ldif* ldif, const std::string& dn, const std::string& cn) {
  ldif->Add(dn, {"objectClass: container", "cn: " + cn});
}

// The directory of these tests: four private databases (Big, 1,050 users, found through the
// Schema key; Exact, 500 users, through its Private- key; Mixed, the odd users, through
// DbState; Away, mounted elsewhere), a public one, and the domain's users.
struct Fixture {
  Ldif config, domain;
  std::string host;

  explicit Fixture(const std::string& host_name) : host(host_name) {
    domain.Add(testing::kSuffix, {"objectClass: domainDNS", "dc: example"});
    Container(&domain, kUsers, "Users");
    Container(&config, testing::kConfiguration, "Configuration");
    Container(&config, "CN=Services," + std::string(testing::kConfiguration), "Services");
    Container(&config, kExchange, "Microsoft Exchange");
    Container(&config, kDatabases, "Databases");
    const std::string partitions = "CN=Partitions," + std::string(testing::kConfiguration);
    Container(&config, partitions, "Partitions");
    auto cross_ref = [&](const std::string& cn, const std::string& nc, const char* flags) {
      std::vector<std::string> lines = {"objectClass: crossRef", "cn: " + cn, "nCName: " + nc,
                                        "objectCategory: crossRef"};
      if (flags != nullptr) lines.push_back(std::string("systemFlags: ") + flags);
      config.Add("CN=" + cn + "," + partitions, lines);
    };
    cross_ref("Example", testing::kSuffix, "3");
    cross_ref("Example again", "dc=EXAMPLE, dc=test", "3");  // the same domain, spelled apart
    cross_ref("Configuration", testing::kConfiguration, "1");
    cross_ref("Unflagged", "DC=nowhere,DC=test", nullptr);

    std::vector<std::string> big, exact, mixed, away, pub;
    for (int i = 0; i < 1050; ++i) {
      char name[16];
      snprintf(name, sizeof name, "b%04d", i);
      big.push_back(AddUser(&domain, {name, std::string("Big ") + name, std::string(name) + "@example.test"}));
    }
    for (int i = 0; i < 500; ++i) {
      char name[16];
      snprintf(name, sizeof name, "e%04d", i);
      exact.push_back(AddUser(&domain, {name, std::string("Exact ") + name, std::string(name) + "@example.test"}));
    }
    mixed.push_back(AddUser(&domain, {"Evans, Eve", "Eve Evans", "eve@example.test", kHomeServer,
                                      {"legacyExchangeDN: /o=Example/cn=eve",
                                       "proxyAddresses: SMTP:eve@example.test",
                                       "proxyAddresses: smtp:evans@example.test"}}));
    mixed.push_back(AddUser(&domain, {"Zoe", "Zoë Ångström 日本", "zoe@example.test"}));
    mixed.push_back(AddUser(&domain, {"sysmb", "SystemMailbox{0b1d9ae4-1f05-4ad8}", "SystemMailbox{0b1d9ae4}@example.test"}));
    mixed.push_back(AddUser(&domain, {"noat", "No At", "noat.example.test"}));
    mixed.push_back(AddUser(&domain, {"nodisplay", "", "nodisplay@example.test"}));
    mixed.push_back("CN=Gone,CN=Users,DC=example,DC=test");  // a back-link to no entry
    mixed.push_back(AddUser(&domain, {"hostlocal", "Host Local", "hostlocal@example.test",
                                      "/o=Example/cn=Servers/cn=" + host}));
    away.push_back(AddUser(&domain, {"far1", "Far One", "far1@example.test", "/o=Example/cn=Servers/cn=OTHER"}));
    away.push_back(AddUser(&domain, {"far2", "Far Two", "far2@example.test", "/o=Example/cn=Servers/cn=OTHER"}));
    pub.push_back(AddUser(&domain, {"pubuser", "Public User", "pub@example.test", "/o=Example/cn=Servers/cn=OTHER"}));
    domain.Add("CN=Machine,CN=Users,DC=example,DC=test",
               {"objectClass: user", "cn: Machine", "sn: Machine", "objectCategory: computer",
                "mail: machine@example.test", "displayName: Machine", "msExchHomeServerName: " + kHomeServer});

    AddDatabase(&config, "Big", "msExchPrivateMDB", 0xB1, "CN=MAIL9,CN=Servers," + kExchange, big);
    AddDatabase(&config, "Exact", "msExchPrivateMDB", 0xE1, "CN=HERE,CN=Servers," + kExchange, exact);
    AddDatabase(&config, "Mixed", "msExchPrivateMDB", 0xA1, "CN= here ,CN=Servers," + kExchange, mixed);
    AddDatabase(&config, "Away", "msExchPrivateMDB", 0xF1, "CN=HERE,CN=Servers," + kExchange, away);
    AddDatabase(&config, "Public", "msExchPublicMDB", 0xC1, "CN=HERE,CN=Servers," + kExchange, pub);

    const std::string servers = "CN=Servers," + kExchange;
    Container(&config, servers, "Servers");
    auto server = [&](const std::string& name, const char* roles, const std::string& group) {
      config.Add("CN=" + name + "," + servers,
                 {"objectClass: msExchExchangeServer", "cn: " + name, "name: " + name,
                  std::string("msExchCurrentServerRoles: ") + roles, "msExchHomeRoutingGroup: " + group});
    };
    const std::string group1 = "CN=Group1," + kExchange, group2 = "CN=Group2," + kExchange;
    server("HERE", "54", group1);
    server("HUB2", "32", group1);
    server("HUB3", "32", group2);
    server("MBX4", "2", group1);
    auto accepted = [&](const std::string& name, const char* flags) {
      config.Add("CN=" + name + "," + kExchange,
                 {"objectClass: msExchAcceptedDomain", "cn: " + name,
                  "msExchAcceptedDomainName: " + name, std::string("msExchAcceptedDomainFlags: ") + flags});
    };
    accepted("example.test", "0");
    accepted("relay.test", "12");
    accepted("external.test", "1");
  }
};

// The information store keys that make HERE this server and Big, Exact and Mixed its
// databases; Away is mounted elsewhere.
void SeedInformationStore() {
  platform::Hive& hive = platform::LocalMachine();
  platform::RegistryKey key;
  const uint32_t one = 1;
  hive.CreateKey("SYSTEM\\CurrentControlSet\\Services\\MSExchangeIS\\Schema", platform::kKeyAllAccess, &key);
  hive.SetValue(key, GuidText(0xB1), platform::kRegDword, &one, 4);
  hive.CreateKey("SYSTEM\\CurrentControlSet\\Services\\MSExchangeIS\\HERE\\Private-" + GuidText(0xE1, false),
                 platform::kKeyAllAccess, &key);
  hive.CreateKey("SOFTWARE\\Microsoft\\ExchangeServer\\v15\\ActiveManager\\DbState",
                 platform::kKeyAllAccess, &key);
  auto state = [&](uint8_t guid, const std::string& text) {
    hive.SetValue(key, GuidText(guid, false), platform::kRegSz, text.c_str(),
                  static_cast<uint32_t>(text.size() + 1));
  };
  state(0xA1, "Version?2*MountStatus?Mounted*LastMountedServer?here*Flags?0");
  state(0xF1, "MountStatus?Mounted*LastMountedServer?HEREX*");
}

struct Reported {
  std::u16string name, mail, legacy;
  bool local = false;
  Variant proxy;
};

struct Collector {
  std::vector<Reported> users;
  int stop_at = 0;             // answer the stop status at this call
  TestDirectory* kill_at_owner = nullptr;
  int kill_at = 0;             // kill the server at this call

  static uint32_t Callback(const char16_t* name, const char16_t* mail, bool local,
                           const Variant* proxy, const char16_t* legacy, void* context) {
    auto* self = static_cast<Collector*>(context);
    self->users.push_back({name, mail, legacy != nullptr ? legacy : u"", local, proxy != nullptr ? *proxy : Variant()});
    const int calls = static_cast<int>(self->users.size());
    if (calls == self->kill_at) self->kill_at_owner->Kill();
    return calls == self->stop_at ? kAborted : kOk;
  }
  std::map<std::string, const Reported*> ByMail() const {
    std::map<std::string, const Reported*> by_mail;
    for (const Reported& user : users) by_mail[platform::Utf16ToUtf8(user.mail)] = &user;
    return by_mail;
  }
};

// This process's account name.
std::string AccountName() {
#ifdef _WIN32
  wchar_t name[257];
  DWORD size = 257;
  return GetUserNameW(name, &size) ? platform::Utf16ToUtf8(reinterpret_cast<const char16_t*>(name))
                                   : std::string();
#else
  return getpwuid(geteuid())->pw_name;
#endif
}

class DirectoryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    host_ = platform::Utf16ToUtf8(GetHostName());
    fixture_ = new Fixture(Lower(host_));
  }
  static void TearDownTestSuite() { delete fixture_; }
  void SetUp() override {
    if (!TestDirectory::Available()) GTEST_SKIP() << "slapd is a Linux program: run under Wine";
    directory_ = std::make_unique<TestDirectory>(fixture_->config, fixture_->domain);
    ASSERT_TRUE(directory_->ok());
    platform::testing::SetEnvironment("LDAPURI", directory_->uri().c_str());
    platform::testing::SetEnvironment("LDAPNOINIT", "1");
    ForgetMailHostNames();  // each case's machine decides which server is here
  }
  static std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
  }

  testing::TestStorageServer root_;  // the machine root and its hive
  std::unique_ptr<TestDirectory> directory_;
  static inline std::string host_;
  static inline Fixture* fixture_ = nullptr;
};

TEST_F(DirectoryTest, WithoutInformationStoreKeysTheHostNameAloneDecides) {
  EXPECT_EQ(GetStoreServerName(), nullptr);
  Collector found;
  EXPECT_EQ(EnumADMailUsers(&Collector::Callback, &found, false, false), kOk);
  ASSERT_EQ(found.users.size(), 1u);  // the lower-case "cn=<host>" user only
  EXPECT_EQ(found.users[0].mail, u"hostlocal@example.test");
  Collector databases;
  EXPECT_EQ(EnumMDBMailUsers(&Collector::Callback, &databases, false, false), kOk);
  EXPECT_TRUE(databases.users.empty());
}

TEST_F(DirectoryTest, DatabaseUsersOfThisServerThroughSchemaPrivateKeyAndDbState) {
  SeedInformationStore();
  ASSERT_NE(GetStoreServerName(), nullptr);
  EXPECT_EQ(std::u16string(GetStoreServerName()), u"HERE");
  root_.Trace();
  const uint64_t operations = platform::DirectoryOperationCount();
  const int connections = directory_->Connections();
  Collector found;
  EXPECT_EQ(EnumMDBMailUsers(&Collector::Callback, &found, false, false), kOk);
  const uint64_t sent = platform::DirectoryOperationCount() - operations;
  const auto by_mail = found.ByMail();
  // 1,050 + 500 + the six readable users of Mixed; Away and Public not, nor the user
  // without a display name or the dangling back-link.
  EXPECT_EQ(found.users.size(), 1050u + 500u + 5u);
  for (const char* mail : {"b0000@example.test", "b1049@example.test", "e0499@example.test",
                           "eve@example.test", "zoe@example.test", "noat.example.test",
                           "SystemMailbox{0b1d9ae4}@example.test", "hostlocal@example.test"}) {
    EXPECT_EQ(by_mail.count(mail), 1u) << mail;
  }
  for (const char* mail : {"far1@example.test", "pub@example.test", "nodisplay@example.test"})
    EXPECT_EQ(by_mail.count(mail), 0u) << mail;
  EXPECT_EQ(by_mail.at("zoe@example.test")->name, u"Zoë Ångström 日本");
  EXPECT_EQ(by_mail.at("eve@example.test")->legacy, u"/o=Example/cn=eve");
  EXPECT_EQ(by_mail.at("eve@example.test")->proxy.type, Variant::Type::kEmpty);
  for (const Reported& user : found.users) EXPECT_TRUE(user.local);
  // One connection (on Windows the port's check that the server takes one, before wldap32
  // connects, is one more), and one operation per user beside a few dozen for the databases.
#ifdef _WIN32
  EXPECT_EQ(directory_->Connections() - connections, 2);
#else
  EXPECT_EQ(directory_->Connections() - connections, 1);
#endif
  EXPECT_GE(sent, found.users.size());
  EXPECT_LE(sent, found.users.size() + 40);

  const std::string log = root_.trace_log();
  EXPECT_THAT(log, HasSubstr("Get('homeMDBBL;range=1000-1499') : 50\n"));
  EXPECT_THAT(log, HasSubstr("Get('homeMDBBL;range=0-499') : 500\n"));
  EXPECT_THAT(log, HasSubstr("Get('homeMDBBL;range=500-999') Err : 0x8000500D\n"));  // Exact
  EXPECT_THAT(log, HasSubstr("PrivateMDB 'objectGUID'         : " + GuidText(0xB1) + "\n"));
  EXPECT_THAT(log, HasSubstr("GUID was found in 'Schema'...\n"));
  EXPECT_THAT(log, HasSubstr("Found key 'SYSTEM\\CurrentControlSet\\Services\\MSExchangeIS\\HERE\\Private-" +
                             GuidText(0xE1, false) + "'\n"));
  EXPECT_THAT(log, HasSubstr("Found as owning server\n"));
  EXPECT_THAT(log, HasSubstr("This MDB is to be skipped (foreign server)...\n"));
  EXPECT_THAT(log, HasSubstr("ADsOpenObject(LDAP://CN=Gone,CN=Users,DC=example,DC=test) Failed : 0x80072030\n"));

  // Every server's databases, with proxy addresses: Away's users too, not as local ones.
  Collector all;
  EXPECT_EQ(EnumMDBMailUsers(&Collector::Callback, &all, true, true), kOk);
  const auto all_by_mail = all.ByMail();
  ASSERT_EQ(all_by_mail.count("far1@example.test"), 1u);
  EXPECT_FALSE(all_by_mail.at("far1@example.test")->local);
  const Variant& eve = all_by_mail.at("eve@example.test")->proxy;
  ASSERT_EQ(eve.dimensions(), 1u);
  EXPECT_EQ(eve.items[1].text, u"smtp:evans@example.test");
  EXPECT_EQ(all_by_mail.at("zoe@example.test")->proxy.text, u"SMTP:zoe@example.test");
}

TEST_F(DirectoryTest, DomainUsersOnceEachInSetOrderAcrossPages) {
  SeedInformationStore();
  Collector local, everyone;
  EXPECT_EQ(EnumADMailUsers(&Collector::Callback, &local, false, false), kOk);
  EXPECT_EQ(EnumADMailUsers(&Collector::Callback, &everyone, true, true), kOk);
  // Every person with a mail, once although two crossRefs name the domain; more than
  // slapd's size limit, so paged. The computer account is no person.
  EXPECT_EQ(everyone.users.size(), 1050u + 500u + 5u + 3u);
  EXPECT_EQ(everyone.ByMail().count("machine@example.test"), 0u);
  EXPECT_FALSE(everyone.ByMail().at("far1@example.test")->local);
  EXPECT_EQ(everyone.ByMail().at("eve@example.test")->proxy.items.size(), 2u);
  // Homed on HERE (the store server name decides now, not the host name).
  EXPECT_EQ(local.users.size(), 1050u + 500u + 4u);
  EXPECT_EQ(local.ByMail().count("hostlocal@example.test"), 0u);
}

TEST_F(DirectoryTest, StopStatusEndsEveryEnumerationAndIsReturned) {
  SeedInformationStore();
  for (bool databases : {true, false}) {
    Collector stopping;
    stopping.stop_at = 3;
    const uint32_t result = databases ? EnumMDBMailUsers(&Collector::Callback, &stopping, true, false)
                                      : EnumADMailUsers(&Collector::Callback, &stopping, true, false);
    EXPECT_EQ(result, kAborted);
    EXPECT_EQ(stopping.users.size(), 3u);
  }
}

TEST_F(DirectoryTest, ServerKilledMidWalkKeepsWhatWasFound) {
  SeedInformationStore();
  // The database walk skips what it cannot open and ends; the domain walk fails on the
  // next page. Neither takes the process down (no SIGPIPE) nor waits long.
  Collector databases;
  databases.kill_at_owner = directory_.get();
  databases.kill_at = 700;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(EnumMDBMailUsers(&Collector::Callback, &databases, false, false), kOk);
  EXPECT_EQ(databases.users.size(), 700u);
  ASSERT_TRUE(directory_->Start());

  Collector domain;
  domain.kill_at_owner = directory_.get();
  domain.kill_at = 100;
  EXPECT_EQ(EnumADMailUsers(&Collector::Callback, &domain, true, false), platform::kEDsServerDown);
  EXPECT_GE(domain.users.size(), 100u);
  EXPECT_LT(domain.users.size(), 1050u + 500u);
  EXPECT_EQ(EnumMDBMailUsers(&Collector::Callback, &domain, false, false), platform::kEDsServerDown);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));

  // Through the snapshot: the storage server is not there, the directory's users are kept.
  ASSERT_TRUE(directory_->Start());
  CStorage storage;
  EXPECT_EQ(storage.EnumerateMBs(0, true), kOk);
  EXPECT_EQ(storage.MBCount(), 1050 + 500 + 3);  // without the system mailbox and "noat"
  EXPECT_EQ(storage.MBName(0), u"Big b0000");
  EXPECT_EQ(storage.MBUrl(0), u"file://./backofficestorage/example.test/mbx/b0000");
}

TEST_F(DirectoryTest, FurtherRoutinesOfTheFamily) {
  SeedInformationStore();
  std::u16string text;
  EXPECT_EQ(GetExchangeTransportAuthDomains(&text), kOk);  // its filter is "((…))"
  EXPECT_EQ(text, u"example.test,relay.test");
  EXPECT_EQ(GetHubExchangeServers(&text), kOk);
  EXPECT_EQ(text, u"HERE\nHUB2");
  EXPECT_EQ(GetCurrentUserName(&text), kOk);
#ifdef _WIN32
  // Windows spells the machine's part in capitals; the name is the same in any case.
  EXPECT_EQ(Lower(platform::Utf16ToUtf8(text)), Lower(host_ + "\\" + AccountName()));
#else
  EXPECT_EQ(platform::Utf16ToUtf8(text), host_ + "\\" + AccountName());
#endif

  std::unique_ptr<platform::IADs> object;
  EXPECT_EQ(platform::ADsOpenObject(u"LDAP://CN=Nobody,DC=example,DC=test", nullptr, nullptr, 5, &object),
            platform::kEDsNoSuchObject);
  EXPECT_EQ(platform::ADsOpenObject(u"http://rootDSE", nullptr, nullptr, 5, &object), platform::kEAdsBadPathname);
  EXPECT_EQ(platform::ADsOpenObject(u"LDAP://rootDSE", u"admin", u"secret", 5, &object), kInvalidArg);
  ASSERT_EQ(platform::ADsOpenObject(u"LDAP://rootDSE", nullptr, nullptr, 5, &object), kOk);
  Variant value;
  EXPECT_EQ(object->Get(u"CONFIGURATIONNAMINGCONTEXT", &value), kOk);
  EXPECT_EQ(value.text, platform::Utf8ToUtf16(testing::kConfiguration));
  EXPECT_EQ(platform::NormalizeDn(u"CN=Evans\\, Eve, dc=Example"),
            platform::NormalizeDn(u"cn=evans\\2C eve,DC=EXAMPLE"));

  directory_->Stop();
  Collector none;
  EXPECT_EQ(EnumADMailUsers(&Collector::Callback, &none, false, false), platform::kEDsServerDown);
}

#ifndef _WIN32
// The launcher refuses what would wipe a running instance, a socket path past what a socket
// address holds (107 bytes), and signalling a process that its pid file names but that is
// not the instance's slapd; the instance folder is its owner's alone (so is the socket).
TEST_F(DirectoryTest, LauncherKeepsInstancesAndOtherProcessesSafe) {
  const std::string instance = directory_->instance();
  std::string out;
  EXPECT_EQ(directory_->Launch({"start", "--instance", instance, "--suffix", testing::kSuffix,
                                "--config-ldif", "/dev/null", "--domain-ldif", "/dev/null"}),
            1);
  EXPECT_EQ(directory_->Launch({"uri", "--instance", instance}), 0);  // still serving
  EXPECT_EQ(std::filesystem::status(instance).permissions(), std::filesystem::perms::owner_all);
  const std::string parent = instance.substr(0, instance.rfind('/'));
  const std::string longest = parent + "/" + std::string(100 - parent.size(), 'x');  // + "/ldapi"
  EXPECT_EQ(directory_->Launch({"uri", "--instance", longest}, &out), 1);
  EXPECT_NE(out.find("no slapd runs on"), std::string::npos) << out;
  EXPECT_EQ(directory_->Launch({"uri", "--instance", longest + "x"}, &out), 1);
  EXPECT_NE(out.find("its socket path " + longest + "x/ldapi has 108 bytes"), std::string::npos)
      << out;

  std::string pid;
  std::ifstream(instance + "/slapd.pid") >> pid;
  std::ofstream(instance + "/slapd.pid") << getpid() << "\n";
  EXPECT_EQ(directory_->Launch({"stop", "--instance", instance}), 0);  // and this process lives
  std::ofstream(instance + "/slapd.pid") << pid << "\n";
}
#endif  // the launcher's own safety is checked by the Linux run

// The information store keys and the texts, without the directory.
TEST(DirectoryRoutinesTest, HomeDatabasesServerNamesAndAddresses) {
  testing::TestStorageServer root;
  SeedInformationStore();
  const std::string guid = GuidText(0xA1);
  const std::u16string wide = platform::Utf8ToUtf16(guid);
  const char16_t* owner = u"CN=here,CN=Servers,CN=x";
  EXPECT_TRUE(IsItHomeMDB(true, platform::Utf8ToUtf16(GuidText(0xB1)).c_str(), nullptr));  // Schema
  EXPECT_TRUE(IsItHomeMDB(true, wide.c_str(), owner));                                      // DbState
  EXPECT_FALSE(IsItHomeMDB(true, wide.c_str(), u"CN=HER,CN=Servers"));   // a prefix of "here"
  EXPECT_FALSE(IsItHomeMDB(true, wide.c_str(), u"CN=HERE"));             // no ','
  EXPECT_FALSE(IsItHomeMDB(true, wide.c_str(), u"OU=HERE,CN=x"));        // no ',' after "CN="
  EXPECT_FALSE(IsItHomeMDB(true, u"", owner));
  EXPECT_FALSE(IsItHomeMDB(true, platform::Utf8ToUtf16(GuidText(0xF1)).c_str(), owner));  // HEREX
  const std::u16string exact = platform::Utf8ToUtf16(GuidText(0xE1));
  EXPECT_TRUE(IsItHomeMDB(true, exact.c_str(), u"CN=HERE,CN=x"));    // Private- key
  EXPECT_FALSE(IsItHomeMDB(false, exact.c_str(), u"CN=HERE,CN=x"));  // no Public- key
  EXPECT_FALSE(IsItHomeMDB(true, (exact + u"0000").c_str(), u"CN=HERE,CN=x"));  // 40 characters

  std::u16string home = u"/o=Ex/ou=Group/cn=Configuration/cn=Servers/cn= mail1 ";
  EXPECT_TRUE(GetHomeServerName(&home));
  EXPECT_EQ(home, u"MAIL1");
  home = u"/o=Ex/ou=Group";
  GetHomeServerName(&home);
  EXPECT_EQ(home, u"");

  std::u16string out;
  FilterSmtpAddresses(u"SMTP:a@x.test; smtp : b@x.test ;X400:c=us;;  ;Name <c@x.test>;"
                      u"smtp:Bad <d@x.test;sip:e@x.test;:f@x.test;smtp:",
                      &out);
  EXPECT_EQ(out, u"a@x.test; b@x.test ;c@x.test;f@x.test;");
  for (const auto& [text, expected] : std::vector<std::pair<const char16_t*, const char16_t*>>{
           {u"SMTP:Name <a@x.test>", u"a@x.test"}, {u"a@x.test", u"a@x.test"},
           {u"SMTP:no at", u""}, {u"x <a@x.test", u""}, {u"<b> <c@x.test>", u"c@x.test"}}) {
    ExtractSmtpAddress(text, &out);
    EXPECT_EQ(out, expected) << platform::Utf16ToUtf8(text);
  }
  EXPECT_TRUE(IsMailboxUrl(u"file://./backofficestorage/x.test/MBX/anna"));
  EXPECT_TRUE(IsMailboxUrl(u"FILE:\\\\.\\BackOfficeStorage\\x.test\\mbx\\anna"));
  EXPECT_FALSE(IsMailboxUrl(u"file://./backofficestorage/x.test/public folders/a"));
  EXPECT_FALSE(IsMailboxUrl(u"file://./mbx/"));
}

}  // namespace
}  // namespace mailstore
