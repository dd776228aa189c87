// The directory walk against servers that misbehave (hostile_ldap.py, one mode a case):
// pages and answers without end, messages larger than the process will hold, back-links
// that name another server, and answers that are slow or never come. Each must end at its
// bound with a result the walk reports, holding little memory; the time and peak resident
// size of each are printed beside their limits.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <psapi.h>
#else
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "mailstore/directory.h"
#include "mailstore/parser.h"
#include "mailstore/storage.h"
#include "mailstore/test_storage_server.h"
#include "mailstore/test_wine.h"
#include "platform/test_root.h"
#include "platform/directory_client.h"
#include "platform/system_info.h"
#include "platform/unicode.h"
#include "support/thread_layer.h"

using support::EventClose;
using support::EventCreate;
using support::EventSet;
using support::ThreadLayerInitialize;
using support::ThreadLayerShutdown;

namespace mailstore {
namespace {

using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

// What the process holds at most while it reads from any of these servers: one answer,
// its message in libldap's buffer and the copy being made of it, and the rest of the walk.
constexpr long kResidentLimitMiB = 4 * (platform::kDirectoryMaxAnswerBytes >> 20);

// Why the walks that must read tens of thousands of entries before their bound are not run
// under Wine.
constexpr char kWineMessageCost[] =
    "Wine's wldap32 takes about 0.16 ms a message (four Winsock receives and two selects, "
    "each through wineserver)";

#ifdef _WIN32
using Socket = SOCKET;
int CloseSocket(Socket socket) { return closesocket(socket); }
void SetNonBlocking(Socket socket) {
  u_long on = 1;
  ioctlsocket(socket, FIONBIO, &on);
}
bool Readable(Socket socket) {
  WSAPOLLFD pending{socket, POLLRDNORM, 0};
  return WSAPoll(&pending, 1, 0) != 0;
}

// The responder in one of its modes, on a free loopback port; killed at the end. Under Wine
// it is started in the background by the Unix shell (test_wine.h), its port written to a
// file.
class Responder {
 public:
  explicit Responder(std::vector<std::string> arguments) {
    const std::string work = testing::UnixPathOf(folder_.path());
    if (work.empty()) return;
    std::string command = "python3 '" CV_HOSTILE_LDAP "'";
    for (const std::string& argument : arguments) command += " '" + argument + "'";
    testing::RunUnixCommand(folder_.path(),
                            command + " >'" + work + "/port' 2>/dev/null & echo $! >'" + work +
                                "/pid'",
                            nullptr);
    for (int waited = 0; waited < 2000 && port_ == 0; ++waited) {  // 10 s
      std::ifstream(folder_.Path("port")) >> port_;
      if (port_ == 0) Sleep(5);
    }
  }
  ~Responder() {
    const std::string work = testing::UnixPathOf(folder_.path());
    if (!work.empty()) {
      testing::RunUnixCommand(folder_.path(), "kill -KILL \"$(cat '" + work + "/pid')\"", nullptr);
    }
  }
  std::string uri() const { return "ldap://127.0.0.1:" + std::to_string(port_); }
  bool ok() const { return port_ > 0; }

 private:
  platform::testing::TemporaryFolder folder_{"cvhostile"};
  int port_ = 0;
};

// Windows keeps no peak that can be started again: the rise of the process's peak working
// set is what shows, so a walk holding less than an earlier one shows none.
long StatusKiB(const char* /*field: the peak whichever*/) {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return -1;
  return static_cast<long>(counters.PeakWorkingSetSize >> 10);
}

long ProcessorMs() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ticks = [](const FILETIME& t) {
    return static_cast<int64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime;
  };
  return static_cast<long>((ticks(kernel) + ticks(user)) / 10000);
}
#else
using Socket = int;
int CloseSocket(Socket socket) { return close(socket); }
void SetNonBlocking(Socket socket) { fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) | O_NONBLOCK); }
bool Readable(Socket socket) {
  pollfd pending{socket, POLLIN, 0};
  return poll(&pending, 1, 0) != 0;
}

