// Tests of the cvreg program, run as a child process on a machine root of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace platform {
namespace {

constexpr const char* kOk = "The operation completed successfully.\n";
constexpr const char* kMissing =
    "ERROR: The system was unable to find the specified registry key or value.\n";

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class CvRegTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/cvreg_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    root_ = dir_ + "/root";
    const char* bin = getenv("CV_BIN_DIR");
    // ctest names the program folder; a test run by hand finds it beside tests/.
    program_ = bin != nullptr ? std::string(bin) + "/cvreg"
                              : std::filesystem::read_symlink("/proc/self/exe")
                                    .parent_path()
                                    .parent_path()
                                    .append("bin/cvreg")
                                    .string();
    ASSERT_TRUE(std::filesystem::exists(program_)) << program_;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs cvreg with `args` on machine root `root` (root_ by default).
  Outcome Cvreg(std::vector<std::string> args, const std::string& root = "") {
    const std::string out = dir_ + "/stdout", err = dir_ + "/stderr";
    pid_t pid = fork();
    if (pid == 0) {
      setenv("CORVANE_ROOT", (root.empty() ? root_ : root).c_str(), 1);
      int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (out_fd < 0 || err_fd < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0) _exit(127);
      std::vector<char*> argv = {program_.data()};
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(program_.c_str(), argv.data());
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

  std::vector<RegistryValue> Values(const std::string& root, const std::string& path) {
    Hive hive(root + "/registry.db");
    RegistryKey key;
    std::vector<RegistryValue> values;
    EXPECT_EQ(hive.OpenKey(path, kKeyRead, &key), kErrorSuccess) << path;
    EXPECT_EQ(hive.EnumValues(key, &values), kErrorSuccess);
    return values;
  }

  std::string dir_, root_, program_;
};

TEST_F(CvRegTest, ImportThenExportKeepsEveryValue) {
  const std::string file = dir_ + "/in.reg";
  WriteFile(file,
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\r\n"
            "@=\"default text\"\r\n"
            "\"Count\"=dword:0000002a\r\n"
            "\"Path\"=\"C:\\\\Program Files\\\\x\"\r\n"
            "\"Blob\"=hex:de,ad,\\\r\n"
            "  be,ef\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Sub]\r\n");
  Outcome imported = Cvreg({"import", file});
  ASSERT_EQ(imported.status, 0) << imported.err;
  EXPECT_EQ(imported.out, kOk);
  const std::vector<RegistryValue> values = Values(root_, "software\\vendor");
  ASSERT_EQ(values.size(), 4u);
  EXPECT_EQ(values[0].data, std::string("default text\0", 13));
  EXPECT_EQ(values[1].data, "\xde\xad\xbe\xef");
  EXPECT_EQ(values[2].data, std::string("\x2a\0\0\0", 4));
  EXPECT_EQ(values[3].data, std::string("C:\\Program Files\\x\0", 19));

  const std::string exported = dir_ + "/out.reg";
  ASSERT_EQ(Cvreg({"export", "HKLM\\Software\\Vendor", exported}).status, 0);
  const std::string text = ReadFile(exported);
  EXPECT_NE(text.find("\r\n\"Blob\"=hex:de,ad,be,ef\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Sub]"), std::string::npos);
  // Refuses to replace the file unless told.
  Outcome again = Cvreg({"export", "HKLM\\Software\\Vendor", exported});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("/y"), std::string::npos);
  EXPECT_EQ(Cvreg({"export", "HKLM\\Software\\Vendor", exported, "/y"}).status, 0);

  const std::string other_root = dir_ + "/other";
  ASSERT_EQ(Cvreg({"import", exported}, other_root).status, 0);
  const std::vector<RegistryValue> copied = Values(other_root, "SOFTWARE\\Vendor");
  ASSERT_EQ(copied.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(copied[i].name, values[i].name);
    EXPECT_EQ(copied[i].type, values[i].type);
    EXPECT_EQ(copied[i].data, values[i].data);
  }
}

TEST_F(CvRegTest, ImportIsAllOrNothing) {
  ASSERT_EQ(Cvreg({"add", "HKLM\\App", "/v", "Mode", "/d", "old"}).status, 0);
  const std::string file = dir_ + "/bad.reg";
  WriteFile(file,
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\App]\n"
            "\"Mode\"=\"new\"\n"
            "\"Count\"=dword:1234567890\n"
            "[HKEY_LOCAL_MACHINE\\App\\Added]\n");
  Outcome outcome = Cvreg({"import", file});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err.rfind("ERROR: " + file + " line 5: ", 0), 0u) << outcome.err;
  const std::vector<RegistryValue> values = Values(root_, "App");
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].data, std::string("old\0", 4));
  EXPECT_EQ(Cvreg({"query", "HKLM\\App\\Added"}).status, 1);

  // Deletion lines of a good file.
  WriteFile(file,
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\App\\Doomed\\Child]\n"
            "[-HKEY_LOCAL_MACHINE\\App\\Doomed]\n"
            "[HKEY_LOCAL_MACHINE\\App]\n"
            "\"Mode\"=-\n"
            "\"Other\"=-\n");
  ASSERT_EQ(Cvreg({"import", file}).status, 0);
  EXPECT_TRUE(Values(root_, "App").empty());
  EXPECT_EQ(Cvreg({"query", "HKLM\\App\\Doomed"}).err, kMissing);
}

