// The mail sources' one trust rule, case by case, on the folders of a public folder root.
#include "platform/mail_sources.h"

#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/test_root.h"

namespace platform {
namespace {

constexpr uid_t kOwner = 65534;  // the machine root's owner and group
constexpr gid_t kGroup = 65534;
constexpr uint32_t kOther = 4242;  // an account and group of no standing

// Gives `path` an access list that lets kOther write, as far as `mask` allows: the entries
// owner, kOther, group, mask and others, each its tag, permissions and id (in halves).
bool GiveAccessList(const std::string& path, uint16_t mask) {
  const uint16_t entries[][4] = {{0x01, 7, 0xFFFF, 0xFFFF},
                                 {0x02, 7, kOther, 0},
                                 {0x04, 5, 0xFFFF, 0xFFFF},
                                 {0x10, mask, 0xFFFF, 0xFFFF},
                                 {0x20, 5, 0xFFFF, 0xFFFF}};
  std::string value("\2\0\0\0", 4);  // version 2
  value.append(reinterpret_cast<const char*>(entries), sizeof entries);
  return setxattr(path.c_str(), "system.posix_acl_access", value.data(), value.size(), 0) == 0;
}

TEST(MailSourcesTest, TrustRuleCaseByCase) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give folders to other accounts";
  testing::TestMachineRoot root("mail_sources_test");
  const std::string folders = root.Path("public");
  ASSERT_TRUE(std::filesystem::create_directory(folders));
  ASSERT_EQ(chown(root.path().c_str(), kOwner, kGroup), 0);
  const struct Case {
    const char* name;
    uid_t uid;
    gid_t gid;
    mode_t mode;
    int access_list_mask;  // -1: none
    const char* why;       // null: trusted
  } kCases[] = {
      {"Root", 0, 0, 0755, -1, nullptr},
      {"Owner", kOwner, kOther, 0755, -1, nullptr},  // a group that cannot write is no matter
      {"OwnersGroup", kOwner, kGroup, 02775, -1, nullptr},
      {"MaskedAccessList", 0, kGroup, 0755, 5, nullptr},
      {"OtherAccount", kOther, kGroup, 0755, -1, "belongs to another account"},
      {"Everyone", 0, 0, 0757, -1, "writable by everyone"},
      {"EveryoneSticky", kOwner, kGroup, 01777, -1, "writable by everyone"},
      {"OtherGroup", 0, kOther, 0775, -1, "writable by a group other than the machine root's"},
      {"AccessList", kOwner, kGroup, 0755, 7, "writable by the accounts of an access list"},
  };
  std::vector<std::string> trusted;
  for (const Case& c : kCases) {
    const std::string path = folders + "/." + c.name;
    ASSERT_TRUE(std::filesystem::create_directory(path));
    ASSERT_EQ(chown(path.c_str(), c.uid, c.gid), 0);
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    if (c.access_list_mask >= 0 && !GiveAccessList(path, static_cast<uint16_t>(c.access_list_mask)))
      GTEST_SKIP() << "the file system takes no access lists";
    if (c.why == nullptr) trusted.push_back(c.name);
  }
  std::sort(trusted.begin(), trusted.end());

  const MailSourceAccounts accounts = MachineRootAccounts();
  UniqueFd fd;
  std::string notes;
  const MailSourceNote note = [&](const std::string& text) { notes += text + "\n"; };
  ASSERT_EQ(OpenPublicFolderRoot(folders, accounts, note, &fd), 0u);
  std::vector<std::string> keys;
  ASSERT_EQ(ListFolderDirectories(fd.get(), folders, &accounts, note, &keys), 0u);
  EXPECT_EQ(keys, trusted);
  for (const Case& c : kCases) {
    if (c.why != nullptr) {
      EXPECT_NE(notes.find(folders + "/." + c.name + ": " + c.why + ", not used"), notes.npos)
          << notes;
    }
  }

  // Without a machine root to look at, only root's own files count.
  setenv("CORVANE_ROOT", root.Path("gone").c_str(), 1);
  const MailSourceAccounts none = MachineRootAccounts();
  struct stat info {};
  info.st_mode = S_IFDIR | 0755;
  EXPECT_EQ(WhyUntrusted(info, none, false), nullptr);
  info.st_uid = kOwner;
  EXPECT_STREQ(WhyUntrusted(info, none, false), "belongs to another account");
}

}  // namespace
}  // namespace platform
