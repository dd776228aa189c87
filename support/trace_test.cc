// Tests of the debug trace, configured through a registry hive of its own per test the way
// the module configures it at start-up. (The critical section it locks with: sync_test.cc.)
#include "support/trace.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <latch>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/process.h"
#include "platform/registry.h"
#include "platform/test_root.h"
#ifndef _WIN32
#include "standins/testing/test_agent.h"
#endif

namespace support {
namespace {

namespace fs = std::filesystem;
using platform::testing::FileText;
#ifndef _WIN32
using cvmad::testing::FileMode;
#endif

constexpr char kDebugKey[] = "SOFTWARE\\Veltmark\\Corvane\\Web User Interface\\Debug\\cvwebuid";
// The start of a line and its prefix: severity, thread id, date and time, tick count.
const std::regex kPrefix(
    "(^|\n)([0-3])\t([0-9A-F]+)\t([ 0-9][0-9]/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2})\t"
    "([0-9A-F]{8})\t");

// The lines of `path` with each well-formed prefix replaced by `format` ("S:" by default).
std::string Messages(const std::string& path, const char* format = "$1$2:") {
  return std::regex_replace(FileText(path), kPrefix, format);
}

// strftime of the local time, with two codes of its own on every system: "%_y" the year of
// the century padded with a blank, "%-H" the hour without padding.
std::string Local(std::string format, time_t when) {
  const tm local = *localtime(&when);
  char part[8];
  for (const auto& [code, pattern, value] :
       {std::tuple{"%_y", "%2d", local.tm_year % 100}, std::tuple{"%-H", "%d", local.tm_hour}}) {
    for (size_t at; (at = format.find(code)) != std::string::npos;) {
      snprintf(part, sizeof part, pattern, value);
      format.replace(at, 3, part);
    }
  }
  char text[64];
  strftime(text, sizeof text, format.c_str(), &local);
  return text;
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The machine root, whose log folder is the only place a log may be.
    platform::testing::SetEnvironment("CORVANE_ROOT", dir_.c_str());
    fs::create_directory(dir_ + "/logs");
    hive_.emplace(dir_ + "/registry.db");
  }
  void TearDown() override {
    TraceShutdown();
    hive_.reset();
  }

  void Set(const char* name, uint32_t number) { Put(name, platform::kRegDword, &number, 4); }
  void Set(const char* name, const std::string& text) {
    Put(name, platform::kRegSz, text.c_str(), text.size() + 1);
  }
  void Put(const char* name, uint32_t type, const void* data, size_t size) {
    platform::RegistryKey key;
    ASSERT_EQ(hive_->CreateKey(kDebugKey, platform::kKeyAllAccess, &key), 0u);
    ASSERT_EQ(hive_->SetValue(key, name, type, data, static_cast<uint32_t>(size)), 0u);
  }
  // As the module starts (default name and mode, then the registry), from a fresh state.
  void Configure() {
    TraceShutdown();
    TraceSetLogFile("settingsext.log", "a");
    TraceReadRegistry(*hive_, kDebugKey);
  }
  void SwitchOn(const std::string& log_file_setting) {
    Set("DebugOutput", 1u);
    Set("DebugLogFile", log_file_setting);
    Configure();
  }

