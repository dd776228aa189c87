// Tests of the cvreg program, run as a child process on a machine root of its own.
#include <gtest/gtest.h>
#include <stdlib.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "platform/test_root.h"

namespace platform {
namespace {

using Outcome = std::tuple<int, std::string, std::string>;  // exit status, stdout, stderr
using Args = std::vector<std::string>;

const Outcome kOk = {0, "The operation completed successfully.\n", ""};
const Outcome kMissing = {
    1, "", "ERROR: The system was unable to find the specified registry key or value.\n"};
const std::string kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";

class CvRegTest : public ::testing::Test {
 protected:
  // Runs $CV_BIN_DIR/cvreg with `args` (no quotes of the shell's) on machine root
  // <dir>/`root`.
  Outcome Run(const Args& args, const std::string& root = "root") {
    const char* bin = getenv("CV_BIN_DIR");
#ifdef _WIN32
    // cmd.exe quotes with double quotes and drops the outer pair of the whole line.
    platform::testing::SetEnvironment("CORVANE_ROOT", Path(root).c_str());
    std::string command = "\"\"" + std::string(bin ? bin : "bin") + "/cvreg.exe\"";
    for (const std::string& arg : args) command += " \"" + arg + "\"";
    command += " >\"" + Path("out") + "\" 2>\"" + Path("err") + "\"\"";
    const int status = std::system(command.c_str());
    return {status, Slurp("out"), Slurp("err")};
#else
    std::string command = "CORVANE_ROOT='" + Path(root) + "' '" + (bin ? bin : "bin") + "/cvreg'";
    for (const std::string& arg : args) command += " '" + arg + "'";
    const int status = std::system((command + " >" + Path("out") + " 2>" + Path("err")).c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp("out"), Slurp("err")};
#endif
  }
  std::string Path(const std::string& name) { return dir_.Path(name); }
  // The printed lines in text mode, the .reg files byte for byte (binary).
  std::string Slurp(const std::string& name, std::ios::openmode mode = std::ios::in) {
    return {std::istreambuf_iterator<char>(std::ifstream(Path(name), mode).rdbuf()), {}};
  }
  std::string Write(const std::string& name, const std::string& text) {
    std::ofstream(Path(name), std::ios::binary) << text;
    return Path(name);
  }

