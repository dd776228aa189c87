// Tests of the debug trace, configured through a registry hive of its own per test the way
// the module configures it at start-up, and of the critical section it locks with.
#include "support/trace.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <latch>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/registry.h"
#include "support/sync.h"

namespace {

constexpr char kDebugKey[] = "SOFTWARE\\Veltmark\\Corvane\\Web User Interface\\Debug\\cvwebuid";

// One line as written: severity digit, thread id, date and time, tick count, message.
struct Line {
  char severity = 0;
  std::string thread_id;
  std::string timestamp;
  uint32_t tick = 0;
  std::string message;
};

// Consumes `shape` from `text` at `*at`: '9' is a digit, '#' a digit or blank, 'X' an
// upper-case hex digit, '+' one or more of those, anything else itself.
bool Consume(const std::string& text, size_t* at, std::string_view shape) {
  auto hex = [](char c) {
    return isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F');
  };
  for (char expected : shape) {
    if (*at >= text.size()) return false;
    char c = text[*at];
    if (expected == '+') {
      if (!hex(c)) return false;
      while (*at < text.size() && hex(text[*at])) ++*at;
      continue;
    }
    bool ok = expected == '9'   ? isdigit(static_cast<unsigned char>(c)) != 0
              : expected == '#' ? c == ' ' || isdigit(static_cast<unsigned char>(c))
              : expected == 'X' ? hex(c)
                                : c == expected;
    if (!ok) return false;
    ++*at;
  }
  return true;
}

// Parses "S\tTID\tYY/MM/DD hh:mm:ss\tTICK\tmessage"; false when any field is malformed.
bool ParseLine(const std::string& text, Line* line) {
  size_t at = 0;
  if (!Consume(text, &at, "9\t") || text[0] > '3') return false;
  line->severity = text[0];
  const size_t thread_start = at;
  if (!Consume(text, &at, "+\t")) return false;
  line->thread_id = text.substr(thread_start, at - thread_start - 1);
  const size_t time_start = at;
  if (!Consume(text, &at, "#9/99/99 99:99:99\tXXXXXXXX\t")) return false;
  line->timestamp = text.substr(time_start, 17);
  line->tick = static_cast<uint32_t>(std::stoul(text.substr(time_start + 18, 8), nullptr, 16));
  line->message = text.substr(at);
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  std::stringstream contents;
  contents << stream.rdbuf();
  return contents.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

std::string FormatLocal(const char* format, time_t when) {
  struct tm local;
  localtime_r(&when, &local);
  char text[64];
  strftime(text, sizeof text, format, &local);
  return text;
}

std::string LineTimestamp(time_t when) {
  struct tm local;
  localtime_r(&when, &local);
  char text[64];
  snprintf(text, sizeof text, "%2d/%02d/%02d %02d:%02d:%02d", local.tm_year % 100, local.tm_mon + 1,
           local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

std::string Hex(uint32_t number) {
  char text[16];
  snprintf(text, sizeof text, "%X", number);
  return text;
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/trace_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    log_ = dir_ + "/trace.log";
    hive_ = std::make_unique<platform::Hive>(dir_ + "/registry.db");
    TraceResetForTesting();
  }

  void TearDown() override {
    TraceResetForTesting();
    hive_.reset();
    std::filesystem::remove_all(dir_);
  }

  platform::RegistryKey DebugKey() {
    platform::RegistryKey key;
    EXPECT_EQ(hive_->CreateKey(kDebugKey, platform::kKeyAllAccess, &key), platform::kErrorSuccess);
    return key;
  }

  void SetNumber(const char* name, uint32_t number, uint32_t type = platform::kRegDword) {
    ASSERT_EQ(hive_->SetValue(DebugKey(), name, type, &number, sizeof number),
              platform::kErrorSuccess);
  }

  void SetText(const char* name, const std::string& text, bool terminated = true,
               uint32_t type = platform::kRegSz) {
    ASSERT_EQ(hive_->SetValue(DebugKey(), name, type, text.c_str(),
                              static_cast<uint32_t>(text.size() + (terminated ? 1 : 0))),
              platform::kErrorSuccess);
  }

  void Delete(const char* name) { hive_->DeleteValue(DebugKey(), name); }

  // Tracing on into trace.log of the test folder, appending.
  void SwitchOn() {
    SetNumber("DebugOutput", 1);
    SetText("DebugLogFile", log_ + ",a");
  }

  // As the module starts: default name and mode, then the registry switches. The log file
  // of an earlier configuration is closed first, as in a new process.
  void Configure() {
    TraceResetForTesting();
    TraceSetLogFile("settingsext.log", "a");
    TraceReadRegistry(*hive_, kDebugKey);
  }

  // Messages of the lines in `path`, in order (prefix checked and removed).
  std::vector<std::string> Messages(const std::string& path) {
    std::vector<std::string> messages;
    std::string contents = ReadFile(path);
    size_t start = 0;
    while (start < contents.size()) {
      size_t end = contents.find('\n', start);
      end = end == std::string::npos ? contents.size() : end + 1;
      std::string text = contents.substr(start, end - start);
      Line line;
      if (ParseLine(text, &line)) {
        messages.push_back(line.severity + (":" + line.message));
      } else {
        messages.push_back("<malformed> " + text);
      }
      start = end;
    }
    return messages;
  }

  std::string dir_;
  std::string log_;
  std::unique_ptr<platform::Hive> hive_;
};

TEST_F(TraceTest, LineCarriesSeverityThreadTimeAndTick) {
  SwitchOn();
  Configure();
  ASSERT_NE(TraceEnabled, 0);

  const time_t before = time(nullptr);
  const uint32_t ticks_before = platform::GetTickCount();
  TraceOut("", TRACE_INFO, 0, "message\n");
  const uint32_t ticks_after = platform::GetTickCount();
  const time_t after = time(nullptr);

  const std::string contents = ReadFile(log_);
  Line line;
  ASSERT_TRUE(ParseLine(contents, &line)) << contents;
  EXPECT_EQ(line.severity, '1');
  EXPECT_EQ(line.thread_id, Hex(static_cast<uint32_t>(gettid())));
  EXPECT_TRUE(line.timestamp == LineTimestamp(before) || line.timestamp == LineTimestamp(after))
      << line.timestamp;
  EXPECT_LE(line.tick - ticks_before, ticks_after - ticks_before);
  EXPECT_EQ(line.message, "message\n");

  // Every severity maps to its digit; anything but a single known bit is "0".
  TraceOut("", TRACE_ERROR, 0, "error %d\n", 1);
  TraceOut("", TRACE_WARNING, 0, "warning %s\n", "two");
  TraceOut("", TRACE_ERROR | TRACE_WARNING, 0, "both\n");
  TraceOut("", 8, 0, "other\n");
  EXPECT_EQ(Messages(log_), (std::vector<std::string>{"1:message\n", "3:error 1\n",
                                                      "2:warning two\n", "0:both\n", "0:other\n"}));

  // No line end is added: a message without one runs into the next line.
  TraceOut("", TRACE_INFO, 0, "no line end");
  TraceOut("", TRACE_ERROR, 0, "continued\n");
  EXPECT_NE(ReadFile(log_).find("\tno line end3\t"), std::string::npos);

  // Another thread's lines carry its own kernel id.
  std::string other_id;
  std::thread([&] {
    other_id = Hex(static_cast<uint32_t>(gettid()));
    TraceOut("threading", TRACE_INFO, 0, "from another thread\n");
  }).join();
  EXPECT_NE(ReadFile(log_).find("\n1\t" + other_id + "\t"), std::string::npos);
}

TEST_F(TraceTest, SwitchesStayOffWithoutKeyOrDebugOutput) {
  Configure();  // no key at all
  EXPECT_EQ(TraceEnabled, 0);

  SetText("DebugLogFile", log_);
  Configure();
  EXPECT_EQ(TraceEnabled, 0);
  TraceOut("", TRACE_ERROR, 0, "not written\n");
  EXPECT_FALSE(std::filesystem::exists(log_));

  SetNumber("DebugOutput", 0);
  Configure();
  EXPECT_EQ(TraceEnabled, 0);

  // Data that does not fit four bytes does not count, whatever it says.
  const uint64_t wide = 1;
  ASSERT_EQ(hive_->SetValue(DebugKey(), "DebugOutput", platform::kRegBinary, &wide, sizeof wide),
            platform::kErrorSuccess);
  Configure();
  EXPECT_EQ(TraceEnabled, 0);

  // The registry type is not looked at.
  SetNumber("DebugOutput", 1, platform::kRegSz);
  Configure();
  EXPECT_NE(TraceEnabled, 0);

  // Reading again starts from the defaults: filters of an earlier reading are gone.
  SetNumber("DebugSeverity", TRACE_ERROR);
  SetNumber("DebugLevel", 0);
  SetText("DebugInclude", "threading");
  Configure();
  TraceOut("", TRACE_INFO, 5, "filtered\n");
  Delete("DebugSeverity");
  Delete("DebugLevel");
  Delete("DebugInclude");
  Configure();
  TraceOut("", TRACE_INFO, 5, "passes\n");
  EXPECT_EQ(Messages(log_), std::vector<std::string>{"1:passes\n"});

  hive_->DeleteTree(kDebugKey);
  Configure();
  EXPECT_EQ(TraceEnabled, 0);
}

TEST_F(TraceTest, SeverityMaskAndLevelFilterLines) {
  SwitchOn();
  SetNumber("DebugSeverity", TRACE_ERROR);
  Configure();
  TraceOut("", TRACE_ERROR, 0, "e\n");
  TraceOut("", TRACE_WARNING, 0, "w\n");
  TraceOut("", TRACE_INFO, 0, "i\n");
  TraceOut("", TRACE_ERROR | TRACE_INFO, 0, "mixed\n");  // passes the mask, digit "0"
  EXPECT_EQ(Messages(log_), (std::vector<std::string>{"3:e\n", "0:mixed\n"}));

  std::filesystem::remove(log_);
  Delete("DebugSeverity");
  Configure();  // default level 255
  TraceOut("", TRACE_INFO, 255, "255\n");
  TraceOut("", TRACE_INFO, 256, "256\n");
  SetNumber("DebugLevel", 0);
  Configure();
  TraceOut("", TRACE_INFO, 0, "0\n");
  TraceOut("", TRACE_INFO, 1, "1\n");
  TraceOut("", TRACE_INFO, -1, "-1\n");
  SetNumber("DebugLevel", 0xFFFFFFFF);  // -1: the levels call sites use never pass
  Configure();
  TraceOut("", TRACE_ERROR, 0, "0 at -1\n");
  TraceOut("", TRACE_ERROR, 255, "255 at -1\n");
  EXPECT_EQ(Messages(log_), (std::vector<std::string>{"1:255\n", "1:0\n", "1:-1\n"}));
}

TEST_F(TraceTest, ComponentIncludeAndExcludeLists) {
  SwitchOn();
  auto passes = [&](const char* component) {
    const size_t lines = Messages(log_).size();
    TraceOut(component, TRACE_INFO, 0, "x\n");
    return Messages(log_).size() > lines;
  };

  SetText("DebugInclude", "threading");
  Configure();
  EXPECT_TRUE(passes("threading"));
  EXPECT_TRUE(passes("THREADING"));
  EXPECT_FALSE(passes(""));
  EXPECT_FALSE(passes("thread"));

  SetText("DebugInclude", ",, other,\tThreading\nmore  ");
  Configure();
  EXPECT_TRUE(passes("threading"));
  EXPECT_TRUE(passes("more"));
  EXPECT_FALSE(passes(""));  // empty tokens between separators do not exist

  SetText("DebugInclude", "thread threadingx");
  Configure();
  EXPECT_FALSE(passes("threading"));

  // Only 248 characters are kept: a token across the cut loses its end.
  SetText("DebugInclude", std::string(240, 'a') + " threading");
  Configure();
  EXPECT_FALSE(passes("threading"));
  EXPECT_TRUE(passes("threadi"));

  Delete("DebugInclude");
  SetText("DebugExclude", "other threading");
  Configure();
  EXPECT_FALSE(passes("Threading"));
  EXPECT_TRUE(passes(""));
  EXPECT_TRUE(passes("threads"));

  // With both, the include list decides alone.
  SetText("DebugInclude", "threading");
  Configure();
  EXPECT_TRUE(passes("threading"));
  EXPECT_FALSE(passes(""));
}

TEST_F(TraceTest, LogFileSwitchNamesFileAndMode) {
  SetNumber("DebugOutput", 1);
  auto trace_to = [&](const std::string& setting, bool terminated = true,
                      uint32_t type = platform::kRegSz) {
    SetText("DebugLogFile", setting, terminated, type);
    Configure();
    TraceOut("", TRACE_INFO, 0, "one\n");
    TraceOut("", TRACE_INFO, 0, "two\n");
  };
  const std::string old_line = "1\tAB\t26/01/01 00:00:00\t00000000\told\n";
  const std::vector<std::string> appended{"1:old\n", "1:one\n", "1:two\n"};
  const std::vector<std::string> fresh{"1:one\n", "1:two\n"};

  // Blanks after the comma are skipped; the mode ends at a line feed, return or tab.
  WriteFile(dir_ + "/a.log", old_line);
  trace_to(dir_ + "/a.log,   a\r\nignored");
  EXPECT_EQ(Messages(dir_ + "/a.log"), appended);

  // Without a comma the mode is "w": emptied at this process's first line, not at each.
  WriteFile(dir_ + "/w.log", old_line);
  trace_to(dir_ + "/w.log");
  EXPECT_EQ(Messages(dir_ + "/w.log"), fresh);

  // A comma with nothing after it keeps "w"; the name keeps its blanks.
  WriteFile(dir_ + "/blank.log ", old_line);
  trace_to(dir_ + "/blank.log , \t");
  EXPECT_EQ(Messages(dir_ + "/blank.log "), fresh);

  // A line feed before any comma ends the name; the mode is "w".
  WriteFile(dir_ + "/lf.log", old_line);
  trace_to(dir_ + "/lf.log\n,a");
  EXPECT_EQ(Messages(dir_ + "/lf.log"), fresh);

  // Stored without terminator, and under a type other than REG_SZ.
  trace_to(dir_ + "/bare.log,a", /*terminated=*/false, platform::kRegBinary);
  EXPECT_EQ(Messages(dir_ + "/bare.log"), fresh);

  // "r+" writes to an existing file only, still at its end.
  WriteFile(dir_ + "/r.log", old_line);
  trace_to(dir_ + "/r.log,r+");
  EXPECT_EQ(Messages(dir_ + "/r.log"), appended);
  trace_to(dir_ + "/missing.log,r+");
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/missing.log"));

  // Modes that cannot write send the lines to the debug sink and leave the file alone.
  WriteFile(dir_ + "/ro.log", old_line);
  trace_to(dir_ + "/ro.log,r");
  trace_to(dir_ + "/ro.log,q");
  EXPECT_EQ(ReadFile(dir_ + "/ro.log"), old_line);
}

TEST_F(TraceTest, NameTemplateExpandsDateProcessAndTime) {
  SetNumber("DebugOutput", 1);
  SetText("DebugLogFile", dir_ + "/t_%d_%p_%t_%x%%_end%");
  const time_t before = time(nullptr);
  Configure();
  const time_t after = time(nullptr);
  TraceOut("", TRACE_INFO, 0, "expanded\n");

  auto expected = [&](time_t when) {
    struct tm local;
    localtime_r(&when, &local);
    char time_of_day[16];
    snprintf(time_of_day, sizeof time_of_day, "%d%02d%02d", local.tm_hour, local.tm_min,
             local.tm_sec);
    return dir_ + "/t_" + FormatLocal("%Y%m%d", when) + "_" + std::to_string(getpid()) + "_" +
           time_of_day + "__end";
  };
  EXPECT_TRUE(std::filesystem::exists(expected(before)) || std::filesystem::exists(expected(after)))
      << expected(before);

  // The expanded name is cut at 259 characters.
  const std::string folder = dir_ + "/" + std::string(100, 'f');
  std::filesystem::create_directory(folder);
  SetText("DebugLogFile", folder + "/%p" + std::string(200, 'n'));
  Configure();
  TraceOut("", TRACE_INFO, 0, "cut\n");
  const std::string full = folder + "/" + std::to_string(getpid()) + std::string(200, 'n');
  EXPECT_EQ(Messages(full.substr(0, 259)), std::vector<std::string>{"1:cut\n"});

  // Empty name or mode changes nothing.
  TraceResetForTesting();
  TraceSetLogFile(log_.c_str(), "a");
  TraceSetLogFile("", "");
  TraceSetLogFile(nullptr, nullptr);
  SetNumber("DebugOutput", 1);
  Delete("DebugLogFile");
  TraceReadRegistry(*hive_, kDebugKey);
  TraceOut("", TRACE_INFO, 0, "kept\n");
  EXPECT_EQ(Messages(log_), std::vector<std::string>{"1:kept\n"});
}

TEST_F(TraceTest, BareNameGoesBesideTheExecutableWhenThePathFits) {
  char executable[PATH_MAX];
  ASSERT_LT(platform::GetModuleFileName(executable, sizeof executable), sizeof executable);
  const std::string folder = std::filesystem::path(executable).parent_path().string() + "/";
  const std::string bare = "trace_test_" + std::to_string(getpid()) + ".log";
  SetNumber("DebugOutput", 1);
  SetText("DebugLogFile", bare);
  Configure();
  TraceOut("", TRACE_INFO, 0, "beside\n");
  EXPECT_EQ(Messages(folder + bare), std::vector<std::string>{"1:beside\n"});
  std::filesystem::remove(folder + bare);

  // Exactly 259 characters joined fits; one more goes to the debug sink, not to a cut name.
  if (folder.size() + NAME_MAX < 260) GTEST_SKIP() << "folder too short for the boundary";
  const std::string longest(259 - folder.size(), 'L');
  const std::string too_long(260 - folder.size(), 'L');
  for (const std::string& name : {longest, too_long}) {
    SetText("DebugLogFile", name);
    Configure();
    TraceOut("", TRACE_INFO, 0, "boundary\n");
  }
  EXPECT_TRUE(std::filesystem::exists(folder + longest));
  EXPECT_FALSE(std::filesystem::exists(folder + too_long));
  std::filesystem::remove(folder + longest);
  std::filesystem::remove(folder + too_long);
}

TEST_F(TraceTest, LongMessageIsCutAndUnopenableFileIsRetried) {
  SwitchOn();
  Configure();
  TraceOut("", TRACE_INFO, 0, "%s\n", std::string(2000, 'm').c_str());
  EXPECT_EQ(Messages(log_), std::vector<std::string>{"1:" + std::string(1023, 'm')});

  // While the name is a folder the lines go to the debug sink; once a file can be made
  // there, the next line opens it.
  const std::string blocked = dir_ + "/blocked";
  std::filesystem::create_directory(blocked);
  SetText("DebugLogFile", blocked);
  Configure();
  TraceOut("", TRACE_ERROR, 0, "to the sink\n");
  std::filesystem::remove(blocked);
  TraceOut("", TRACE_ERROR, 0, "to the file\n");
  EXPECT_EQ(Messages(blocked), std::vector<std::string>{"3:to the file\n"});
}

// Threads of this process and forked children append to one file at once. Children forked
// before the first line open the file themselves; one forked while the threads write
// shares the parent's descriptor and must not inherit the trace lock held.
TEST_F(TraceTest, ThreadsAndProcessesNeverInterleaveLines) {
  constexpr int kThreads = 8;
  constexpr int kEarlyChildren = 3;
  constexpr int kLines = 2000;
  const std::string padding(120, 'p');
  SwitchOn();
  Configure();

  auto write_lines = [&](const std::string& source) {
    for (int i = 0; i < kLines; ++i) {
      TraceOut(i % 2 ? "threading" : "", TRACE_INFO, 0, "%s %d %s\n", source.c_str(), i,
               padding.c_str());
    }
  };

  int go[2];
  ASSERT_EQ(pipe(go), 0);
  std::map<std::string, uint32_t> source_ids;  // source -> expected thread id
  std::vector<pid_t> children;
  for (int c = 0; c < kEarlyChildren; ++c) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(go[1]);
      char byte;
      while (read(go[0], &byte, 1) < 0 && errno == EINTR) {
      }
      write_lines("c" + std::to_string(c));
      _exit(0);
    }
    children.push_back(pid);
    source_ids["c" + std::to_string(c)] = static_cast<uint32_t>(pid);
  }
  close(go[0]);

  std::latch started(kThreads);
  std::vector<std::thread> threads;
  std::vector<uint32_t> thread_ids(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      thread_ids[t] = static_cast<uint32_t>(gettid());
      TraceOut("", TRACE_INFO, 0, "start\n");
      started.count_down();
      write_lines("t" + std::to_string(t));
    });
  }
  close(go[1]);  // releases the early children
  started.wait();
  pid_t late = fork();
  ASSERT_GE(late, 0);
  if (late == 0) {
    write_lines("late");
    _exit(0);
  }
  children.push_back(late);
  source_ids["late"] = static_cast<uint32_t>(late);
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) source_ids["t" + std::to_string(t)] = thread_ids[t];
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::ifstream stream(log_);
  std::string text;
  std::map<std::string, std::set<int>> seen;
  int starts = 0;
  int malformed = 0;
  int wrong_thread = 0;
  while (std::getline(stream, text)) {
    Line line;
    std::istringstream words;
    std::string source;
    int number = -1;
    std::string rest;
    bool well_formed = ParseLine(text, &line);
    if (well_formed && line.message == "start") {
      ++starts;
      continue;
    }
    if (well_formed) {
      words.str(line.message);
      well_formed = (words >> source >> number >> rest) && rest == padding && words.eof();
    }
    if (!well_formed) {
      if (++malformed < 5) ADD_FAILURE() << "malformed line: " << text;
      continue;
    }
    auto known = source_ids.find(source);
    if (known == source_ids.end() || line.thread_id != Hex(known->second)) ++wrong_thread;
    seen[source].insert(number);
  }
  EXPECT_EQ(malformed, 0);
  EXPECT_EQ(wrong_thread, 0);
  EXPECT_EQ(starts, kThreads);
  ASSERT_EQ(seen.size(), source_ids.size());
  for (const auto& [source, numbers] : seen) {
    EXPECT_EQ(numbers.size(), static_cast<size_t>(kLines)) << source;
  }
}

