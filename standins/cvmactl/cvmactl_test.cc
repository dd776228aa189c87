// Tests of cvmactl: the line reader and writer on their own, then the program end to end
// against a real agent serving a machine root of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "standins/cvmactl/json_line.h"

namespace cvmactl {
namespace {

TEST(JsonTest, StringsDecodeEveryEscapeAndUtf8) {
  const struct {
    std::string text;
    std::u16string want;
  } cases[] = {
      {R"("\"\\\/\b\f\n\r\t")", u"\"\\/\b\f\n\r\t"},
      {R"("\u00e9\u20AC")", u"é€"},
      {R"("\ud83d\ude00")", u"😀"},                           // a surrogate pair
      {"\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"", u"é€😀"},  // the same as raw UTF-8
      {R"("\udc00x")", {0xDC00, u'x'}},                      // a lone surrogate is kept
      {R"( "\u0000" )", std::u16string(1, u'\0')},
  };
  for (const auto& [text, want] : cases) {
    JsonValue value;
    std::string error;
    ASSERT_TRUE(ParseJson(text, &value, &error)) << text << ": " << error;
    EXPECT_EQ(value.kind, JsonValue::Kind::kString) << text;
    EXPECT_EQ(value.string, want) << text;
  }
  JsonValue value;
  std::string error;
  ASSERT_TRUE(ParseJson("[-9223372036854775808, 9223372036854775807, 0]", &value, &error));
  EXPECT_EQ(value.items[0].integer, INT64_MIN);
  EXPECT_EQ(value.items[1].integer, INT64_MAX);
}

TEST(JsonTest, RefusesWhatIsNotStrictJson) {
  // clang-format off
  for (const std::string& text : std::vector<std::string>{
           "", "{\"a\":1.5}", "[1e3]", "[true]", "[false]", "[null]", "[01]", "[-]", "[1,]",
           "{\"a\":1,}", "{\"a\" 1}", "{a:1}", "{} x", "{\"a\":1,\"a\":2}", R"("\x")",
           R"("\u12g4")", "\"raw\ttab\"", "\"open", "\"\xff\"", "\"\xc0\xaf\"", "\"\xed\xa0\x80\"",
           "\"\xf4\x90\x80\x80\"",
           "[9223372036854775808]", "[-9223372036854775809]",
           std::string(40, '[') + std::string(40, ']')}) {
    // clang-format on
    JsonValue value;
    std::string error;
    EXPECT_FALSE(ParseJson(text, &value, &error)) << text;
    EXPECT_TRUE(error.starts_with("column ")) << text << ": " << error;
  }
}

TEST(JsonTest, WriterEscapesOnlyWhatItMustAndReadsBack) {
  const std::u16string text = u"a\"b\\c\n\x01\x1f é😀/" + std::u16string{0xD800};
  std::string out;
  AppendJsonString(text, &out);
  EXPECT_EQ(out, "\"a\\\"b\\\\c\\n\\u0001\\u001f \xc3\xa9\xf0\x9f\x98\x80/\\ud800\"");
  JsonValue value;
  std::string error;
  ASSERT_TRUE(ParseJson(out, &value, &error)) << error;
  EXPECT_EQ(value.string, text);
}

TEST(VariableLineTest, OtherSpellingsComeOutInTheOneForm) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"oid":"1.2","columns":[8,4,3,7,10],"rows":[[-1,"a","",0,2147483647]],)"
       R"("restriction":16,"cells":[[0,1,2]]})",
       R"({"oid":"1.2","columns":[8,4,3,7,10],"rows":[[-1,"a","",0,2147483647]],)"
       R"("restriction":16,"cells":[[0,1,2]]})"},
      {R"( {"restriction":0, "string":"\u00e9\/", "oid":"1.2"} )",
       R"({"oid":"1.2","string":"é/"})"},
      {R"({"oid":"1.2","binary":"00FFa0"})", R"({"oid":"1.2","binary":"00ffa0"})"},
      {R"({"oid":"1.2","columns":[4],"rows":[],"cells":[]})",
       R"({"oid":"1.2","columns":[4],"rows":[]})"},
      {R"({"oid":"1.2","columns":[7],"rows":[[1]],"cells":[[0,0,0]]})",
       R"({"oid":"1.2","columns":[7],"rows":[[1]]})"},
      {R"({"oid":"1.2","restriction":4294967295})", R"({"oid":"1.2","restriction":4294967295})"},
  };
  for (const auto& [line, want] : cases) {
    wire::Variable variable;
    std::string error;
    ASSERT_TRUE(VariableFromLine(line, &variable, &error)) << line << ": " << error;
    EXPECT_EQ(VariableToLine(variable), want);
  }
}