// The responder in one of its modes, on a free loopback port; killed at the end.
class Responder {
 public:
  explicit Responder(std::vector<std::string> arguments) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      std::vector<char*> argv = {const_cast<char*>("python3"), const_cast<char*>(CV_HOSTILE_LDAP)};
      for (std::string& argument : arguments) argv.push_back(argument.data());
      argv.push_back(nullptr);
      execvp("python3", argv.data());
      _exit(127);
    }
    close(out[1]);
    char line[32] = {};
    for (size_t got = 0; got + 1 < sizeof line;) {
      const ssize_t n = read(out[0], line + got, 1);
      if (n <= 0 || line[got] == '\n') break;
      got += static_cast<size_t>(n);
    }
    close(out[0]);
    port_ = atoi(line);
  }
  ~Responder() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  std::string uri() const { return "ldap://127.0.0.1:" + std::to_string(port_); }
  bool ok() const { return port_ > 0; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

long ProcessorMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

long StatusKiB(const char* field) { return cvmad::testing::StatusKiB(getpid(), field); }
#endif

// A socket listening on a free loopback port, its address in `*address` (port 0 when it
// could not listen).
Socket Listen(int backlog, sockaddr_in* address) {
  const Socket listener = socket(AF_INET, SOCK_STREAM, 0);
  *address = {};
  address->sin_family = AF_INET;
  address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof *address;
  if (bind(listener, reinterpret_cast<sockaddr*>(address), size) != 0 ||
      listen(listener, backlog) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(address), &size) != 0)
    address->sin_port = 0;
  return listener;
}

struct Outcome {
  uint32_t result = 0;
  double seconds = 0;
  long peak_growth_mib = 0;
  uint64_t operations = 0;
  size_t users = 0;
};

uint32_t Count(const char16_t*, const char16_t*, bool, const platform::Variant*, const char16_t*,
               void* context) {
  ++*static_cast<size_t*>(context);
  return kOk;
}

class HostileDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    if (testing::UnixPathOf("C:\\").empty()) GTEST_SKIP() << "the responder needs Wine's Unix shell";
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
#endif
    platform::testing::SetEnvironment("LDAPNOINIT", "1");
  }

  // The database walk of every server against the responder in `arguments`' mode, with the
  // time it took and how far the peak resident size rose above the size at its start. Under
  // Wine the limit adds `wine_keeps_mib`, the values of the walk wldap32 keeps for good (see
  // directory_client_wldap.cc).
  Outcome Walk(const std::string& label, std::vector<std::string> arguments,
               long wine_keeps_mib = 0) {
    Responder responder(std::move(arguments));
    EXPECT_TRUE(responder.ok());
    return WalkAt(label, responder.uri(), wine_keeps_mib);
  }
  Outcome WalkAt(const std::string& label, const std::string& uri, long wine_keeps_mib = 0) {
    const long limit_mib = kResidentLimitMiB + (platform::RunningUnderWine() ? wine_keeps_mib : 0);
    platform::testing::SetEnvironment("LDAPURI", uri.c_str());
#ifdef _WIN32
    const long before = StatusKiB("VmHWM");
#else
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
    const long before = StatusKiB("VmRSS");
#endif
    Outcome outcome;
    const uint64_t operations = platform::DirectoryOperationCount();
    const auto start = Clock::now();
    outcome.result = EnumMDBMailUsers(&Count, &outcome.users, true, false);
    outcome.operations = platform::DirectoryOperationCount() - operations;
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    outcome.peak_growth_mib = (StatusKiB("VmHWM") - before) / 1024;
    printf("%-40s 0x%08X after %4llu operations in %6.2f s (limit %d s), "
           "peak resident size +%ld MiB (limit %ld MiB)\n",
           label.c_str(), outcome.result, static_cast<unsigned long long>(outcome.operations),
           outcome.seconds, platform::kDirectoryEnumerationSeconds, outcome.peak_growth_mib,
           limit_mib);
    if (cvmad::testing::kResidentSizesHold) {  // not under a sanitizer's quarantine and shadow
      EXPECT_LT(outcome.peak_growth_mib, limit_mib) << label;
    }
    return outcome;
  }

  testing::TestStorageServer root_;  // the machine root and its hive
};

