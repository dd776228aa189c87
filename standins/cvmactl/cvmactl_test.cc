// Tests of cvmactl: the line reader and writer on their own, then the program end to end
// against a real agent serving a machine root of its own.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "standins/cvmactl/json_line.h"
#include "standins/testing/test_agent.h"

namespace cvmactl {
namespace {

// The escapes the import round trip below does not spell, and the 64-bit bounds.
TEST(JsonTest, DecodesTheOtherEscapesAndTheIntegerBounds) {
  JsonValue value;
  std::string error;
  const std::string text =
      R"([" \b\f\r\u0000\udc00x", -9223372036854775808, 9223372036854775807])";
  ASSERT_TRUE(ParseJson(text, &value, &error)) << error;
  // A lone low surrogate is kept.
  EXPECT_EQ(value.items[0].string, (std::u16string{u' ', u'\b', u'\f', u'\r', 0, 0xDC00, u'x'}));
  EXPECT_EQ(value.items[1].integer, INT64_MIN);
  EXPECT_EQ(value.items[2].integer, INT64_MAX);
}

TEST(JsonTest, RefusesWhatIsNotStrictJson) {
  for (const std::string& text : std::vector<std::string>{
           "", "{\"a\":1.5}", "[1e3]", "[null]", "[01]", "[-]", "[1,]", "{\"a\":1,}", "{\"a\" 1}",
           "{a:1}", "{} x", "{\"a\":1,\"a\":2}", R"("\x")", R"("\u12g4")", "\"raw\ttab\"", "\"open",
           "\"\xc0\xaf\"", "[9223372036854775808]", "[-9223372036854775809]",
           std::string(40, '[') + std::string(40, ']')}) {
    JsonValue value;
    std::string error;
    EXPECT_FALSE(ParseJson(text, &value, &error)) << text;
    EXPECT_TRUE(error.starts_with("column ")) << text << ": " << error;
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

using Outcome = std::tuple<int, std::string, std::string>;  // exit status, stdout, stderr
const Outcome kDone = {0, "", ""};

class CvmactlTest : public cvmad::testing::AgentFixture {
 protected:
  // Runs cvmactl --root ROOT with `args` (no single quotes), after the command words `as`.
  Outcome Run(const std::vector<std::string>& args, const std::string& root = "",
              const std::string& as = "") {
#ifdef _WIN32
    // cmd.exe quotes with double quotes (a quote in an argument is \") and drops the outer
    // pair of the whole line; the program prints its lines in text mode.
    std::string command = "\"\"" + (cvmad::testing::BinDir() / "cvmactl").string() +
                          "\" --root \"" + (root.empty() ? agent_.root() : root) + "\"";
    for (const std::string& arg : args) {
      command += " \"";
      for (char c : arg) command += c == '"' ? std::string("\\\"") : std::string(1, c);
      command += "\"";
    }
    const int status = std::system(
        (as + command + " >\"" + Path("out") + "\" 2>\"" + Path("err") + "\"\"").c_str());
    const auto printed = [](const std::string& path) {
      return std::string(std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {});
    };
    return {status, printed(Path("out")), printed(Path("err"))};
#else
    std::string command = as + "'" + (cvmad::testing::BinDir() / "cvmactl").string() +
                          "' --root '" + (root.empty() ? agent_.root() : root) + "'";
    for (const std::string& arg : args) command += " '" + arg + "'";
    const int status = std::system((command + " >" + Path("out") + " 2>" + Path("err")).c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, cvmad::testing::FileText(Path("out")),
            cvmad::testing::FileText(Path("err"))};
#endif
  }
  Outcome Import(const std::string& text) {
    std::ofstream(Path("in.jsonl"), std::ios::binary) << text;
    return Run({"import", Path("in.jsonl")});
  }
  std::string Path(const std::string& name) const { return agent_.dir() + "/" + name; }
};

// Canonical lines in export order (arcs compare as numbers: 2.3 before 2.10), and the same
// variables spelt otherwise: keys in any order, blanks, escapes, upper-case hex, zero
// restrictions and cell flags, empty cell lists.
const std::string kLines[] = {
    R"({"oid":"1.7.2.1","int":-2147483648})",
    R"({"oid":"1.7.2.2","int":7,"restriction":2})",
    R"({"oid":"1.7.2.3","restriction":4294967295})",
    R"({"oid":"1.7.2.10","string":"tab\t \"quoted\" back\\slash \u0001\u001f naïve 😀/\ud800"})",
    R"({"oid":"1.7.2.11","binary":"00ff7f"})",
    R"({"oid":"1.7.2.12","string":""})",
    R"({"oid":"1.7.2.20","columns":[8,4,3,7,10],"rows":[[1,"a","",-1,2],[2,"ü\n","x",0,0]],)"
    R"("restriction":16,"cells":[[0,1,2],[1,4,1]]})",
    R"({"oid":"1.7.2.21","columns":[4],"rows":[]})",
};
const std::string kOtherSpellings[] = {
    kLines[0],
    kLines[1],
    R"( {"restriction":4294967295, "oid":"1.7.2.3"} )",
    R"({"oid":"1.7.2.10","string":"tab\t \"quoted\" back\\slash \u0001\u001F na\u00efve )"
    R"(\ud83d\ude00\/\ud800"})",
    R"({"binary":"00FF7f","oid":"1.7.2.11"})",
    R"({"restriction":0,"string":"","oid":"1.7.2.12"})",
    R"({"oid":"1.7.2.20","columns":[8,4,3,7,10],"rows":[[1,"a","",-1,2],[2,"\u00fc\n","x",0,0]],)"
    R"("restriction":16,"cells":[[0,0,0],[0,1,2],[1,4,1]]})",
    R"({"oid":"1.7.2.21","columns":[4],"rows":[],"cells":[]})",
};