TEST(VariableLineTest, RefusesBadLinesWithTheReason) {
  const std::pair<std::string, std::string> cases[] = {
      {R"([1])", "expected a JSON object"},
      {R"({"int":1})", "\"oid\" is missing"},
      {R"({"oid":"1..2","int":1})", "not a valid OID"},
      {R"({"oid":"1.2","value":1})", "unknown key \"value\""},
      {R"({"oid":"1.2","int":2147483648})", "\"int\": 2147483648 is out of the 32-bit range"},
      {R"({"oid":"1.2","int":"5"})", "\"int\": expected an integer"},
      {R"({"oid":"1.2","string":5})", "\"string\": expected a string"},
      {R"({"oid":"1.2","int":1,"restriction":-1})", "out of the 32-bit range"},
      {R"({"oid":"1.2","int":1,"string":"x"})", "more than one value"},
      {R"({"oid":"1.2","int":1,"cells":[]})", "only tables have cells"},
      {R"({"oid":"1.2","binary":"abc"})", "hex digit pairs"},
      {R"({"oid":"1.2","columns":[8]})", "\"rows\" is missing"},
      {R"({"oid":"1.2","columns":[],"rows":[]})", "1 to 64 column types"},
      {R"({"oid":"1.2","columns":[8,5],"rows":[]})",
       "\"columns\"[1]: a column type is 3, 4, 7, 8 or 10"},
      {R"({"oid":"1.2","columns":[8,4],"rows":[[1]]})",
       "\"rows\"[0]: expected an array of 2 cells"},
      {R"({"oid":"1.2","columns":[8,4],"rows":[[1,2]]})", "\"rows\"[0][1]: expected a string"},
      {R"({"oid":"1.2","columns":[10],"rows":[[1],["1"]]})", "\"rows\"[1][0]: expected an integer"},
      {R"({"oid":"1.2","columns":[8],"rows":[[1]],"cells":[[1,0,1]]})",
       "no cell at row 1, column 0"},
      {R"({"oid":"1.2","columns":[8],"rows":[[1]],"cells":[[0,0]]})",
       "expected [row, column, flags]"},
      {R"({"oid":"1.2","columns":[8],"rows":[[1]],"cells":[[0,0,1],[0,0,2]]})", "cell given twice"},
  };
  for (const auto& [line, reason] : cases) {
    wire::Variable variable;
    std::string error;
    EXPECT_FALSE(VariableFromLine(line, &variable, &error)) << line;
    EXPECT_NE(error.find(reason), std::string::npos) << line << ": " << error;
  }
}

