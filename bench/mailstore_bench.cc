// Benchmark of the mailbox snapshot against a real storage server on loopback: the smallest
// round trip to the server (the floor), a refresh of 10,000 mailboxes against 10,000 times
// that floor, the memory a snapshot of 100,000 mailboxes takes, the peak resident size of a
// refresh of 100,000 mailboxes through the storage server (a fresh client process and the
// server), and the process size over 1,000 refreshes. Each figure is printed beside its
// floor measured in the same run.
//
//   build/bin/mailstore_bench [ROUNDS]
//
// It makes a machine root in a temporary folder with the mailboxes, registers the storage
// server there, starts build/bin/cvstorage and stops it at the end.
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "mailstore/storage.h"
#include "platform/local_server.h"
#include "platform/registry.h"
#include "platform/unicode.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

bool WaitForSocket(const std::string& path) {
  for (int attempt = 0; attempt < 2000; ++attempt) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (up) return true;
    usleep(5000);
  }
  return false;
}

// Bytes this process has allocated and not freed, in MiB.
double AllocatedMiB() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd) / (1024.0 * 1024.0);
}

// A line of /proc/PID/status (VmHWM, VmRSS...) in MiB; 0 when it cannot be read.
double StatusMiB(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::atof(line.c_str() + field.size() + 1) / 1024.0;
  }
  return 0;
}

// The resident size of this process, in MiB.
double ResidentMiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

void WriteMailboxes(const fs::path& file, int count) {
  std::ofstream out(file);
  for (int i = 0; i < count; ++i) {
    out << "user" << i << "@mail" << (i % 7) << ".example:x:1000:1000:User Number " << i
        << ":/var/mail/u" << i << ":/usr/sbin/nologin:\n";
  }
}

void Register(const std::string& clsid) {
  platform::Hive& hive = platform::LocalMachine();
  platform::RegistryKey key;
  hive.CreateKey("SOFTWARE\\Classes\\CLSID\\{" + clsid + "}\\LocalServer32",
                 platform::kKeyAllAccess, &key);
  hive.SetValue(key, "", platform::kRegSz, "cvstorage", 10);
  hive.SetValue(key, "Socket", platform::kRegSz, "run/cvstorage.sock", 19);
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  // A process of its own for the peak of one refresh: nothing of the other figures counts.
  if (argc > 1 && std::string(argv[1]) == "--refresh-once") {
    mailstore::CStorage storage;
    const uint32_t result = storage.EnumerateMBs(0, true);
    std::printf("%d\n", storage.MBCount());
    return result == 0 ? 0 : 1;
  }
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
  const fs::path bin = fs::canonical("/proc/self/exe").parent_path();
  char pattern[] = "/tmp/cvmsbench-XXXXXX";
  const fs::path root = mkdtemp(pattern);
  setenv("CORVANE_ROOT", root.c_str(), 1);
  fs::create_directories(root / "mail" / "public");
  Register(mailstore::kMailboxStorageClass);
  Register(mailstore::kPubFolderStorageClass);

  const pid_t server = fork();
  if (server == 0) {
    execl((bin / "cvstorage").c_str(), "cvstorage", "--root", root.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 1;
  if (!WaitForSocket((root / "run" / "cvstorage.sock").string())) {
    std::fprintf(stderr, "mailstore_bench: the storage server did not come up\n");
  } else {
    status = 0;
    // The floor: the smallest call there is, IsReady, on one object.
    std::unique_ptr<platform::LocalServerObject> object;
    platform::CreateLocalServerObject(mailstore::kMailboxStorageClass,
                                      mailstore::kMailboxStorageInterface, &object);
    auto floor_us = [&] {
      int32_t ready = 0;
      const auto start = Clock::now();
      for (int i = 0; i < 2000; ++i) object->Call(10, 0, &ready, nullptr);
      return Seconds(start) * 1e6 / 2000;
    };
    floor_us();  // warm up

    constexpr int kRefreshed = 10000;
    WriteMailboxes(root / "mail" / "passwd", kRefreshed);
    mailstore::CStorage storage;
    storage.EnumerateMBs(0, true);  // warm up
    std::vector<double> floors, refreshes;
    for (int round = 0; round < rounds; ++round) {
      floors.push_back(floor_us());
      const auto start = Clock::now();
      storage.EnumerateMBs(0, true);
      refreshes.push_back(Seconds(start) * 1e3);
    }
    const double floor = Median(floors);
    const double refresh = Median(refreshes);
    std::printf("mailboxes listed: %d (medians of %d rounds)\n", storage.MBCount(), rounds);
    std::printf("%-44s %10.2f us\n", "floor: smallest storage server round trip", floor);
    std::printf("%-44s %10.2f ms %6.2f x (10,000 x floor)\n", "refresh of 10,000 mailboxes",
                refresh, refresh * 1e3 / (kRefreshed * floor));

    // Memory: the snapshot of 100,000 mailboxes filled as the directory fills it, the same
    // list read through the storage server, and the size over 1,000 refreshes.
    constexpr int kLarge = 100000;
    storage.ClearMBs();
    const double before = AllocatedMiB(), resident_before = ResidentMiB();
    mailstore::CStorage::Context run{&storage, 0};
    for (int i = 0; i < kLarge; ++i) {
      const std::string n = std::to_string(i);
      const std::u16string name = platform::Utf8ToUtf16("User Number " + n);
      const std::u16string mail =
          platform::Utf8ToUtf16("user" + n + "@mail" + std::to_string(i % 7) + ".example");
      mailstore::CStorage::EnumMB(name.c_str(), mail.c_str(), true, nullptr, u"", &run);
    }
    const double after = AllocatedMiB();
    std::printf("%-44s %10.1f MiB allocated (%d entries; resident size %.1f -> %.1f MiB)\n",
                "snapshot of 100,000 mailboxes", after - before, storage.MBCount(),
                resident_before, ResidentMiB());
    storage.ClearMBs();

    // The peak of a refresh of 100,000 mailboxes through the storage server: a new client
    // process, and the server's.
    WriteMailboxes(root / "mail" / "passwd", kLarge);
    const double server_before = StatusMiB(server, "VmHWM");
    FILE* once = popen((std::string("'") + (bin / "mailstore_bench").string() +
                           "' --refresh-once").c_str(), "r");
    int listed = -1;
    if (once == nullptr || std::fscanf(once, "%d", &listed) != 1) listed = -1;
    const int refresh_status = once != nullptr ? pclose(once) : -1;
    rusage children{};
    getrusage(RUSAGE_CHILDREN, &children);
    std::printf("%-44s %10.1f MiB client (%d listed, status %d); server %.1f -> %.1f MiB\n",
                "peak resident size, refresh of 100,000", children.ru_maxrss / 1024.0, listed,
                refresh_status, server_before, StatusMiB(server, "VmHWM"));
    WriteMailboxes(root / "mail" / "passwd", 100);
    storage.EnumerateMBs(0, true);
    const double first = ResidentMiB();
    for (int cycle = 0; cycle < 1000; ++cycle) storage.EnumerateMBs(0, true);
    std::printf("%-44s %10.1f MiB -> %.1f MiB\n", "resident size over 1,000 refreshes of 100",
                first, ResidentMiB());
  }
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  platform::ReleaseLocalMachine();
  fs::remove_all(root);
  return status;
}
