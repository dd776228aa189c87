// Tests of the .reg reader and writer: every line kind, refused lines with their numbers,
// and exact round trips of awkward values.
#include "platform/reg_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

namespace platform {
namespace {

using Kind = RegistryChange::Kind;

std::string Describe(const RegistryChange& change) {
  static const char* kKinds[] = {"create", "delete-key", "set", "delete-value"};
  std::string text = std::string(kKinds[static_cast<int>(change.kind)]) + " " + change.key;
  if (change.kind == Kind::kSetValue || change.kind == Kind::kDeleteValue)
    text += " [" + change.value.name + "] " + std::to_string(change.value.type) + " " +
            change.value.data;
  return text;
}

std::vector<std::string> Parse(const std::string& text) {
  std::vector<RegistryChange> changes;
  RegFileError error;
  EXPECT_TRUE(ParseRegFile(text, &changes, &error)) << error.line << ": " << error.reason;
  std::vector<std::string> described;
  for (const RegistryChange& change : changes) described.push_back(Describe(change));
  return described;
}

TEST(RegFileParseTest, ReadsEveryLineKind) {
  const std::string text =
      "\xef\xbb\xbfWindows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A]\r\n"
      "@=\"default\"\r\n"
      "\"quote\\\"back\\\\\"=\"C:\\\\dir \\\"x\\\"\"\r\n"
      "\"n\" = dword:0000002A\r\n"
      "\"bin\"=hex:01,ff,\\\r\n"
      "    00\r\n"
      "\"multi\"=hex(7):61,00,00\r\n"
      "\"empty\"=hex:\r\n"
      "\"gone\"=-\r\n"
      "[-hklm\\Software\\Old]\r\n"
      "\r\n"
      "[hklm]\n"
      "\"rootvalue\"=\"\"\n";
  EXPECT_EQ(Parse(text),
            (std::vector<std::string>{
                "create Software\\A",
                "set Software\\A [] 1 " + std::string("default\0", 8),
                "set Software\\A [quote\"back\\] 1 " + std::string("C:\\dir \"x\"\0", 11),
                "set Software\\A [n] 4 " + std::string("\x2a\0\0\0", 4),
                "set Software\\A [bin] 3 " + std::string("\x01\xff\x00", 3),
                "set Software\\A [multi] 7 " + std::string("a\0\0", 3),
                "set Software\\A [empty] 3 ",
                "delete-value Software\\A [gone] 0 ",
                "delete-key Software\\Old",
                "create ",
                "set  [rootvalue] 1 " + std::string(1, '\0'),
            }));
}

TEST(RegFileParseTest, RefusesMalformedLinesWithTheirNumber) {
  const std::string header = "Windows Registry Editor Version 5.00\n";
  const std::string key = "[HKEY_LOCAL_MACHINE\\K]\n";
  const struct {
    std::string text;
    int line;
  } cases[] = {
      {"", 1},
      {"\n\nREGEDIT4\n", 3},
      {"\xff\xfeW\0", 1},
      {header + "\"v\"=\"x\"\n", 2},                  // value before any key
      {header + "[HKEY_CURRENT_USER\\K]\n", 2},       // another hive
      {header + "[HKLM\\a\\\\b]\n", 2},               // empty component
      {header + "[-HKLM]\n", 2},                      // the root stays
      {header + key + "\"v\"=dword:123456789\n", 3},  // nine digits
      {header + key + "\"v\"=\"a\\nb\"\n", 3},        // unknown escape
      {header + key + "\"v\"=\"open\n", 3},
      {header + key + "\"v\"=\"x\" trailing\n", 3},
      {header + key + "\"v\" \"x\"\n", 3},
      {header + key + "\"v\"=hex:01,,02\n", 3},
      {header + key + "\"v\"=hex:01,02,\n", 3},  // trailing comma, no continuation
      {header + key + "\"v\"=hex:01,\\\n  02,\\\n  xy\n", 5},
      {header + key + "\"v\"=hex:01,\\\n", 3},  // continues past the end
      {header + key + "\"v\"=hex(zz):01\n", 3},
      {header + key + "junk\n", 3},
      {header + "[-HKLM\\K]\n\"v\"=\"x\"\n", 3},  // value under a deleted key
  };
  for (const auto& c : cases) {
    std::vector<RegistryChange> changes;
    RegFileError error;
    EXPECT_FALSE(ParseRegFile(c.text, &changes, &error)) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text << " -> " << error.reason;
    EXPECT_FALSE(error.reason.empty());
    EXPECT_TRUE(changes.empty());
  }
}

TEST(RegFileMachineKeyTest, AcceptsBothSpellingsOfTheRootOnly) {
  std::string subkey;
  EXPECT_TRUE(ParseMachineKey("hkey_local_machine\\A\\b", &subkey));
  EXPECT_EQ(subkey, "A\\b");
  EXPECT_TRUE(ParseMachineKey("HKLM", &subkey));
  EXPECT_EQ(subkey, "");
  EXPECT_FALSE(ParseMachineKey("HKLMSoftware", &subkey));
  EXPECT_FALSE(ParseMachineKey("HKCU\\Software", &subkey));
}

class RegFileExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/reg_file_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

TEST_F(RegFileExportTest, AwkwardValuesSurviveExportAndImportExactly) {
  Hive source(dir_ + "/a.db");
  RegistryKey key, child;
  ASSERT_EQ(source.CreateKey("Top\\Values", kKeyAllAccess, &key), kErrorSuccess);
  ASSERT_EQ(source.CreateKey("Top\\Values\\Empty\\Leaf", kKeyAllAccess, &child), kErrorSuccess);
  const std::vector<RegistryValue> values = {
      {"", kRegSz, std::string("default\0", 8)},
      {"bin", kRegBinary, std::string(100, '\xab')},  // wraps over several lines
      {"crlf", kRegSz, std::string("a\r\nb\0", 6)},
      {"dword", kRegDword, std::string("\x78\x56\x34\x12", 4)},
      {"dword3", kRegDword, "abc"},
      {"inner", kRegSz, std::string("a\0b\0", 4)},
      {"name \"q\" \\ [x]", kRegSz, std::string("\"\\\0", 3)},
      {"none", kRegNone, ""},
      {"raw", kRegSz, "no terminator"},
      {"utf8 \xc3\xa4", kRegSz, std::string("\xe2\x82\xac\0", 4)},
  };
  for (const RegistryValue& v : values)
    ASSERT_EQ(
        source.SetValue(key, v.name, v.type, v.data.data(), static_cast<uint32_t>(v.data.size())),
        kErrorSuccess);

  std::string text;
  ASSERT_EQ(ExportRegFile(source, "top", &text), kErrorSuccess);
  EXPECT_TRUE(text.starts_with(
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Top]\r\n\r\n"))
      << text;
  EXPECT_NE(text.find("\r\n\"dword\"=dword:12345678\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\n\"raw\"=hex(1):6e,6f,"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\n@=\"default\"\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Top\\Values\\Empty\\Leaf]\r\n"), std::string::npos);
  for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos;
       start = end + 2)
    EXPECT_LE(end - start, 80u) << text.substr(start, end - start);

  std::vector<RegistryChange> changes;
  RegFileError error;
  ASSERT_TRUE(ParseRegFile(text, &changes, &error)) << error.line << ": " << error.reason;
  Hive copy(dir_ + "/b.db");
  ASSERT_EQ(copy.Apply(changes), kErrorSuccess);
  RegistryKey copied;
  ASSERT_EQ(copy.OpenKey("Top\\Values", kKeyRead, &copied), kErrorSuccess);
  std::vector<RegistryValue> read;
  ASSERT_EQ(copy.EnumValues(copied, &read), kErrorSuccess);
  ASSERT_EQ(read.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(read[i].name, values[i].name);
    EXPECT_EQ(read[i].type, values[i].type) << values[i].name;
    EXPECT_EQ(read[i].data, values[i].data) << values[i].name;
  }
  std::string again;
  ASSERT_EQ(ExportRegFile(copy, "Top", &again), kErrorSuccess);
  EXPECT_EQ(again, text);

  EXPECT_EQ(ExportRegFile(source, "Top\\Missing", &text), kErrorFileNotFound);
}

}  // namespace
}  // namespace platform