TEST_F(CvmactlTest, ExportGivesBackWhatWasImportedInTheOneForm) {
  std::string canonical, shuffled = "# policy\n\n";
  for (const std::string& line : kLines) canonical += line + "\n";
  for (int i : {6, 4, 0, 5, 3, 1, 7, 2})
    shuffled += kOtherSpellings[i] + (i == 6 ? "\r\n" : "\n   \n");
  const Outcome imported = {0, "imported 8 variables\n", ""};
  EXPECT_EQ(Import(shuffled), imported);
  const Outcome exported = Run({"export"});
  EXPECT_EQ(exported, Outcome(0, canonical, ""));
  EXPECT_EQ(Import(std::get<1>(exported)), imported);
  EXPECT_EQ(Run({"export"}), exported);
  EXPECT_EQ(Run({"get", "1.7.2.20"}), Outcome(0, kLines[6] + "\n", ""));
}

TEST_F(CvmactlTest, MalformedLineIsNamedAndNothingIsImported) {
  ASSERT_EQ(Import(kLines[0] + "\n"), Outcome(0, "imported 1 variable\n", ""));
  const Outcome before = Run({"export"});
  const std::string good = R"({"oid":"1.9.1","int":1})";
  for (const std::string& bad : std::vector<std::string>{
           R"({"oid":"1.9.2","int":2147483648})", R"({"oid":"1.9.2","int":1.5})",
           R"({"oid":"1.9.2","columns":[8,4],"rows":[[1]]})", good}) {
    const auto [status, out, err] = Import(good + "\n# comment\n" + bad + "\n");
    EXPECT_EQ(status, 1) << bad;
    EXPECT_TRUE(err.starts_with("cvmactl: " + Path("in.jsonl") + ":3: ")) << err;
    EXPECT_EQ(out, "");
  }
  EXPECT_EQ(Run({"export"}), before);
}