  platform::testing::TemporaryFolder dir_{"cvreg_test"};
};

TEST_F(CvRegTest, ImportExportAndReimportKeepEveryValue) {
  const std::string key = "HKLM\\Software\\Vendor", out = Path("out.reg"),
                    text = kHeader +  // as cvreg writes it
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\r\n@=\"default text\"\r\n"
                           "\"Blob\"=hex:de,ad,be,ef\r\n\"Count\"=dword:0000002a\r\n"
                           "\"Path\"=\"C:\\\\Program Files\\\\x\"\r\n\r\n";
  // Reading a root that has no hive yet says so and makes neither the root nor a hive.
  for (const Args& reading : {Args{"query", key}, Args{"export", key, out}}) {
    const auto [status, output, error] = Run(reading);
    EXPECT_EQ(status, 1);
    const std::string hive = (std::filesystem::path(Path("root")) / "registry.db").make_preferred().string();
    EXPECT_NE(error.find("no hive at " + hive + ": run corvane-seed"),
              std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(Path("root")));
  }
  EXPECT_EQ(Run({"import", Write("in.reg", text)}), kOk);
  EXPECT_EQ(Run({"export", key, out}), kOk);
  EXPECT_EQ(Slurp("out.reg", std::ios::binary), text);
  EXPECT_EQ(std::get<0>(Run({"export", key, out})), 1);  // replacing the file needs /y
  EXPECT_EQ(Run({"import", out}, "other"), kOk);
  EXPECT_EQ(Run({"export", key, out, "/y"}, "other"), kOk);
  EXPECT_EQ(Slurp("out.reg", std::ios::binary), text);
}

TEST_F(CvRegTest, ImportWithABadLineNamesItAndChangesNothing) {
  const Outcome before = {0, "\nHKEY_LOCAL_MACHINE\\App\n    Mode    REG_SZ    old\n\n", ""};
  ASSERT_EQ(std::get<0>(Run({"add", "HKLM\\App", "/v", "Mode", "/d", "old"})), 0);
  const std::string file =
      Write("bad.reg", kHeader + "[HKEY_LOCAL_MACHINE\\App]\r\n\"Mode\"=\"new\"\r\n" +
                           "\"Count\"=dword:1234567890\r\n[HKEY_LOCAL_MACHINE\\App\\Added]\r\n");
  const auto [status, out, err] = Run({"import", file});
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(err.starts_with("ERROR: " + file + " line 5: ")) << err;
  EXPECT_EQ(Run({"query", "HKLM\\App"}), before);  // no new value, no subkey
}

TEST_F(CvRegTest, AddQueryAndDeleteLikeReg) {
  const std::string key = "HKEY_LOCAL_MACHINE\\Software\\Tool";
  for (const Args& args :
       std::vector<Args>{{"add", key, "/v", "Count", "/t", "REG_DWORD", "/d", "0x2A"},
                         {"add", key, "/ve", "/d", "hello world"},
                         {"add", key, "/v", "Bin", "/t", "reg_binary", "/d", "00ff10"},
                         {"add", "hklm\\software\\tool\\Sub"},
                         {"add", key, "/v", "Count", "/t", "REG_DWORD", "/d", "7", "/f"}})
    EXPECT_EQ(Run(args), kOk) << args[2];
  const std::string listing =
      "\nHKEY_LOCAL_MACHINE\\Software\\Tool\n    (Default)    REG_SZ    hello world\n"
      "    Bin    REG_BINARY    00FF10\n    Count    REG_DWORD    0x7\n\n"
      "HKEY_LOCAL_MACHINE\\Software\\Tool\\Sub\n";
  EXPECT_EQ(Run({"query", "hklm\\SOFTWARE\\TOOL"}), Outcome(0, listing, ""));
  EXPECT_EQ(std::get<0>(Run({"add", key, "/v", "Bin", "/d", "x"})), 1);  // overwriting needs /f
  EXPECT_EQ(std::get<0>(Run({"delete", key, "/v", "Bin"})), 1);          // so does deleting
  EXPECT_EQ(Run({"delete", key, "/v", "bin", "/f"}), kOk);
  EXPECT_EQ(Run({"query", key, "/v", "Bin"}), kMissing);
  EXPECT_EQ(Run({"delete", key, "/v", "Bin", "/f"}), kMissing);
  EXPECT_EQ(Run({"delete", key, "/f"}), kOk);
  EXPECT_EQ(Run({"query", key}), kMissing);
  EXPECT_EQ(std::get<0>(Run({"delete", "HKLM", "/f"})), 1);  // never the whole hive
}

TEST_F(CvRegTest, CommandLineMistakesExitTwoWithUsage) {
  std::string too_deep = "HKLM";
  for (int i = 0; i <= 512; ++i) too_deep += "\\k";
  for (const Args& args : std::vector<Args>{
           {}, {"frobnicate", "HKLM\\A"}, {"query", "HKCU\\Software"}, {"query", "HKLM\\A", "/v"},
           {"add", too_deep}, {"add", "HKLM\\" + std::string(256, 'k')},
           {"add", "HKLM\\A", "/v", "x", "/t", "REG_DWORD", "/d", "4294967296"},
           {"add", "HKLM\\A", "/v", "x", "/t", "REG_BINARY", "/d", "abc"},
           {"import", "a.reg", "/f"}, {"export", "HKLM\\A"}}) {
    const auto [status, out, err] = Run(args);
    EXPECT_EQ(status, 2) << ::testing::PrintToString(args);
    EXPECT_NE(err.find("Usage:"), std::string::npos) << err;
  }
}

}  // namespace
}  // namespace platform