TEST_F(CvRegTest, AddQueryAndDeleteLikeReg) {
  const std::string key = "HKEY_LOCAL_MACHINE\\Software\\Tool";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"add", key, "/v", "Count", "/t", "REG_DWORD", "/d", "0x2A"},
           {"add", key, "/v", "Name", "/d", "hello world"},
           {"add", key, "/ve", "/d", "def"},
           {"add", key, "/v", "Bin", "/t", "reg_binary", "/d", "00ff10"},
           {"add", "hklm\\software\\tool\\Sub"},
       }) {
    Outcome added = Cvreg(args);
    EXPECT_EQ(added.status, 0) << args[2] << ": " << added.err;
    EXPECT_EQ(added.out, kOk);
  }
  Outcome query = Cvreg({"query", "hklm\\SOFTWARE\\TOOL"});
  EXPECT_EQ(query.status, 0);
  EXPECT_EQ(query.out,
            "\nHKEY_LOCAL_MACHINE\\Software\\Tool\n"
            "    (Default)    REG_SZ    def\n"
            "    Bin    REG_BINARY    00FF10\n"
            "    Count    REG_DWORD    0x2a\n"
            "    Name    REG_SZ    hello world\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\Software\\Tool\\Sub\n");
  EXPECT_EQ(Cvreg({"query", key, "/v", "count"}).out,
            "\nHKEY_LOCAL_MACHINE\\Software\\Tool\n    Count    REG_DWORD    0x2a\n\n");

  // Overwriting needs /f.
  EXPECT_EQ(Cvreg({"add", key, "/v", "Name", "/d", "x"}).status, 1);
  EXPECT_EQ(Cvreg({"add", key, "/v", "Name", "/t", "REG_DWORD", "/d", "7", "/f"}).status, 0);
  EXPECT_EQ(Cvreg({"query", key, "/v", "Name"}).out,
            "\nHKEY_LOCAL_MACHINE\\Software\\Tool\n    Name    REG_DWORD    0x7\n\n");

  Outcome missing = Cvreg({"query", key, "/v", "Nothing"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, kMissing);
  EXPECT_EQ(Cvreg({"delete", key, "/v", "Name"}).status, 1);  // no /f
  EXPECT_EQ(Cvreg({"delete", key, "/v", "Name", "/f"}).status, 0);
  EXPECT_EQ(Cvreg({"delete", key, "/v", "Name", "/f"}).status, 1);
  EXPECT_EQ(Cvreg({"delete", key, "/f"}).status, 0);
  EXPECT_EQ(Cvreg({"query", key}).status, 1);
  EXPECT_EQ(Cvreg({"delete", "HKLM", "/f"}).status, 1);
}

TEST_F(CvRegTest, CommandLineMistakesExitTwoWithUsage) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate", "HKLM\\A"},
           {"query", "HKCU\\Software"},
           {"query", "HKLM\\A", "/v"},
           {"add", "HKLM\\A", "/v", "x", "/t", "REG_DWORD", "/d", "4294967296"},
           {"add", "HKLM\\A", "/v", "x", "/t", "REG_BINARY", "/d", "abc"},
           {"import", "a.reg", "/f"},
           {"export", "HKLM\\A"},
       }) {
    Outcome outcome = Cvreg(args);
    EXPECT_EQ(outcome.status, 2) << ::testing::PrintToString(args);
    EXPECT_NE(outcome.err.find("Usage:"), std::string::npos);
  }
}

}  // namespace
}  // namespace platform