struct Outcome {
  int status = -1;
  std::string out, err;
  bool operator==(const Outcome&) const = default;
  friend void PrintTo(const Outcome& o, std::ostream* os) {
    *os << "{" << o.status << ", \"" << o.out << "\", \"" << o.err << "\"}";
  }
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A fresh agent on a temporary machine root for every case, stopped with SIGTERM.
class CvmactlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/cvmactl_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    root_ = dir_ + "/root";
    std::filesystem::create_directory(root_);
    const char* bin = getenv("CV_BIN_DIR");
    bin_ =
        bin != nullptr
            ? bin
            : std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "bin";
    agent_ = fork();
    if (agent_ == 0) {
      setenv("CORVANE_ROOT", root_.c_str(), 1);
      const int log = open((dir_ + "/cvmad.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (log < 0 || dup2(log, 1) < 0 || dup2(log, 2) < 0) _exit(127);
      execl((bin_ + "/cvmad").c_str(), "cvmad", nullptr);
      _exit(127);
    }
    ASSERT_TRUE(WaitForSocket()) << ReadFile(dir_ + "/cvmad.log");
  }

  void TearDown() override {
    if (agent_ > 0 && kill(agent_, SIGTERM) == 0) {
      int waited = 0;
      for (; waited < 250 && waitpid(agent_, nullptr, WNOHANG) == 0; ++waited) poll(nullptr, 0, 20);
      if (waited == 250) {
        ADD_FAILURE() << "the agent did not stop on SIGTERM";
        kill(agent_, SIGKILL);
        waitpid(agent_, nullptr, 0);
      }
    }
    std::filesystem::remove_all(dir_);
  }

  // Polls the agent's socket until it accepts, up to 10 s; false when the agent exits.
  bool WaitForSocket() {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, (root_ + "/cvmad.sock").c_str(), sizeof address.sun_path - 1);
    for (int attempt = 0; attempt < 500; ++attempt, poll(nullptr, 0, 20)) {
      const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      close(fd);
      if (up) return true;
      if (waitpid(agent_, nullptr, WNOHANG) == agent_) {
        agent_ = 0;  // exited at start-up: nothing to stop
        return false;
      }
    }
    return false;
  }

  // Runs cvmactl --root ROOT with `args`.
  Outcome Run(std::vector<std::string> args, const std::string& root = "") {
    const std::string out = dir_ + "/stdout", err = dir_ + "/stderr", program = bin_ + "/cvmactl";
    args.insert(args.begin(), {program, "--root", root.empty() ? root_ : root});
    const pid_t pid = fork();
    if (pid == 0) {
      const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (out_fd < 0 || err_fd < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0) _exit(127);
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    Outcome outcome;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
      outcome.status = WEXITSTATUS(status);
    outcome.out = ReadFile(out);
    outcome.err = ReadFile(err);
    return outcome;
  }

  Outcome Import(const std::string& text) {
    std::ofstream(dir_ + "/in.jsonl", std::ios::binary) << text;
    return Run({"import", dir_ + "/in.jsonl"});
  }

  std::string dir_, root_, bin_;
  pid_t agent_ = 0;
};

// Canonical lines in export order (arcs compare as numbers: 2.2 before 2.10).
const std::string kLines[] = {
    R"({"oid":"1.7.2.1","int":-2147483648})",
    R"({"oid":"1.7.2.2","int":7,"restriction":2})",
    R"({"oid":"1.7.2.10","string":"tab\t \"quoted\" back\\slash \u0001 naïve 😀"})",
    R"({"oid":"1.7.2.11","binary":"00ff7f"})",
    R"({"oid":"1.7.2.12","string":""})",
    R"({"oid":"1.7.2.20","columns":[8,4,3,7,10],"rows":[[1,"a","",-1,2],[2,"ü\n","x",0,0]],)"
    R"("restriction":16,"cells":[[0,1,2],[1,4,1]]})",
};

TEST_F(CvmactlTest, ExportGivesBackWhatWasImported) {
  std::string canonical;
  for (const std::string& line : kLines) canonical += line + "\n";
  const std::string shuffled = "# policy\n\n" + kLines[5] + "\r\n" + kLines[3] + "\n" + kLines[0] +
                               "\n" + kLines[4] + "\n   \n" + kLines[2] + "\n" + kLines[1];
  EXPECT_EQ(Import(shuffled), Outcome(0, "imported 6 variables\n", ""));
  const Outcome exported = Run({"export"});
  EXPECT_EQ(exported, Outcome(0, canonical, ""));
  EXPECT_EQ(Import(exported.out), Outcome(0, "imported 6 variables\n", ""));
  EXPECT_EQ(Run({"export"}), exported);
  EXPECT_EQ(Run({"get", "1.7.2.20"}), Outcome(0, kLines[5] + "\n", ""));
}

