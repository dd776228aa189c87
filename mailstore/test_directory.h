// Test support for the directory: a throwaway slapd of the test's own, started by the
// project's launcher on an ldapi socket in a temporary instance folder and loaded with LDIF
// the test writes, and LDIF builders for the mail directory's objects.
//
// On Windows the suites run under Wine, and slapd and its launcher are Linux programs: the
// launcher runs through the Unix shell that Wine starts for a Unix path (with no handle to
// wait on, so its output and exit status come back in files), and slapd listens on a
// loopback TCP port too, which Windows' LDAP client can reach. Outside Wine there is no
// slapd to run: Available() says so.
//
// Thread safety: one TestDirectory per test, used from the test's own thread (Kill may be
// called from a callback on that thread).
#ifndef MAILSTORE_TEST_DIRECTORY_H_
#define MAILSTORE_TEST_DIRECTORY_H_

#ifndef _WIN32
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#endif

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "mailstore/test_wine.h"
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
#ifdef _WIN32
    // The instance's socket path must fit a socket address, which the Unix path of a
    // Windows temporary folder may not: the instance goes under the Unix /tmp.
    std::string out;
    if (RunUnixCommand(work_.path(), "mktemp -d /tmp/cvdir.XXXXXX", &out) == 0) {
      unix_instance_ = out.substr(0, out.find('\n'));
      instance_ = "Z:" + unix_instance_;  // Wine's drive of the Unix root
      for (char& c : instance_) c = c == '/' ? '\\' : c;
    }
#else
    instance_ = work_.Path("i");
#endif
    Start();
  }
  ~TestDirectory() {
    Stop();
#ifdef _WIN32
    if (!unix_instance_.empty()) RunUnixCommand(work_.path(), "rm -rf '" + unix_instance_ + "'", nullptr);
#endif
  }
  TestDirectory(const TestDirectory&) = delete;
  TestDirectory& operator=(const TestDirectory&) = delete;

  // Whether this machine can run the test's slapd.
  static bool Available() {
#ifdef _WIN32
    return !UnixPathOf("C:\\").empty();
#else
    return true;
#endif
  }

  bool ok() const { return !uri_.empty(); }
  const std::string& uri() const { return uri_; }
  std::string instance() const { return instance_; }

  // Runs the launcher with `arguments` (none holding a single quote): its exit status (-1
  // when it did not end), what it wrote to standard output and error in `out`.
  int Launch(const std::vector<std::string>& arguments, std::string* out = nullptr) const {
    std::string command = "'" CV_CVSLAPD "'";
    for (const std::string& argument : arguments) command += " '" + argument + "'";
#ifdef _WIN32
    return RunUnixCommand(work_.path(), command, out);
#else
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    std::string text;
    char chunk[256];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, got);
    const int status = pclose(pipe);
    if (out != nullptr) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  }

  // `path` as the launcher takes it: a Unix path under Wine.
  static std::string LauncherPath(const std::string& path) {
#ifdef _WIN32
    return UnixPathOf(path);
#else
    return path;
#endif
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
#ifdef _WIN32
    const std::string pid_file = LauncherPath(instance()) + "/slapd.pid";
    RunUnixCommand(work_.path(),
                   "pid=$(cat '" + pid_file + "') && kill -KILL \"$pid\" && timeout 5 sh -c "
                   "'while [ -e /proc/'$pid' ] && ! grep -q \"^State:.*Z\" /proc/'$pid'/status; "
                   "do sleep 0.005; done'",
                   nullptr);
    uri_.clear();
#else
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
#endif
  }

  void Stop() {
    if (ok()) Launch({"stop", "--instance", LauncherPath(instance())});
    uri_.clear();
  }

  // Starts slapd again on databases loaded anew from the same LDIF.
  bool Start() {
    if (ok()) return true;
    std::string out;
    std::vector<std::string> arguments = {
        "start", "--instance", LauncherPath(instance()), "--suffix", kSuffix,
        "--config-ldif", LauncherPath(work_.Path("config.ldif")),
        "--domain-ldif", LauncherPath(work_.Path("domain.ldif")),
        "--rootdse", LauncherPath(work_.Path("rootdse.ldif")), "--log", log_level_};
#ifdef _WIN32
    arguments.insert(arguments.end(), {"--tcp-port", "0"});  // the second line its URI
#endif
    if (Launch(arguments, &out) == 0) {
#ifdef _WIN32
      out.erase(0, out.find('\n') + 1);
#endif
      uri_ = out.substr(0, out.find('\n'));
    }
    return ok();
  }

 private:
  const char* log_level_;
  platform::testing::TemporaryFolder work_{"cvdir"};
  std::string instance_;
#ifdef _WIN32
  std::string unix_instance_;  // the same folder, as the launcher names it
#endif
  std::string uri_;
};

}  // namespace mailstore::testing

#endif  // MAILSTORE_TEST_DIRECTORY_H_