// Today's fault: a server answering every page with no entries and a cookie kept the walk
// asking for ever. Pages of entries reach the enumeration's entry and byte bounds first.
TEST_F(HostileDirectoryTest, PagesWithoutEndStopAtTheEnumerationsBounds) {
  // The root DSE, its schema lookup, the container, then the pages up to the cap.
  const Outcome empty = Walk("empty pages without end", {"pages"});
  EXPECT_EQ(empty.result, platform::kEDsSizeLimitExceeded);
  EXPECT_EQ(empty.operations, 3 + platform::kDirectoryMaxPages);
  if (platform::RunningUnderWine()) {
    GTEST_SKIP() << kWineMessageCost << ": 200,000 entries outlast the 15 s of an enumeration; "
                    "and it keeps the bytes of every value ldap_get_values_len hands over";
  }
  // 200,000 entries in 400 pages; 256 MiB in about 125,000 entries.
  const Outcome entries = Walk("pages of 500 small entries", {"pages", "--entries", "500"});
  EXPECT_EQ(entries.result, platform::kEDsSizeLimitExceeded);
  EXPECT_EQ(entries.operations, 3 + platform::kDirectoryMaxEntries / platform::kDirectoryPageSize);
  const Outcome bytes = Walk("pages of 500 entries of 2 KiB",
                             {"pages", "--entries", "500", "--entry-bytes", "2048"});
  EXPECT_EQ(bytes.result, platform::kEDsSizeLimitExceeded);
  EXPECT_LT(bytes.operations, entries.operations);
}

// One answer is held only up to its bounds: entries, bytes, and the largest message.
TEST_F(HostileDirectoryTest, AnAnswerWithoutEndIsCutAtItsBounds) {
  EXPECT_EQ(Walk("one page of small entries without end", {"flood"}).result,
            platform::kEDsSizeLimitExceeded);
  EXPECT_EQ(Walk("one page of 64 KiB entries up to 1.2 GB", {"flood", "--entry-bytes", "65536"}).result,
            platform::kEDsSizeLimitExceeded);
  // libldap refuses the message from its length on; the connection ends.
  EXPECT_EQ(Walk("one message of 1.2 GB", {"huge"}).result, platform::kEDsServerDown);
}

TEST_F(HostileDirectoryTest, ValuesFromTheServerNeverChooseTheServer) {
  sockaddr_in address;
  const Socket listener = Listen(4, &address);
  ASSERT_NE(address.sin_port, 0);
  const std::string port = std::to_string(ntohs(address.sin_port));
  root_.Trace();
  const Outcome outcome = Walk("back-links naming 127.0.0.1:" + port, {"backlinks", "--link-port", port});
  EXPECT_EQ(outcome.result, kOk);
  EXPECT_EQ(outcome.users, 0u);
  EXPECT_FALSE(Readable(listener)) << "a connection came to the port a value named";
  CloseSocket(listener);
  // Each value was asked of the configured server as a DN, which it does not hold.
  const std::string log = root_.trace_log();
  EXPECT_THAT(log, HasSubstr("ADsOpenObject(LDAP://127.0.0.1:" + port +
                             "\\/CN=Plain,DC=example,DC=test) Failed : 0x80072030\n"));
  EXPECT_THAT(log, HasSubstr("ADsOpenObject(LDAP://LDAP:\\/\\/127.0.0.1:" + port +
                             "\\/CN=Url,DC=example,DC=test) Failed : 0x80072030\n"));
  std::unique_ptr<platform::IADs> object;
  EXPECT_EQ(platform::ADsOpenObject(platform::Utf8ToUtf16("LDAP://127.0.0.1:" + port + "/CN=X").c_str(),
                                    nullptr, nullptr, 5, &object),
            platform::kEAdsBadPathname);
}

