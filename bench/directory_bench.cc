// Benchmark of the directory fallback against a slapd of its own on an ldapi socket: the
// smallest LDAP round trip on the connection the enumeration uses (the floor), and the
// enumeration of the users of a mailbox database of 5,000 users against (the operations it
// sends × that floor). It prints the operations per user too.
//
//   build/bin/directory_bench [ROUNDS]
//
// It makes a machine root in a temporary folder whose information store keys make the
// database this server's, and stops slapd at the end.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "mailstore/directory.h"
#include "mailstore/test_directory.h"
#include "mailstore/test_storage_server.h"
#include "platform/directory_client.h"
#include "platform/unicode.h"

using Clock = std::chrono::steady_clock;
using mailstore::testing::Ldif;

namespace {

constexpr int kUsers = 5000;
const std::string kExchange =
    "CN=Microsoft Exchange,CN=Services," + std::string(mailstore::testing::kConfiguration);
const std::vector<uint8_t> kGuid = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                                    0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
constexpr char kGuidText[] = "{76543210-BA98-FEDC-0123-456789ABCDEF}";

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

uint32_t Count(const char16_t*, const char16_t*, bool, const platform::Variant*,
               const char16_t*, void* context) {
  ++*static_cast<int*>(context);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
  mailstore::testing::TestStorageServer root;  // the machine root and its hive
  Ldif config, domain;
  domain.Add(mailstore::testing::kSuffix, {"objectClass: domainDNS", "dc: example"});
  const std::string users = "CN=Users," + std::string(mailstore::testing::kSuffix);
  domain.Add(users, {"objectClass: container", "cn: Users"});
  config.Add(mailstore::testing::kConfiguration, {"objectClass: container", "cn: Configuration"});
  config.Add("CN=Services," + std::string(mailstore::testing::kConfiguration),
             {"objectClass: container", "cn: Services"});
  config.Add(kExchange, {"objectClass: container", "cn: Microsoft Exchange"});
  std::vector<std::string> database = {"objectClass: msExchPrivateMDB", "cn: Mailboxes",
                                       "objectCategory: msExchPrivateMDB",
                                       "objectGUID:: " + mailstore::testing::Base64(kGuid),
                                       "msExchOwningServer: CN=HERE,CN=Servers," + kExchange};
  for (int i = 0; i < kUsers; ++i) {
    const std::string name = "user" + std::to_string(i);
    const std::string dn = "CN=" + name + "," + users;
    domain.Add(dn, {"objectClass: user", "cn: " + name, "sn: Number " + std::to_string(i),
                    "objectCategory: person", "displayName: User Number " + std::to_string(i),
                    "mail: " + name + "@example.test",
                    "legacyExchangeDN: /o=Example/ou=Group/cn=Recipients/cn=" + name,
                    "msExchHomeServerName: /o=Example/ou=Group/cn=Configuration/cn=Servers/cn=HERE",
                    "proxyAddresses: SMTP:" + name + "@example.test",
                    "homeMDB: CN=Mailboxes," + kExchange});
    database.push_back("homeMDBBL: " + dn);
  }
  config.Add("CN=Mailboxes," + kExchange, database);
  mailstore::testing::TestDirectory directory(config, domain, /*stats_log=*/false);
  if (!directory.ok()) {
    fprintf(stderr, "slapd did not start\n");
    return 1;
  }
  setenv("LDAPURI", directory.uri().c_str(), 1);
  setenv("LDAPNOINIT", "1", 1);
  platform::Hive& hive = platform::LocalMachine();
  platform::RegistryKey key;
  const uint32_t one = 1;
  hive.CreateKey("SYSTEM\\CurrentControlSet\\Services\\MSExchangeIS\\Schema", platform::kKeyAllAccess, &key);
  hive.SetValue(key, kGuidText, platform::kRegDword, &one, 4);

  // The root DSE stays open, so the enumeration runs on the connection the floor is taken on.
  std::unique_ptr<platform::IADs> root_dse;
  if (platform::ADsOpenObject(u"LDAP://rootDSE", nullptr, nullptr, 5, &root_dse) != 0) {
    fprintf(stderr, "cannot open the root DSE\n");
    return 1;
  }
  platform::Variant name = platform::Variant::String(u"configurationNamingContext");
  auto floor_us = [&] {
    double smallest = 1e9;
    for (int i = 0; i < 1000; ++i) {
      const auto start = Clock::now();
      root_dse->GetInfoEx(name, 0);
      smallest = std::min(smallest, std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return smallest;
  };

  // Each round takes its own floor just before its enumeration, so both see the machine in
  // the same state; round 0 warms up.
  std::vector<double> floors, times_ms, ratios;
  uint64_t operations = 0;
  for (int round = 0; round <= rounds; ++round) {
    const double floor = floor_us();
    int found = 0;
    const uint64_t before = platform::DirectoryOperationCount();
    const auto start = Clock::now();
    const uint32_t result = mailstore::EnumMDBMailUsers(&Count, &found, false, false);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    operations = platform::DirectoryOperationCount() - before;
    if (result != 0 || found != kUsers) {
      fprintf(stderr, "enumeration gave 0x%08X and %d users\n", result, found);
      return 1;
    }
    if (round == 0) continue;
    floors.push_back(floor);
    times_ms.push_back(ms);
    ratios.push_back(ms / (static_cast<double>(operations) * floor / 1000.0));
  }
  std::vector<double> sorted = ratios;
  std::sort(sorted.begin(), sorted.end());
  printf("directory fallback, %d mailbox users over ldapi (medians of %d rounds)\n", kUsers, rounds);
  printf("  smallest LDAP round trip (floor)   %10.1f us\n", Median(floors));
  printf("  operations sent                    %10llu  (%.3f per user)\n",
         static_cast<unsigned long long>(operations), static_cast<double>(operations) / kUsers);
  printf("  enumeration                        %10.1f ms  %.2f x (operations x floor of its round); "
         "%.2f-%.2f x, goal <= 1.5\n",
         Median(times_ms), Median(ratios), sorted.front(), sorted.back());
  return 0;
}
