// Tests of the .reg reader and writer: every line kind, refused lines with their numbers and
// an exact round trip of awkward values.
#include "platform/reg_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "platform/test_root.h"

namespace platform {
namespace {

using namespace std::string_literals;
using Values = std::vector<std::tuple<std::string, uint32_t, std::string>>;

// The changes read from `text` as "<kind> key [name] type data" joined by " | ", or
// "line N: reason" when refused.
std::string Parse(const std::string& text) {
  std::vector<RegistryChange> changes;
  RegFileError error;
  if (!ParseRegFile(text, &changes, &error))
    return changes.empty() ? "line " + std::to_string(error.line) + ": " + error.reason : "?";
  std::string out;
  for (const RegistryChange& c : changes) {
    out += (out.empty() ? ""s : " | "s) + "CDSX"[static_cast<int>(c.kind)] + " " + c.key;
    if (c.kind == RegistryChange::Kind::kSetValue)
      out += " [" + c.value.name + "] " + std::to_string(c.value.type) + " " + c.value.data;
    if (c.kind == RegistryChange::Kind::kDeleteValue) out += " [" + c.value.name + "]";
  }
  return out;
}

TEST(RegFileTest, ReadsEveryLineKind) {
  const std::string head = "\xef\xbb\xbfWindows Registry Editor Version 5.00\r\n\r\n; note\r\n";
  const std::pair<std::string, std::string> cases[] = {  // lines after [HKLM\K], changes
      {"@=\"default\"\r\n", "S K [] 1 default\0"s},
      {"\"q\\\"b\\\\\"=\"C:\\\\d \\\"x\\\"\"\n", "S K [q\"b\\] 1 C:\\d \"x\"\0"s},
      {"\"n\" = dword:0000002A\r\n", "S K [n] 4 \x2a\0\0\0"s},
      {"\"b\"=hex:01,ff,\\\r\n    00\r\n", "S K [b] 3 \x01\xff\x00"s},
      {"\"m\"=hex(7):61,00,00\n\"e\"=hex:\n", "S K [m] 7 a\0\0 | S K [e] 3 "s},
      {"\"gone\"=-\r\n", "X K [gone]"},
      {"[-hklm\\Old]\r\n", "D Old"},
      {"[hklm]\n\"r\"=\"\"\n", "C  | S  [r] 1 \0"s},
  };
  for (const auto& [lines, changes] : cases)
    EXPECT_EQ(Parse(head + "[HKEY_LOCAL_MACHINE\\K]\r\n" + lines), "C K | " + changes);
}

TEST(RegFileTest, RefusesMalformedLinesWithTheirNumber) {
  const std::string head = "Windows Registry Editor Version 5.00\n", key = head + "[HKLM\\K]\n";
  std::string too_deep = "[HKLM";
  for (size_t i = 0; i <= kMaxKeyDepth; ++i) too_deep += "\\k";
  const std::pair<std::string, int> cases[] = {
      {head + too_deep + "]\n", 2}, {head + "[HKLM\\" + std::string(256, 'k') + "]\n", 2},
      {head + "[HKLM\\a\rb]\n", 2}, {key + "\"a\r\"=\"x\"\n", 3},  // could not be exported
      {"", 1}, {"\n\nREGEDIT4\n", 3}, {"\xff\xfeW\0"s, 1},
      {head + "\"v\"=\"x\"\n", 2},  // value before any key
      {head + "[HKEY_CURRENT_USER\\K]\n", 2}, {head + "[HKLMSoftware]\n", 2},
      {head + "[HKLM\\a\\\\b]\n", 2}, {head + "[-HKLM]\n", 2},
      {head + "[-HKLM\\K]\n\"v\"=\"x\"\n", 3},  // value under a deleted key
      {key + "\"v\"=dword:123456789\n", 3}, {key + "\"v\"=\"a\\nb\"\n", 3},
      {key + "\"v\"=\"open\n", 3}, {key + "\"v\"=\"x\" trailing\n", 3}, {key + "\"v\" \"x\"\n", 3},
      {key + "\"v\"=hex:01,,02\n", 3}, {key + "\"v\"=hex:01,02,\n", 3},
      {key + "\"v\"=hex:01,\\\n  02,\\\n  xy\n", 5}, {key + "\"v\"=hex:01,\\\n", 3},
      {key + "\"v\"=hex(zz):01\n", 3}, {key + "junk\n", 3}};
  for (const auto& [text, line] : cases)
    EXPECT_THAT(Parse(text), ::testing::MatchesRegex("line " + std::to_string(line) + ": .+"))
        << text;
}

TEST(RegFileTest, ExportThenImportKeepsEveryByte) {
  const Values values = {  // awkward ones, in name order
      {"", kRegSz, "default\0"s}, {"bin", kRegBinary, std::string(100, '\xab')},
      {"crlf", kRegSz, "a\r\nb\0"s}, {"dword", kRegDword, "\x78\x56\x34\x12"},
      {"dword3", kRegDword, "abc"}, {"inner", kRegSz, "a\0b\0"s},
      {"name \"q\" \\ [x]", kRegSz, "\"\\\0"s}, {"none", kRegNone, ""},
      {"raw", kRegSz, "no terminator"}, {"utf8 \xc3\xa4", kRegSz, "\xe2\x82\xac\0"s}};
  testing::TemporaryFolder dir;
  Hive source(dir.path() + "/a.db"), copy(dir.path() + "/b.db");
  RegistryKey key;
  ASSERT_EQ(source.CreateKey("Top\\Values\\Empty\\Leaf", kKeyRead, &key), kErrorSuccess);
  ASSERT_EQ(source.OpenKey("Top\\Values", kKeyAllAccess, &key), kErrorSuccess);
  for (const auto& [name, type, data] : values)
    ASSERT_EQ(source.SetValue(key, name, type, data.data(), data.size()), kErrorSuccess);
  std::string text, again;
  std::vector<RegistryChange> changes;
  std::vector<RegistryValue> read;
  RegFileError error;
  ASSERT_EQ(ExportRegFile(source, "top", &text), kErrorSuccess);
  ASSERT_TRUE(ParseRegFile(text, &changes, &error)) << error.line << ": " << error.reason;
  ASSERT_EQ(copy.Apply(changes), kErrorSuccess);
  EXPECT_EQ(copy.OpenKey("top\\values\\empty\\leaf", kKeyRead, &key), kErrorSuccess);
  ASSERT_EQ(copy.OpenKey("Top\\Values", kKeyRead, &key), kErrorSuccess);
  ASSERT_EQ(copy.EnumValues(key, &read), kErrorSuccess);
  Values copied;
  for (const RegistryValue& v : read) copied.emplace_back(v.name, v.type, v.data);
  EXPECT_EQ(copied, values);
  ASSERT_EQ(ExportRegFile(copy, "Top", &again), kErrorSuccess);
  EXPECT_EQ(again, text);
  EXPECT_EQ(ExportRegFile(source, "Top\\Missing", &text), kErrorFileNotFound);
}

}  // namespace
}  // namespace platform
