// Benchmark of the directory fallback against a slapd of its own on an ldapi socket: the
// smallest LDAP round trip on the connection the enumeration uses (the floor), and the
// enumeration of the users of a mailbox database of 5,000 users against (the operations it
// sends × that floor). It prints the operations per user too.
//
//   build/bin/directory_bench [ROUNDS]
//   build/bin/directory_bench ROUNDS --peer bench/directory_peer.php
//
// With --peer, each round lists the users once through the directory fallback and once
// through the PHP script (PHP's ldap extension, a process of its own kept for all rounds),
// one after the other, and prints both times, their ratio and the operations each sent;
// the two lists must be the same, line for line. bench/directory_peer.sh runs it.
//
// It makes a machine root in a temporary folder whose information store keys make the
// database this server's, and stops slapd at the end.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
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

// The list as the peer writes it: "name TAB mail TAB legacyExchangeDN" a line.
uint32_t Collect(const char16_t* name, const char16_t* mail, bool, const platform::Variant*,
                 const char16_t* legacy, void* context) {
  std::string& list = *static_cast<std::string*>(context);
  list += platform::Utf16ToUtf8(name);
  list += '\t';
  list += platform::Utf16ToUtf8(mail);
  list += '\t';
  list += platform::Utf16ToUtf8(legacy != nullptr ? legacy : u"");
  list += '\n';
  return 0;
}

// The PHP peer as a child process: a line to its standard input starts a listing, a line
// from its standard output ends it.
class Peer {
 public:
  Peer(const std::string& script, const std::string& uri, const std::string& list_file) {
    int to[2], from[2];
    if (pipe(to) != 0 || pipe(from) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(to[0], 0);
      dup2(from[1], 1);
      close(to[1]);
      close(from[0]);
      execlp("php", "php", "-n", "-d", "extension=ldap.so", script.c_str(), uri.c_str(), "HERE",
             list_file.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(to[0]);
    close(from[1]);
    in_ = fdopen(to[1], "w");
    out_ = fdopen(from[0], "r");
  }
  ~Peer() {
    if (in_ != nullptr) fclose(in_);  // its loop ends on end of input
    if (out_ != nullptr) fclose(out_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  // One listing: false when the peer failed.
  bool List(double* ms, unsigned long* operations, unsigned long* users, double* cpu_ms) {
    char line[256];
    return in_ != nullptr && fputs("go\n", in_) >= 0 && fflush(in_) == 0 &&
           fgets(line, sizeof line, out_) != nullptr &&
           sscanf(line, "%lf %lu %lu %lf", ms, operations, users, cpu_ms) == 4;
  }

 private:
  pid_t pid_ = -1;
  FILE* in_ = nullptr;
  FILE* out_ = nullptr;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Rounds of ours and the peer's listing one after the other; 0 when every pair of lists
// was the same.
int ComparePeer(int rounds, const std::string& script, const std::string& uri,
                const std::string& work) {
  signal(SIGPIPE, SIG_IGN);
  // As the peer keeps its connection, an object held keeps ours between listings.
  std::unique_ptr<platform::IADs> root_dse;
  if (platform::ADsOpenObject(u"LDAP://rootDSE", nullptr, nullptr, 5, &root_dse) != 0) {
    fprintf(stderr, "cannot open the root DSE\n");
    return 1;
  }
  const std::string list_file = work + "/peer-list.txt";
  Peer peer(script, uri, list_file);
  std::vector<double> ours_ms, peer_ms, ratios;
  uint64_t ours_operations = 0;
  unsigned long peer_operations = 0, peer_users = 0;
  printf("directory fallback against PHP's ldap extension, %d mailbox users over ldapi\n", kUsers);
  printf("  round   ours ms   peer ms   ours/peer   CPU ms: ours  peer (the rest waits for slapd)\n");
  for (int round = 0; round <= rounds; ++round) {
    std::string list;
    const uint64_t before = platform::DirectoryOperationCount();
    timespec cpu0, cpu1;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    const auto start = Clock::now();
    const uint32_t result = mailstore::EnumMDBMailUsers(&Collect, &list, false, false);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    const double cpu = (cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;
    ours_operations = platform::DirectoryOperationCount() - before;
    double other = 0, other_cpu = 0;
    if (result != 0 || !peer.List(&other, &peer_operations, &peer_users, &other_cpu)) {
      fprintf(stderr, "round %d: ours gave 0x%08X; the peer %s\n", round, result,
              "did not answer (is php8.2-ldap installed? bench/setup.sh)");
      return 1;
    }
    if (ReadFile(list_file) != list || peer_users != static_cast<unsigned long>(kUsers)) {
      fprintf(stderr, "round %d: the lists differ (%lu users from the peer)\n", round, peer_users);
      return 1;
    }
    if (round == 0) continue;  // warms both up
    ours_ms.push_back(ms);
    peer_ms.push_back(other);
    ratios.push_back(ms / other);
    printf("  %5d  %8.1f  %8.1f   %6.2f x          %5.1f %5.1f\n", round, ms, other, ms / other, cpu,
           other_cpu);
  }
  auto low = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
  printf("  min    %8.1f  %8.1f   %6.2f x\n", low(ours_ms), low(peer_ms), low(ratios));
  printf("  median %8.1f  %8.1f   %6.2f x   (goal <= 1.0 x)\n", Median(ours_ms), Median(peer_ms),
         Median(ratios));
  printf("  operations a listing: ours %llu, peer %lu; the lists were the same in every round "
         "(%d users)\n",
         static_cast<unsigned long long>(ours_operations), peer_operations, kUsers);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
  const std::string peer_script = argc > 3 && strcmp(argv[2], "--peer") == 0 ? argv[3] : "";
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

  if (!peer_script.empty()) return ComparePeer(rounds, peer_script, directory.uri(), root.root());

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
         "%.2f-%.2f x\n",
         Median(times_ms), Median(ratios), sorted.front(), sorted.back());
  return 0;
}
