// Test support for the directory: a throwaway slapd of the test's own, started by the
// project's launcher on an ldapi socket in a temporary instance folder and loaded with LDIF
// the test writes, and LDIF builders for the mail directory's objects.
//
// Thread safety: one TestDirectory per test, used from the test's own thread (Kill may be
// called from a callback on that thread).
#ifndef MAILSTORE_TEST_DIRECTORY_H_
#define MAILSTORE_TEST_DIRECTORY_H_

#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/test_root.h"

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
  // Starts a slapd through the project's launcher (standins/directory/cvslapd) on `config`
  // and `domain` (LDIF of the configuration and the domain naming contexts); ok() says
  // whether it answers. With `stats_log`, slapd logs its connections and operations (see
  // Connections); without, it logs nothing (for timings).
  TestDirectory(const Ldif& config, const Ldif& domain, bool stats_log = true)
      : log_level_(stats_log ? "stats" : "none") {
    std::ofstream(work_.Path("rootdse.ldif"))
        << "dn:\nconfigurationNamingContext: " << kConfiguration
        << "\ndefaultNamingContext: " << kSuffix << "\nrootDomainNamingContext: " << kSuffix
        << "\nschemaNamingContext: CN=Schema," << kConfiguration
        << "\ndnsHostName: here.example.test\n";
    std::ofstream(work_.Path("config.ldif")) << config.text();
    std::ofstream(work_.Path("domain.ldif")) << domain.text();
    Start();
  }
  ~TestDirectory() { Stop(); }
  TestDirectory(const TestDirectory&) = delete;
  TestDirectory& operator=(const TestDirectory&) = delete;

  bool ok() const { return !uri_.empty(); }
  const std::string& uri() const { return uri_; }
  std::string instance() const { return work_.Path("i"); }

  // Runs the launcher with `arguments` (none holding a single quote): its exit status (-1
  // when it did not end), what it wrote to standard output and error in `out`.
  int Launch(const std::vector<std::string>& arguments, std::string* out = nullptr) const {
    std::string command = "'" CV_CVSLAPD "'";
    for (const std::string& argument : arguments) command += " '" + argument + "'";
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    std::string text;
    char chunk[256];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, got);
    const int status = pclose(pipe);
    if (out != nullptr) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The connections slapd accepted since it last started (from its stats log).
  int Connections() const {
    std::ifstream in(instance() + "/slapd.log");
    std::string line;
    int accepted = 0;
    while (std::getline(in, line)) accepted += line.find(" ACCEPT from ") != std::string::npos;
    return accepted;
  }

  // Ends slapd at once, as a crash would, and waits until it is gone.
  void Kill() {
    pid_t pid = 0;
    std::ifstream(instance() + "/slapd.pid") >> pid;
    if (pid <= 0 || kill(pid, SIGKILL) != 0) return;
    const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    for (int i = 0; i < 1000; ++i) {  // 5 s
      std::ifstream in(stat);
      const std::string text((std::istreambuf_iterator<char>(in)), {});
      const size_t state = text.rfind(") ");
      if (state == std::string::npos || state + 2 >= text.size() || text[state + 2] == 'Z') break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    uri_.clear();
  }

  void Stop() {
    if (ok()) Launch({"stop", "--instance", instance()});
    uri_.clear();
  }

  // Starts slapd again on databases loaded anew from the same LDIF.
  bool Start() {
    if (ok()) return true;
    std::string out;
    if (Launch({"start", "--instance", instance(), "--suffix", kSuffix, "--config-ldif",
                work_.Path("config.ldif"), "--domain-ldif", work_.Path("domain.ldif"), "--rootdse",
                work_.Path("rootdse.ldif"), "--log", log_level_},
               &out) == 0) {
      uri_ = out.substr(0, out.find('\n'));
    }
    return ok();
  }

 private:
  const char* log_level_;
  platform::testing::TemporaryFolder work_{"cvdir"};
  std::string uri_;
};

}  // namespace mailstore::testing

#endif  // MAILSTORE_TEST_DIRECTORY_H_