  platform::testing::TemporaryFolder folder_{"trace_test"};
  const std::string dir_ = folder_.path(), log_ = dir_ + "/logs/trace.log";
  std::optional<platform::Hive> hive_;
};

TEST_F(TraceTest, LineCarriesSeverityThreadIdDateTickAndMessage) {
  SwitchOn(log_ + ",a");
  const time_t before = time(nullptr);
  const uint32_t ticks_before = platform::GetTickCount();
  long thread_id = 0;  // not the main thread, whose id is the process id
  std::thread([&] {
#ifdef _WIN32
    thread_id = static_cast<long>(platform::GetCurrentThreadId());
#else
    thread_id = gettid();
#endif
    TraceOut("threading", TRACE_INFO, 0, "%s %d\n", "message", 1);
  }).join();
  const uint32_t ticks_after = platform::GetTickCount();
  const time_t after = time(nullptr);
  const std::string text = Messages(log_, "$&");
  std::smatch field;
  ASSERT_TRUE(std::regex_search(text, field, kPrefix)) << text;
  EXPECT_EQ(std::stol(field[3], nullptr, 16), thread_id);
  const char* stamp = "%_y/%m/%d %H:%M:%S";  // the year blank-padded
  EXPECT_TRUE(field[4] == Local(stamp, before) || field[4] == Local(stamp, after)) << field[4];
  const auto tick = static_cast<uint32_t>(std::stoul(field[5], nullptr, 16));
  EXPECT_LE(tick - ticks_before, ticks_after - ticks_before);

  // One digit per severity; anything but a single known bit is "0". No line end is added.
  TraceOut("", TRACE_ERROR, 0, "e\n");
  TraceOut("", TRACE_WARNING, 0, "w\n");
  TraceOut("", TRACE_ERROR | TRACE_WARNING, 0, "both\n");
  EXPECT_EQ(Messages(log_), "1:message 1\n3:e\n2:w\n0:both\n");
}

TEST_F(TraceTest, StaysOffWithoutKeyOrDebugOutput) {
  for (int step = 0; step < 3; ++step) {  // no key; a log file only; DebugOutput 0 as well
    if (step == 1) Set("DebugLogFile", log_);
    if (step == 2) Set("DebugOutput", 0u);
    Configure();
    EXPECT_EQ(TraceEnabled, 0) << step;
  }
  TraceOut("", TRACE_ERROR, 0, "not written\n");
  EXPECT_FALSE(fs::exists(log_));
}

TEST_F(TraceTest, SeverityMaskLevelAndComponentListsFilterLines) {
  struct Probe {
    const char* component;
    bool written;
    uint32_t severity = TRACE_INFO;
    int32_t level = 0;
  };
  const uint32_t E = TRACE_ERROR, W = TRACE_WARNING, I = TRACE_INFO;
  const struct {
    std::optional<uint32_t> mask, level;
    std::optional<std::string> include, exclude;
    std::vector<Probe> probes;
  } cases[] = {
      {E, {}, {}, {}, {{"", true, E}, {"", false, W}, {"", false, I}, {"", true, E | I}}},
      {{}, 0u, {}, {}, {{"", true, I, 0}, {"", false, I, 1}, {"", true, I, -1}}},
      {{}, 0xFFFFFFFFu, {}, {}, {{"", false, E, 0}, {"", true, E, -1}}},
      {{}, {}, {}, {}, {{"", true, I, 255}, {"", false, I, 256}, {"x", true}}},
      {{}, {}, "threading", {}, {{"threading", true}, {"THREADING", true}, {"", false}}},
      {{}, {}, ",, x,\tThreading\nmore ", {}, {{"threading", true}, {"more", true}, {"", false}}},
      {{}, {}, "thread threadingx", {}, {{"threading", false}}},
      // Only 248 characters are kept: the token across the cut loses its end.
      {{}, {}, std::string(240, 'a') + " threading", {}, {{"threading", false}, {"threadi", true}}},
      {{}, {}, {}, "other threading", {{"Threading", false}, {"", true}, {"threads", true}}},
      {{}, {}, "threading", "other threading", {{"threading", true}, {"", false}}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    hive_->DeleteTree(kDebugKey);
    if (cases[i].mask) Set("DebugSeverity", *cases[i].mask);
    if (cases[i].level) Set("DebugLevel", *cases[i].level);
    if (cases[i].include) Set("DebugInclude", *cases[i].include);
    if (cases[i].exclude) Set("DebugExclude", *cases[i].exclude);
    SwitchOn(log_ + ",a");
    for (const Probe& probe : cases[i].probes) {
      const size_t size = Messages(log_).size();
      TraceOut(probe.component, probe.severity, probe.level, "x\n");
      EXPECT_EQ(Messages(log_).size() > size, probe.written)
          << "case " << i << " component '" << probe.component << "' level " << probe.level;
    }
  }
}

TEST_F(TraceTest, LogFileSwitchGivesNameAndMode) {
  const std::string old = "1:old\n", written = "1:one\n1:two\n";
  const std::tuple<std::string, std::string, std::string> cases[] = {  // setting, file, lines
      // Blanks after the comma are skipped; the mode ends at a line end.
      {"a.log,   a\r\nignored", "a.log", old + written},
      // No comma, or nothing after it: "w", which appends as "a" does: a file the trace did
      // not make is never emptied.
      {"w.log", "w.log", old + written},
      {"blank.log , \t", "blank.log ", old + written},
      {"lf.log\n,a", "lf.log", old + written},  // a line feed before any comma ends the name
      {"r.log,r+", "r.log", old + written},
      {"ro.log,r", "ro.log", old},  // a mode that cannot write leaves the file alone
  };
  for (const auto& [setting, file, expected] : cases) {
    std::ofstream(dir_ + "/logs/" + file, std::ios::binary) << "1\tAB\t26/01/01 00:00:00\t00000000\told\n";
    SwitchOn(dir_ + "/logs/" + setting);
    TraceOut("", TRACE_INFO, 0, "one\n");
    TraceOut("", TRACE_INFO, 0, "two\n");
    EXPECT_EQ(Messages(dir_ + "/logs/" + file), expected) << setting;
  }
}

#ifndef _WIN32  // on Windows the protection is an access list (platform/file_test.cc)
// The log is never everyone's to read: made 0640 whatever the umask allows, and a log of
// this process's owner that others could read is narrowed when it is opened.
TEST_F(TraceTest, LogIsReadableByOwnerAndGroupOnly) {
  const mode_t previous = umask(0);
  SwitchOn(log_ + ",a");
  TraceOut("", TRACE_INFO, 0, "new\n");
  EXPECT_EQ(FileMode(log_), 0640u);
  const std::string open_log = dir_ + "/logs/open.log";
  std::ofstream(open_log) << "";
  fs::permissions(open_log, static_cast<fs::perms>(0666));
  SwitchOn(open_log + ",a");
  TraceOut("", TRACE_INFO, 0, "existing\n");
  umask(previous);
  EXPECT_EQ(FileMode(open_log), 0640u);
  EXPECT_EQ(Messages(open_log), "1:existing\n");
}
#endif

TEST_F(TraceTest, NameTemplateExpandsDateProcessAndTimeAndDropsOtherCodes) {
  const time_t before = time(nullptr);
  SwitchOn(dir_ + "/logs/t_%d_%p_%t_%x%%_end%");
  const time_t after = time(nullptr);
  TraceOut("", TRACE_INFO, 0, "expanded\n");
  auto expected = [&](time_t when) {  // the hour is not padded
    return dir_ + Local("/logs/t_%Y%m%d_", when) +
           std::to_string(platform::GetCurrentProcessId()) + Local("_%-H%M%S__end", when);
  };
  EXPECT_TRUE(fs::exists(expected(before)) || fs::exists(expected(after))) << expected(before);
}

TEST_F(TraceTest, LongMessageIsCutAndUnopenableFileIsOpenedOncePossible) {
  SwitchOn(log_ + ",a");
  TraceOut("", TRACE_INFO, 0, "%s\n", std::string(2000, 'm').c_str());
  EXPECT_EQ(Messages(log_), "1:" + std::string(1023, 'm'));

  TraceShutdown();  // the file closed (Windows removes no folder holding an open file)
  fs::remove_all(dir_ + "/logs");  // no log folder yet: the lines go to the debug sink
  SwitchOn(log_);
  TraceOut("", TRACE_ERROR, 0, "to the sink\n");
  fs::create_directory(dir_ + "/logs");
  TraceOut("", TRACE_ERROR, 0, "to the file\n");
  EXPECT_EQ(Messages(log_), "3:to the file\n");
}

// A rotation renames the log and makes a new one: lines go on to the new file, within a
// second (the trace looks at most once a second).
TEST_F(TraceTest, RotatedLogIsReopened) {
  SwitchOn(log_ + ",a");
  TraceOut("", TRACE_INFO, 0, "before\n");
  fs::rename(log_, log_ + ".1");
  std::ofstream{log_};
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  TraceOut("", TRACE_INFO, 0, "after\n");
  EXPECT_EQ(Messages(log_ + ".1"), "1:before\n");
  EXPECT_EQ(Messages(log_), "1:after\n");
}

// A name the trace may not write (outside the log folder, a link there) is refused once:
// nothing is made or written, and no later line of the process goes anywhere, even when
// the name would now do.
TEST_F(TraceTest, RefusedNameGetsNoLineOfThisProcess) {
  std::ofstream(dir_ + "/page.php") << "<?php kept";
  std::vector<std::string> names = {dir_ + "/page.php", dir_ + "/logs/../page.php"};
#ifndef _WIN32  // links on Windows: platform/file_test.cc
  fs::create_symlink(dir_ + "/page.php", dir_ + "/logs/link.log");
  names.insert(names.begin(), dir_ + "/logs/link.log");
#endif
  for (const std::string& name : names) {
    SwitchOn(name + ",w");
    TraceOut("", TRACE_ERROR, 0, "<?php system('id'); ?>\n");
    fs::remove(dir_ + "/logs/link.log");
    TraceOut("", TRACE_ERROR, 0, "later\n");
  }
  EXPECT_EQ(FileText(dir_ + "/page.php"), "<?php kept");
  EXPECT_EQ(std::set<fs::path>(fs::directory_iterator(dir_ + "/logs"), {}), std::set<fs::path>{});
}

#ifndef _WIN32  // no fork on Windows
// Threads 0-7 and processes 8-11 write at once: children forked before the first line open
// the file themselves; the last, forked while the threads write, must not inherit the trace
// lock held. Each line must arrive whole and once, carrying its writer's thread id.
TEST_F(TraceTest, ThreadsAndProcessesNeverInterleaveOrLoseLines) {
  constexpr int kThreads = 8, kWriters = 12, kLines = 2000;
  SwitchOn(log_ + ",a");
  // Made once: a child forked while the threads write may only do what is safe after such a
  // fork, and allocating is not (a sanitizer's allocator may be locked by a thread it lacks).
  const std::string pad(100, 'p');
  auto write_lines = [&pad](int writer) {
    for (int i = 0; i < kLines; ++i) {
      TraceOut("", TRACE_INFO, 0, "%d %X %d %s\n", writer, static_cast<unsigned>(gettid()), i,
               pad.c_str());
    }
  };
  std::vector<pid_t> children;
  children.reserve(kWriters);  // no allocation in a child either
  auto fork_writer = [&](int writer) {
    children.push_back(fork());
    if (children.back() != 0) return;
    write_lines(writer);
    _exit(0);
  };
  for (int writer = kThreads; writer < kWriters - 1; ++writer) fork_writer(writer);
  std::latch started(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      started.count_down();
      write_lines(t);
    });
  }
  started.wait();
  fork_writer(kWriters - 1);
  for (std::thread& thread : threads) thread.join();
  for (pid_t child : children) {
    int status = -1;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
  }