TEST(TraceTextTest, CutsAt255AndAppendsDecimalNumbers) {
  TraceText text(TRACE_WARNING, 7);
  EXPECT_EQ(text.severity(), TRACE_WARNING);
  EXPECT_EQ(text.level(), 7);
  EXPECT_STREQ(text.Text(), "");
  text.Append("n=").Append(0u).Append(",max=").Append(4294967295u).Append(nullptr);
  EXPECT_STREQ(text.Text(), "n=0,max=4294967295");

  TraceText full(TRACE_INFO, 0);
  full.Append(std::string(250, 'a').c_str()).Append(1234567890u).Append("more");
  EXPECT_EQ(std::string(full.Text()), std::string(250, 'a') + "12345");
}

TEST(FCriticalSectionTest, RecursiveLockKeepsThreadsApart) {
  FCriticalSection lock(4000);
  EXPECT_EQ(lock.SetSpinCount(10), 4000u);
  EXPECT_EQ(lock.SetSpinCount(0), 10u);
  lock.SetSpinCount(100);

  // Each increment takes the lock twice (the owner may re-enter); a lock that did not
  // exclude, or did not count its re-entries, loses increments or hangs.
  int64_t counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        FLockGuard outer(&lock);
        FLockGuard inner(&lock);
        int64_t value = counter;
        counter = value + 1;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, 80000);

  FLockGuard none(nullptr);  // no lock, nothing to release
}

}  // namespace