// The users read ahead for a database are held only up to the read-ahead's bounds, entries
// or bytes: a directory homing users on it without end costs the walk those pages, and the
// back-link still missing is then read singly.
TEST_F(HostileDirectoryTest, ReadAheadStopsAtItsBoundsAndOpensTheRestSingly) {
  constexpr uint32_t kPage = 500;  // the responder's
  const Outcome bytes = Walk("users of 16 KiB homed without end", {"homed", "--entry-bytes", "16384"},
                             platform::kDirectoryMaxReadAheadBytes >> 20);
  EXPECT_EQ(bytes.result, kOk);
  EXPECT_EQ(bytes.users, 3u);  // from the pages: the server's own reads hold no mail
  EXPECT_LE(bytes.operations, platform::kDirectoryMaxReadAheadBytes / 16384 / kPage + 10);
  if (platform::RunningUnderWine()) {
    GTEST_SKIP() << kWineMessageCost << ": 20,000 users took 7-15 s of the 15 s of an "
                    "enumeration on a loaded machine";
  }
  const Outcome entries = Walk("users homed without end", {"homed"});
  EXPECT_EQ(entries.result, kOk);
  EXPECT_EQ(entries.users, 3u);
  EXPECT_GT(entries.operations, platform::kDirectoryMaxReadAheadEntries / kPage);
  EXPECT_LE(entries.operations, platform::kDirectoryMaxReadAheadEntries / kPage + 10);
}

// A listener that never takes the connection fails the connect; a silent server fails its
// operation; a slow one, answering each page within that time, runs out the enumeration's
// time; a stop ends the walk while it waits.
TEST_F(HostileDirectoryTest, SlowAndSilentServersAndAStopEndInTime) {
  // Its queue is full: further connections are never taken.
  sockaddr_in address;
  const Socket full = Listen(0, &address);
  ASSERT_NE(address.sin_port, 0);
  std::vector<Socket> queued;
  for (int i = 0; i < 3; ++i) {
    queued.push_back(socket(AF_INET, SOCK_STREAM, 0));
    SetNonBlocking(queued.back());
    connect(queued.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  EXPECT_EQ(WalkAt("a connection never taken", "ldap://127.0.0.1:" + std::to_string(ntohs(address.sin_port)))
                .result,
            platform::kEDsServerDown);  // after kDirectoryConnectSeconds
  for (Socket socket : queued) CloseSocket(socket);
  CloseSocket(full);

  EXPECT_EQ(Walk("no answer to the search", {"silent"}).result,
            0x80070000u | 1460u);  // ERROR_TIMEOUT after kDirectoryOperationSeconds
  EXPECT_EQ(Walk("a page every 4 s without end", {"slow"}).result, platform::kEDsTimeLimitExceeded);

  ASSERT_TRUE(ThreadLayerInitialize());
  Responder responder({"slow"});
  ASSERT_TRUE(responder.ok());
  platform::testing::SetEnvironment("LDAPURI", responder.uri().c_str());
  const uint32_t stop = EventCreate(true, false);
  std::thread stopper([stop] {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EventSet(stop);
  });
  CStorage storage;  // no storage server here: the directory is read
  const auto start = Clock::now();
  EXPECT_EQ(storage.EnumerateMBs(stop, true), kAborted);
  printf("%-44s in %6.2f s (stop set at 1 s)\n", "a stop while a page is awaited",
         std::chrono::duration<double>(Clock::now() - start).count());
  stopper.join();
  EventClose(stop);
  ThreadLayerShutdown();
}

// The parser's worker used to stay in the first enumeration for ever, polling one answer
// after another (a core's worth of processor time). Now the enumeration ends at its bound,
// the worker waits for requests without using the processor, and a refresh is answered.
TEST_F(HostileDirectoryTest, TheParsersWorkerRestsAfterAnEnumerationEndedAtItsBound) {
  ASSERT_TRUE(ThreadLayerInitialize());
  Responder responder({"pages"});
  ASSERT_TRUE(responder.ok());
  platform::testing::SetEnvironment("LDAPURI", responder.uri().c_str());
  auto parser = std::make_unique<CMailStoreParser>();
  ASSERT_TRUE(testing::WaitUntil([&] { return parser->IsInitialised(); }));
  const long before = ProcessorMs();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long idle = ProcessorMs() - before;
  printf("processor time of the process in 1 s after the first attempt: %ld ms\n", idle);
  EXPECT_LT(idle, 100);
  EXPECT_TRUE(parser->EnumMBs());
  parser.reset();
  ThreadLayerShutdown();
}

}  // namespace
}  // namespace mailstore
