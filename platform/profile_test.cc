// Tests of the private profile reader against ini files written to a temporary folder.
#include "platform/profile.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace platform {
namespace {

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/profile_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    file_ = dir_ + "/settings.ini";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void Write(const std::string& contents) { std::ofstream(file_, std::ios::binary) << contents; }

  // The value read with a generous buffer; "<default>" marks the default.
  std::string Get(const char* section, const char* key, uint32_t size = 256) {
    std::string buffer(size, 'X');
    uint32_t count =
        GetPrivateProfileString(section, key, "<default>", buffer.data(), size, file_.c_str());
    EXPECT_EQ(count, std::strlen(buffer.c_str()));
    return buffer.c_str();
  }

  std::string dir_;
  std::string file_;
};

TEST_F(ProfileTest, ValueIsCutToTheBuffer) {
  Write("[Paths]\nSize=33333\n");
  char buffer[5];
  EXPECT_EQ(GetPrivateProfileString("Paths", "Size", "", buffer, 5, file_.c_str()), 4u);
  EXPECT_STREQ(buffer, "3333");
  EXPECT_EQ(GetPrivateProfileString("Paths", "Size", "", buffer, 1, file_.c_str()), 0u);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(Get("Paths", "Size", 6), "33333");
}

TEST_F(ProfileTest, NamesAreMatchedWithoutCaseOrSurroundingBlanks) {
  Write("[ Web Server ]\n  DocRoot  =  /srv/www  \n\tPort\t=\t8080\t\n");
  EXPECT_EQ(Get("web server", "DOCROOT"), "/srv/www");
  EXPECT_EQ(Get("WEB SERVER", "port"), "8080");
  // The name inside the brackets is compared whole, not as a prefix.
  EXPECT_EQ(Get("Web", "Port"), "<default>");
  EXPECT_EQ(Get("Web Server", "Por"), "<default>");
}

TEST_F(ProfileTest, MissingFileSectionOrKeyGivesTheDefault) {
  EXPECT_EQ(Get("Main", "Key"), "<default>");  // no file yet
  Write("[Main]\nKey=value\n[Other]\nName=x\n");
  EXPECT_EQ(Get("Absent", "Key"), "<default>");
  EXPECT_EQ(Get("Main", "Absent"), "<default>");
  EXPECT_EQ(Get("Main", "Name"), "<default>");  // only in another section

  char buffer[16];
  EXPECT_EQ(
      GetPrivateProfileString("Main", "Absent", "dflt  \t", buffer, sizeof buffer, file_.c_str()),
      4u);
  EXPECT_STREQ(buffer, "dflt");
  EXPECT_EQ(
      GetPrivateProfileString("Main", "Absent", nullptr, buffer, sizeof buffer, file_.c_str()), 0u);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(GetPrivateProfileString("Main", "Absent", "long default", buffer, 5, file_.c_str()),
            4u);
  EXPECT_STREQ(buffer, "long");
}

TEST_F(ProfileTest, CommentsAreSkippedAndFirstOccurrenceWins) {
  Write(
      "; [Main]\n[Main]\n;Key=commented\n  ; Key=indented comment\nKey=first\nKey=second\n"
      "[Main]\nKey=third\nLate=later section\n");
  EXPECT_EQ(Get("Main", "Key"), "first");
  EXPECT_EQ(Get("Main", ";Key"), "<default>");
  // Only the first section of a name is searched.
  EXPECT_EQ(Get("Main", "Late"), "<default>");
}

TEST_F(ProfileTest, OnePairOfMatchingQuotesIsStripped) {
  Write(
      "[Q]\nDouble=\"  spaced  \"\nSingle='single'\nNested=\"'x'\"\nMixed=\"mixed'\n"
      "Lone=\"\nInner=a \"b\" c\n");
  EXPECT_EQ(Get("Q", "Double"), "  spaced  ");
  EXPECT_EQ(Get("Q", "Single"), "single");
  EXPECT_EQ(Get("Q", "Nested"), "'x'");
  EXPECT_EQ(Get("Q", "Mixed"), "\"mixed'");
  EXPECT_EQ(Get("Q", "Lone"), "\"");
  EXPECT_EQ(Get("Q", "Inner"), "a \"b\" c");
}

TEST_F(ProfileTest, CrlfLinesEmptyValuesAndLastLineWithoutEnd) {
  Write("\xEF\xBB\xBF[Win]\r\nPath=C:\\dir\r\nEmpty=\r\nBare\r\nEquals=a=b\r\nLast=end");
  EXPECT_EQ(Get("Win", "Path"), "C:\\dir");
  EXPECT_EQ(Get("Win", "Empty"), "");
  EXPECT_EQ(Get("Win", "Bare"), "");
  EXPECT_EQ(Get("Win", "Equals"), "a=b");
  EXPECT_EQ(Get("Win", "Last"), "end");
}

}  // namespace
}  // namespace platform