TEST_F(CvmactlTest, MalformedLineIsNamedAndNothingIsImported) {
  ASSERT_EQ(Import(kLines[0] + "\n").status, 0);
  const Outcome before = Run({"export"});
  const std::string file = dir_ + "/in.jsonl", good = R"({"oid":"1.9.1","int":1})";
  for (const std::string& bad : std::vector<std::string>{
           R"({"oid":"1.9.2","int":2147483648})", R"({"oid":"1.9.2","int":1.5})",
           R"({"oid":"1.9.2","columns":[8,4],"rows":[[1]]})", good}) {
    const Outcome outcome = Import(good + "\n# comment\n" + bad + "\n");
    EXPECT_EQ(outcome.status, 1) << bad;
    EXPECT_TRUE(outcome.err.starts_with("cvmactl: " + file + ":3: ")) << outcome.err;
    EXPECT_EQ(outcome.out, "");
  }
  EXPECT_EQ(Run({"export"}), before);
}

TEST_F(CvmactlTest, SetAndGetThroughTheLibraries) {
  EXPECT_EQ(Run({"set", "1.5.1", "--int", "-42"}), Outcome(0, "", ""));
  EXPECT_EQ(Run({"get", "1.5.1"}), Outcome(0, "{\"oid\":\"1.5.1\",\"int\":-42}\n", ""));
  EXPECT_EQ(Run({"set", "1.5.2", "--string", "naïve \"x\""}), Outcome(0, "", ""));
  EXPECT_EQ(Run({"get", "1.5.2"}),
            Outcome(0, "{\"oid\":\"1.5.2\",\"string\":\"naïve \\\"x\\\"\"}\n", ""));
  EXPECT_EQ(Run({"set", "1.5.1", "--string", "x"}),
            Outcome(1, "", "cvmactl: 1.5.1: type mismatch\n"));
  EXPECT_EQ(Run({"get", "1.5.9"}), Outcome(1, "", "cvmactl: 1.5.9: unknown OID\n"));
}

TEST_F(CvmactlTest, FinalVariablesRefuseSetsUntilDeleted) {
  const Outcome refused = {1, "", "cvmactl: 1.7.2.2: refused: final or hidden\n"};
  ASSERT_EQ(Import(kLines[1] + "\n" + kLines[5] + "\n").status, 0);
  EXPECT_EQ(Run({"set", "1.7.2.2", "--int", "8"}), refused);
  EXPECT_EQ(Run({"restrict", "1.7.2.2", "0"}), Outcome(0, "", ""));
  EXPECT_EQ(Run({"set", "1.7.2.2", "--int", "8"}), Outcome(0, "", ""));
  EXPECT_EQ(Run({"restrict", "1.7.2.2", "0x2"}), Outcome(0, "", ""));
  EXPECT_EQ(Run({"set", "1.7.2.2", "--int", "9"}), refused);
  EXPECT_EQ(Run({"get", "1.7.2.2"}),
            Outcome(0, "{\"oid\":\"1.7.2.2\",\"int\":8,\"restriction\":2}\n", ""));
  EXPECT_EQ(Run({"restrict", "1.7.2.20", "0", "--cell", "1", "0", "4"}), Outcome(0, "", ""));
  EXPECT_NE(Run({"get", "1.7.2.20"}).out.find("[1,0,4]"), std::string::npos);
  EXPECT_EQ(Run({"delete", "1.7.2.2"}), Outcome(0, "", ""));
  EXPECT_EQ(Run({"get", "1.7.2.2"}), Outcome(1, "", "cvmactl: 1.7.2.2: unknown OID\n"));
}

TEST_F(CvmactlTest, CommandLineMistakesAndAMissingAgent) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"frob"},
                                             {"export", "x"},
                                             {"get", "1.2.*"},
                                             {"set", "1.2", "--int", "2147483648"},
                                             {"set", "1.2", "--bool", "1"},
                                             {"set", "1.2", "--string", "\xff"},
                                             {"restrict", "1.2"},
                                             {"restrict", "1.2", "2", "--cell", "0"}}) {
    const Outcome outcome = Run(args);
    EXPECT_EQ(outcome.status, 2) << ::testing::PrintToString(args);
    EXPECT_NE(outcome.err.find("Usage:"), std::string::npos) << outcome.err;
  }
  const std::string empty = dir_ + "/empty";
  std::filesystem::create_directory(empty);
  EXPECT_EQ(Run({"export"}, empty),
            Outcome(1, "", "cvmactl: the agent is not running (" + empty + "/cvmad.sock)\n"));
}

}  // namespace
}  // namespace cvmactl