  const std::regex whole("1:([0-9A-F]+):(\\d+) \\1 (\\d+) p{100}");
  std::vector<std::set<int>> seen(kWriters);
  std::istringstream stream(Messages(log_, "$1$2:$3:"));
  for (std::string line; std::getline(stream, line);) {
    std::smatch field;
    ASSERT_TRUE(std::regex_match(line, field, whole)) << line;
    ASSERT_TRUE(seen.at(std::stoi(field[2])).insert(std::stoi(field[3])).second) << line;
  }
  for (const std::set<int>& numbers : seen) EXPECT_EQ(numbers.size(), size_t{kLines});
}
#endif

// Messages with the system's UTF-16 text: "%ls" takes UTF-16 and writes UTF-8, with width
// and precision; the other conversions read their arguments as printf does.
TEST_F(TraceTest, WideMessagesWriteUtf16TextAsUtf8) {
  SwitchOn(log_ + ",a");
  TraceOutWide("", TRACE_INFO, 0, "Name : %ls, %-4ls|%.2ls|%ls %d %08X %ld %.*s %c%%\n",
               u"Gr\u00fc\u00dfe \U0001F600", u"ab", u"xyz", static_cast<const char16_t*>(nullptr),
               -7, 0xBEEFu, 1L << 30, 2, "pqr", 'z');  // a long of every system
  EXPECT_EQ(Messages(log_), "1:Name : Gr\u00fc\u00dfe \U0001F600, ab  |xy|(null) -7 0000BEEF "
                            "1073741824 pq z%\n");
}

TEST(TraceTextTest, CutsAt255AndAppendsDecimalNumbers) {
  TraceText text(TRACE_WARNING, 7);
  text.Append("n=").Append(0u).Append(",max=").Append(4294967295u).Append(nullptr);
  EXPECT_STREQ(text.Text(), "n=0,max=4294967295");
  text.Append(std::string(232, 'a').c_str()).Append(1234567890u).Append("more");
  EXPECT_EQ(std::string(text.Text()), "n=0,max=4294967295" + std::string(232, 'a') + "12345");
}

}  // namespace
}  // namespace support
