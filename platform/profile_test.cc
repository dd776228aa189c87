// Tests of the private profile reader: lookups in one ini file in a temporary folder.
#include "platform/profile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/test_root.h"

namespace platform {
namespace {

TEST(ProfileTest, LooksUpValuesByTheIniRules) {
  const testing::TemporaryFolder folder("profile_test");
  const std::string file = folder.Path("test.ini");
  const char* path = file.c_str();
  std::ofstream(path, std::ios::binary)
      << "\xEF\xBB\xBF[ Web Server ]\r\n  DocRoot  =  /srv/www  \r\n\tPort\t=\t8080\t\r\n"
         ";Size=commented\r\n  ; Size=indented\r\nSize=33333\r\nSize=second\r\n"
         "Double=\"  spaced  \"\r\nSingle='s'\r\nMixed=\"mixed'\r\nLone=\"\r\n"
         "Empty=\r\nBare\r\nEquals=a=b\r\n; [Other]\r\nAfterComment=web server\r\n"
         "[web server]\r\nLate=in a later section of the same name\r\n"
         "[Other]\r\nName=x\r\nLast=end";  // no line end
  const struct {
    const char *section, *key, *expected;
    uint32_t size = 64;
  } cases[] = {
      {"web server", "DOCROOT", "/srv/www"},
      {" WEB SERVER ", "port", "8080"},
      {"Web", "Port", "dflt"},  // the name in brackets is compared whole
      {"Web Server", ";Size", "dflt"},
      {"Web Server", "Size", "33333"},  // the first key wins
      {"Web Server", "Size", "33333", 6},
      {"Web Server", "Size", "3333", 5},
      {"Web Server", "Size", "", 1},
      {"Web Server", "Double", "  spaced  "},
      {"Web Server", "Single", "s"},
      {"Web Server", "Mixed", "\"mixed'"},
      {"Web Server", "Lone", "\""},
      {"Web Server", "Empty", ""},
      {"Web Server", "Bare", ""},
      {"Web Server", "Equals", "a=b"},
      {"Web Server", "AfterComment", "web server"},
      {"Web Server", "Late", "dflt"},  // only the first section of a name is searched
      {"Other", "Last", "end"},
      {"Other", "Port", "dflt"},
      {"Absent", "Name", "df", 3},  // the default, without its trailing blanks, cut too
  };
  for (const auto& c : cases) {
    std::string buffer(c.size, 'X');
    EXPECT_EQ(GetPrivateProfileString(c.section, c.key, "dflt \t", buffer.data(), c.size, path),
              strlen(c.expected))
        << c.section << "/" << c.key << " in " << c.size;
    EXPECT_STREQ(buffer.c_str(), c.expected) << c.section << "/" << c.key << " in " << c.size;
  }
  char buffer[8];
  EXPECT_EQ(GetPrivateProfileString("Other", "Absent", nullptr, buffer, sizeof buffer, path), 0u);
  EXPECT_STREQ(buffer, "");
  std::remove(path);  // no file: the default
  EXPECT_EQ(GetPrivateProfileString("Other", "Name", "none ", buffer, sizeof buffer, path), 4u);
  EXPECT_STREQ(buffer, "none");
}

}  // namespace
}  // namespace platform
