// Test support for the directory: a throwaway slapd of the test's own, on an ldapi socket
// in a temporary instance folder, loaded with LDIF the test writes, and LDIF builders for
// the mail directory's objects.
//
// Thread safety: one TestDirectory per test, used from the test's own thread (Kill may be
// called from a callback on that thread).
#ifndef MAILSTORE_TEST_DIRECTORY_H_
#define MAILSTORE_TEST_DIRECTORY_H_

#include <fcntl.h>
#include <ldap.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace mailstore::testing {

inline constexpr char kSuffix[] = "DC=example,DC=test";
inline constexpr char kConfiguration[] = "CN=Configuration,DC=example,DC=test";

inline std::string Base64(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t chunk = static_cast<uint32_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) chunk |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) chunk |= bytes[i + 2];
    out += kDigits[(chunk >> 18) & 63];
    out += kDigits[(chunk >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(chunk >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[chunk & 63] : '=';
  }
  return out;
}

// LDIF of entries: each added with its DN and "attribute: value" lines (a value starting
// with ":" is already base64, as in "objectGUID:: ...").
class Ldif {
 public:
  Ldif& Add(const std::string& dn, const std::vector<std::string>& lines) {
    text_ += "dn: " + dn + "\n";
    for (const std::string& line : lines) text_ += line + "\n";
    text_ += "distinguishedName: " + dn + "\n\n";
    return *this;
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

class TestDirectory {
 public:
  // Starts slapd on `config` and `domain` (LDIF of the configuration and the domain naming
  // contexts); ok() says whether it answers. With `stats_log`, slapd logs its connections
  // and operations (see Connections); without, it logs nothing (for timings).
  TestDirectory(const Ldif& config, const Ldif& domain, bool stats_log = true)
      : debug_level_(stats_log ? "stats" : "0") {
    char pattern[] = "/tmp/cvdir.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    std::filesystem::create_directories(dir_ + "/db-config");
    std::filesystem::create_directories(dir_ + "/db-domain");
    std::ifstream in(CV_SLAPD_CONF_TEMPLATE);
    std::string conf((std::istreambuf_iterator<char>(in)), {});
    Replace(&conf, "@INSTANCE@", dir_);
    Replace(&conf, "@SUFFIX@", kSuffix);
    Replace(&conf, "@SCHEMA@", CV_DIRECTORY_SCHEMA);
    std::ofstream(dir_ + "/slapd.conf") << conf;
    std::ofstream(dir_ + "/rootdse.ldif")
        << "dn:\nconfigurationNamingContext: " << kConfiguration
        << "\ndefaultNamingContext: " << kSuffix << "\nrootDomainNamingContext: " << kSuffix
        << "\nschemaNamingContext: CN=Schema," << kConfiguration
        << "\ndnsHostName: here.example.test\n";
    std::ofstream(dir_ + "/config.ldif") << config.text();
    std::ofstream(dir_ + "/domain.ldif") << domain.text();
    if (!Run({"/usr/sbin/slapadd", "-q", "-f", dir_ + "/slapd.conf", "-b", kConfiguration, "-l",
              dir_ + "/config.ldif"}) ||
        !Run({"/usr/sbin/slapadd", "-q", "-f", dir_ + "/slapd.conf", "-b", kSuffix, "-l",
              dir_ + "/domain.ldif"})) {
      return;
    }
    uri_ = "ldapi://";
    for (char c : dir_ + "/ldapi") uri_ += c == '/' ? std::string("%2F") : std::string(1, c);
    Start();
  }
  ~TestDirectory() {
    Stop();
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
  TestDirectory(const TestDirectory&) = delete;
  TestDirectory& operator=(const TestDirectory&) = delete;

  bool ok() const { return pid_ > 0; }
  const std::string& uri() const { return uri_; }

  // The connections slapd accepted so far (from its stats log).
  int Connections() const {
    std::ifstream in(dir_ + "/slapd.log");
    std::string line;
    int accepted = 0;
    while (std::getline(in, line)) accepted += line.find(" ACCEPT from ") != std::string::npos;
    return accepted;
  }

  // Ends slapd at once, as a crash would.
  void Kill() { Stop(SIGKILL); }

  void Stop(int signal = SIGTERM) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    for (int i = 0; i < 1000; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = 0;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

  // Starts slapd again on the same databases.
  bool Start() {
    if (pid_ > 0) return true;
    pid_ = fork();
    if (pid_ == 0) {
      const int log = open((dir_ + "/slapd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (log < 0 || dup2(log, 1) < 0 || dup2(log, 2) < 0) _exit(127);
      execl("/usr/sbin/slapd", "slapd", "-f", (dir_ + "/slapd.conf").c_str(), "-d", debug_level_, "-h",
            uri_.c_str(), nullptr);
      _exit(127);
    }
    for (int i = 0; i < 500; ++i) {  // 5 s
      if (Answers()) return true;
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stop(SIGKILL);
    return false;
  }

 private:
  static void Replace(std::string* text, const std::string& from, const std::string& to) {
    for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size())) {
      text->replace(at, from.size(), to);
    }
  }

  static bool Run(const std::vector<std::string>& arguments) {
    const pid_t pid = fork();
    if (pid == 0) {
      std::vector<char*> argv;
      for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  }

  bool Answers() const {
    LDAP* ld = nullptr;
    if (ldap_initialize(&ld, uri_.c_str()) != LDAP_SUCCESS) return false;
    const int version = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    LDAPMessage* result = nullptr;
    const int rc = ldap_search_ext_s(ld, "", LDAP_SCOPE_BASE, "(objectClass=*)", nullptr, 0,
                                     nullptr, nullptr, nullptr, 0, &result);
    if (result != nullptr) ldap_msgfree(result);
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return rc == LDAP_SUCCESS;
  }

  const char* debug_level_;
  std::string dir_;
  std::string uri_;
  pid_t pid_ = 0;
};

}  // namespace mailstore::testing

#endif  // MAILSTORE_TEST_DIRECTORY_H_