TEST_F(CvmactlTest, SetGetRestrictAndDeleteThroughTheLibraries) {
  const Outcome unknown = {1, "", "cvmactl: 1.5.1: unknown OID\n"};
  EXPECT_EQ(Run({"set", "1.5.1", "--int", "-42"}), unknown);  // a set makes nothing by itself
  EXPECT_EQ(Run({"get", "1.5.1"}), unknown);
  EXPECT_EQ(Run({"set", "1.5.1", "--int", "-42", "--create"}), kDone);
  EXPECT_EQ(Run({"get", "1.5.1"}), Outcome(0, "{\"oid\":\"1.5.1\",\"int\":-42}\n", ""));
  EXPECT_EQ(Run({"set", "1.5.2", "--create", "--string", "naïve \"x\""}), kDone);
  EXPECT_EQ(Run({"get", "1.5.2"}),
            Outcome(0, "{\"oid\":\"1.5.2\",\"string\":\"naïve \\\"x\\\"\"}\n", ""));
  EXPECT_EQ(Run({"set", "1.5.1", "--string", "x"}),
            Outcome(1, "", "cvmactl: 1.5.1: type mismatch\n"));
  EXPECT_EQ(Run({"get", "1.5.9"}), Outcome(1, "", "cvmactl: 1.5.9: unknown OID\n"));

  // 1.7.2.2 comes final: sets are refused until it is made writable.
  ASSERT_EQ(std::get<0>(Import(kLines[1] + "\n" + kLines[6] + "\n")), 0);
  EXPECT_EQ(Run({"set", "1.7.2.2", "--int", "8"}),
            Outcome(1, "", "cvmactl: 1.7.2.2: refused: final or hidden\n"));
  EXPECT_EQ(Run({"restrict", "1.7.2.2", "0"}), kDone);
  EXPECT_EQ(Run({"set", "1.7.2.2", "--int", "8"}), kDone);
  EXPECT_EQ(Run({"restrict", "1.7.2.2", "0x2"}), kDone);
  EXPECT_EQ(Run({"get", "1.7.2.2"}),
            Outcome(0, "{\"oid\":\"1.7.2.2\",\"int\":8,\"restriction\":2}\n", ""));
  EXPECT_EQ(Run({"restrict", "1.7.2.20", "0", "--cell", "1", "0", "4"}), kDone);
  EXPECT_NE(std::get<1>(Run({"get", "1.7.2.20"})).find("[1,0,4]"), std::string::npos);
  EXPECT_EQ(Run({"delete", "1.7.2.2"}), kDone);
  EXPECT_EQ(Run({"get", "1.7.2.2"}), Outcome(1, "", "cvmactl: 1.7.2.2: unknown OID\n"));
}

TEST_F(CvmactlTest, CommandLineMistakesAMissingAgentAndARefusedUser) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"frob"}, {"export", "x"}, {"get", "1.2.*"}, {"set", "1.2", "--int", "2147483648"},
           {"set", "1.2", "--bool", "1"}, {"set", "1.2", "--string", "\xff"}, {"restrict", "1.2"},
           {"set", "1.2", "--int", "1", "--make"}, {"restrict", "1.2", "2", "--cell", "0"}}) {
    const auto [status, out, err] = Run(args);
    EXPECT_EQ(status, 2) << ::testing::PrintToString(args);
    EXPECT_NE(err.find("Usage:"), std::string::npos) << err;
  }
  const std::string empty = Path("empty");
  std::filesystem::create_directory(empty);
  const std::string missing =
      (std::filesystem::path(empty + "/run/cvmad.sock")).make_preferred().string();
  EXPECT_EQ(Run({"export"}, empty),
            Outcome(1, "", "cvmactl: the agent is not running (" + missing + ")\n"));
#ifndef _WIN32  // a pipe's access is no file mode, and a second account is not made here
  // Root passes any mode, so as root another user runs it; else the mode shuts the owner out.
  std::string as;
  if (geteuid() == 0)
    as = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  else
    std::filesystem::permissions(agent_.socket_path(), std::filesystem::perms::none);
  EXPECT_EQ(Run({"export"}, "", as),
            Outcome(1, "", "cvmactl: permission denied (" + agent_.socket_path() + ")\n"));
#endif
}

}  // namespace
}  // namespace cvmactl
