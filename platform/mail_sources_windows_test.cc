// The mail sources' one trust rule on Windows, case by case, on the folders of a public
// folder root, each given its owner and access list.
#include "platform/mail_sources.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/system_info.h"
#include "platform/test_root.h"
#include "platform/unicode.h"

namespace platform {
namespace {

// This process's account, as SDDL writes it.
std::wstring OwnSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  alignas(TOKEN_USER) char buffer[256];
  DWORD size = 0;
  wchar_t* text = nullptr;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) {
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
  }
  CloseHandle(token);
  std::wstring sid = text != nullptr ? text : L"";
  LocalFree(text);
  return sid;
}

// Gives `path` the owner and access list of `sddl` ("O:...D:..."); the Windows error.
DWORD GiveDescriptor(const std::string& path, const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return ::GetLastError();
  }
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  std::u16string wide = Utf8ToUtf16(path);
  const DWORD error = SetNamedSecurityInfoW(
      reinterpret_cast<wchar_t*>(wide.data()), SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      owner, nullptr, dacl, nullptr);
  LocalFree(descriptor);
  return error;
}

TEST(MailSourcesTest, TrustRuleCaseByCase) {
  testing::TestMachineRoot root("mail_sources_test");
  const std::string folders = root.Path("public");
  ASSERT_TRUE(std::filesystem::create_directory(folders));
  const std::wstring me = OwnSid();
  ASSERT_FALSE(me.empty());
  const std::wstring mine = L"O:" + me + L"D:P(A;;FA;;;" + me + L")";
  ASSERT_EQ(GiveDescriptor(root.path(), mine), 0u);

  // Wine keeps a file's descriptor as its Unix mode bits: what they cannot say (another
  // owner, another account's entry, an entry for the contents only) is lost there.
  const struct Case {
    const char* name;
    const wchar_t* sddl;  // %ME% is this process's account
    const char* why;      // null: trusted
    bool held_by_wine;
  } kCases[] = {
      {"System", L"O:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)", nullptr, true},
      {"Owner", L"O:%ME%D:P(A;;FA;;;%ME%)(A;;FR;;;WD)", nullptr, true},
      {"ContentsOnly", L"O:%ME%D:P(A;;FA;;;%ME%)(A;OICIIO;FA;;;WD)", nullptr, false},
      {"Everyone", L"O:%ME%D:P(A;;FA;;;%ME%)(A;;FW;;;WD)", "writable by everyone", true},
      {"Users", L"O:%ME%D:P(A;;FA;;;%ME%)(A;;0x2;;;BU)", "writable by everyone", false},
      {"OtherAccount", L"O:S-1-5-21-9-9-9-4242D:P(A;;FA;;;SY)", "belongs to another account",
       false},
      {"AccessList", L"O:%ME%D:P(A;;FA;;;%ME%)(A;;0x40000;;;S-1-5-21-9-9-9-4242)",
       "writable by the accounts of an access list", false},
  };
  const bool wine = RunningUnderWine();
  std::vector<std::string> trusted;
  std::string left_out;
  for (const Case& c : kCases) {
    if (wine && !c.held_by_wine) {
      left_out += std::string(" ") + c.name;
      continue;
    }
    const std::string path = folders + "\\." + c.name;
    ASSERT_TRUE(std::filesystem::create_directory(path));
    std::wstring sddl = c.sddl;
    for (size_t at; (at = sddl.find(L"%ME%")) != sddl.npos;) sddl.replace(at, 4, me);
    const DWORD error = GiveDescriptor(path, sddl);
    if (error == ERROR_INVALID_OWNER || error == ERROR_PRIVILEGE_NOT_HELD) {
      GTEST_SKIP() << "needs the restore privilege to give folders to other accounts";
    }
    ASSERT_EQ(error, 0u) << c.name;
    if (c.why == nullptr) trusted.push_back(c.name);
  }
  std::sort(trusted.begin(), trusted.end());

  const MailSourceAccounts accounts = MachineRootAccounts();
  FileHandle handle;
  std::string notes;
  const MailSourceNote note = [&](const std::string& text) { notes += text + "\n"; };
  ASSERT_EQ(OpenPublicFolderRoot(folders, accounts, note, &handle), 0u) << notes;
  std::vector<std::string> keys;
  ASSERT_EQ(ListFolderDirectories(handle.get(), folders, &accounts, note, &keys), 0u);
  EXPECT_EQ(keys, trusted);
  for (const Case& c : kCases) {
    if (c.why != nullptr && (!wine || c.held_by_wine)) {
      EXPECT_NE(notes.find(folders + "\\." + c.name + ": " + c.why + ", not used"), notes.npos)
          << notes;
    }
  }

  // A passwd-file everyone may write is not read.
  const std::string passwd = root.Path("passwd");
  std::ofstream(passwd) << "user@example.test:x:1:1:User::\n";
  ASSERT_EQ(GiveDescriptor(passwd, L"O:" + me + L"D:P(A;;FA;;;" + me + L")(A;;FW;;;WD)"), 0u);
  int lines = 0;
  notes.clear();
  EXPECT_EQ(ReadPasswdFile(passwd, note, [&](const MailboxLine&) { return ++lines, true; }),
            kEAccessDenied);
  EXPECT_EQ(lines, 0);
  EXPECT_NE(notes.find("writable by everyone, not used"), notes.npos) << notes;

  // Without a machine root to look at, only the system's own files count.
  testing::SetEnvironment("CORVANE_ROOT", root.Path("gone").c_str());
  const MailSourceAccounts none = MachineRootAccounts();
  EXPECT_TRUE(none.owner.empty());
  EXPECT_STREQ(WhyUntrusted(handle.get(), none), "belongs to another account");

  if (wine) GTEST_SKIP() << "checked only what Unix mode bits hold; left out:" << left_out;
}

}  // namespace
}  // namespace platform
