// Tests of the public folder tree walk and the store item routines against the store
// provider on a machine root of its own, and of the provider's query and properties.
#include "mailstore/folder_tree.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#else
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>
#include <thread>

#include "mailstore/mail_host.h"
#include "mailstore/test_storage_server.h"
#include "mailstore/test_wine.h"
#include "platform/store_provider.h"
#include "platform/unicode.h"

namespace mailstore {
namespace {

using platform::Variant;
using Seen = std::vector<std::u16string>;

const std::u16string kRoot = platform::kPublicFolderRootUrl;

// Lets everyone write the folder `path`, which the trust rule refuses (its other cases:
// mail_sources_test); `mode` is the POSIX mode that says so.
void LetEveryoneWrite(const std::string& path, [[maybe_unused]] int mode) {
#ifdef _WIN32
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"D:(A;;FA;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  std::wstring wide(path.begin(), path.end());
  EXPECT_EQ(SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, dacl, nullptr),
            0u);
  LocalFree(descriptor);
#else
  chmod(path.c_str(), static_cast<mode_t>(mode));
#endif
}

// A symbolic link at `link` to the folder `target`. Wine's CreateSymbolicLink makes none, so
// there the link is a Unix one, made by its Unix shell, which Wine shows as a reparse point.
void LinkFolder(const std::string& target, const std::string& link,
                [[maybe_unused]] const std::string& work) {
#ifdef _WIN32
  if (!testing::UnixPathOf(work).empty()) {
    EXPECT_EQ(testing::RunUnixCommand(work, "ln -s '" + testing::UnixPathOf(target) + "' '" +
                                                testing::UnixPathOf(link) + "'",
                                      nullptr),
              0);
    return;
  }
  std::wstring wide_link(link.begin(), link.end()), wide_target(target.begin(), target.end());
  EXPECT_TRUE(CreateSymbolicLinkW(wide_link.c_str(), wide_target.c_str(),
                                  SYMBOLIC_LINK_FLAG_DIRECTORY |
                                      SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE));
#else
  std::filesystem::create_directory_symlink(target, link);
#endif
}

// Walk context: the URLs reported (below the root), the call that answers stop, and the
// address each reported folder's record gave.
struct Walk {
  Seen urls;
  size_t stop_at = 0;
  std::vector<std::u16string> addresses;
};

uint32_t Report(const char16_t* name, const char16_t* url, void* connection, void* context) {
  auto* walk = static_cast<Walk*>(context);
  const std::u16string text = url;
  EXPECT_EQ(text.substr(text.rfind(u'/') + 1), name);
  walk->urls.push_back(text.substr(kRoot.size() + 1));
  std::u16string address;
  if (GetPublicFolderAddress(url, static_cast<platform::AdoConnection*>(connection), &address) !=
      kOk) {
    address = u"(failed)";
  }
  walk->addresses.push_back(address);
  return walk->urls.size() == walk->stop_at ? kAborted : kOk;
}

class FolderTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::RegistryKey key;
    platform::LocalMachine().CreateKey(
        "SYSTEM\\CurrentControlSet\\Services\\MSExchangeIS\\MAIL01\\"
        "Private-5d1c7a02-8b3e-4f61-a9d4-0c2e7b61f3a8",
        platform::kKeyAllAccess, &key);
  }
  std::string Public(const std::string& name = "") const {
    return machine_.root() + "/mail/public/" + name;
  }
  void Write(const std::string& path, const std::string& text) const {
    std::ofstream(path, std::ios::trunc) << text;
  }
  Seen RunWalk(uint32_t options, uint32_t expected, size_t stop_at = 0) {
    Walk walk{{}, stop_at, {}};
    EXPECT_EQ(EnumFoldersTree(&Report, options, &walk), expected);
    return walk.urls;
  }
  // The display names of one folder query, through `connection`.
  uint32_t Query(platform::AdoConnection* connection, const std::u16string& source, Seen* names) {
    std::unique_ptr<platform::AdoRecordset> set;
    EXPECT_EQ(platform::CreateAdoRecordset(&set), kOk);
    uint32_t hr = set->Open(source, connection, -1, -1, -1);
    Variant rows;
    if (hr == kOk) hr = set->GetRows(-1, &rows);
    names->clear();
    for (size_t row = 0; hr == kOk && row < rows.extents[1]; ++row) {
      EXPECT_EQ(rows.at(0, row).text, u"urn:content-classes:folder");
      names->push_back(rows.at(1, row).text);
    }
    return hr;
  }
  static std::u16string FolderQuery(const std::u16string& url) {
    return u"select \"DAV:contentclass\", \"DAV:displayname\", \"DAV:href\" from \"" + url +
           u"\" where \"DAV:isfolder\" = True";
  }
  std::unique_ptr<platform::AdoConnection> Connect(const std::u16string& url = kRoot) {
    std::unique_ptr<platform::AdoConnection> connection;
    EXPECT_EQ(platform::CreateAdoConnection(mailstore::kStorageSettingsKey, &connection), kOk);
    connection->SetProvider(u"exoledb.datasource");
    EXPECT_EQ(connection->Open(url, u"", u"", -1), kOk);
    return connection;
  }

  testing::TestStorageServer machine_;
};

TEST(FolderTreeWithoutStoreTest, NoInformationStoreWalksNothing) {
  testing::TestStorageServer machine;
  ForgetMailHostNames();  // a name found on another case's machine
  machine.AddFolders({".A"});
  Walk walk;
  EXPECT_EQ(EnumFoldersTree(&Report, 0, &walk), kOk);
  EXPECT_TRUE(walk.urls.empty());
  EXPECT_EQ(EnumFoldersTree(nullptr, 0, &walk), kInvalidArg);
}

// Windows names carry no quote, differ in more than case and are no raw bytes: Linux only.
#ifndef _WIN32
TEST_F(FolderTreeTest, WalksDepthFirstInNameOrderWithoutTheRoot) {
  machine_.AddFolders({".A", ".A.B", ".A-x", ".C", ".a", ".D.E", ".\xC3\x84rger",
                       ".A.B.\xE6\x97\xA5", ".E..F", ".G.", ".Q\"A", ".\xC3", ".B.\xFF"});
  Write(Public(".A/email-address"), "  a-team@example.test \nignored\n");
  // An address file of 4,096 bytes is read, a longer one is not (kMaxEmailAddressFileBytes).
  Write(Public(".C/email-address"), "c@example.test\n" + std::string(4096 - 15, '#'));
  Write(Public(".a/email-address"), "a@example.test\n" + std::string(4097 - 15, '#'));
  // An implied folder (D) is walked; names come in byte order of their UTF-8 text, each
  // folder's subtree right after it; a directory with an empty name in it is none, and so
  // is one whose name no URL can carry (not UTF-8). A quote is a name's like any other.
  EXPECT_EQ(RunWalk(0, kOk), (Seen{u"A", u"A/B", u"A/B/日", u"A-x", u"C", u"D", u"D/E", u"Q\"A",
                                   u"a", u"Ärger"}));
  Walk walk;
  EnumFoldersTree(&Report, 0, &walk);
  ASSERT_EQ(walk.addresses.size(), 10u);
  EXPECT_EQ(walk.addresses[0], u"a-team@example.test");
  EXPECT_EQ(walk.addresses[1], u"");
  EXPECT_EQ(walk.addresses[4], u"c@example.test");
  EXPECT_EQ(walk.addresses[8], u"");
  EXPECT_EQ(RunWalk(0, kAborted, 3), (Seen{u"A", u"A/B", u"A/B/日"}));
}
#endif

TEST_F(FolderTreeTest, RemoteFoldersAreSkippedUnlessAskedForAndNeverWalked) {
  machine_.AddFolders({".A", ".A.R", ".A.R.X", ".A.S"});
  Write(Public(".A.R/remote-server"), "MAIL02\n");
  machine_.Trace();
  EXPECT_EQ(RunWalk(0, kOk), (Seen{u"A", u"A/S"}));
  EXPECT_EQ(RunWalk(kReportRemoteFolders, kOk), (Seen{u"A", u"A/R", u"A/S"}));
  EXPECT_NE(machine_.trace_log().find("Public folder should be located on another server.\n"),
            std::string::npos);
}

TEST_F(FolderTreeTest, EmptyOrMissingRootEndsWithTheStoreStatus) {
  EXPECT_EQ(RunWalk(0, platform::kAdErrNoCurrentRecord), Seen{});
  std::filesystem::remove(Public());
  machine_.Trace();
  EXPECT_EQ(RunWalk(0, platform::kStoreEPathNotFound), Seen{});
  EXPECT_NE(machine_.trace_log().find("conn->raw_Open(" + platform::Utf16ToUtf8(kRoot) +
                                      ") Failed 0x80070003\n"),
            std::string::npos);
}

TEST_F(FolderTreeTest, FoldersNotServedAreNeitherReportedNorEntered) {
  machine_.AddFolders({".A", ".W", ".W.X"});
  std::filesystem::create_directory(machine_.root() + "/elsewhere");
  LinkFolder(machine_.root() + "/elsewhere", Public(".L"), machine_.root());
  Write(Public(".F"), "");
  LetEveryoneWrite(Public(".W"), 0777);
  EXPECT_EQ(RunWalk(0, kOk), (Seen{u"A"}));

  // A link or a file is no folder at all; a folder not trusted is refused.
  auto connection = Connect();
  Seen names;
  for (const char16_t* folder : {u"/L", u"/F", u"/nothing"})
    EXPECT_EQ(Query(connection.get(), FolderQuery(kRoot + folder), &names),
              platform::kStoreEPathNotFound);
  EXPECT_EQ(Query(connection.get(), FolderQuery(kRoot + u"/W"), &names),
            platform::kStoreEAccessDenied);
}

TEST_F(FolderTreeTest, QueriesSeeTheFileSystemAsItIsNow) {
  machine_.AddFolders({".A"});
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // past the same-tick window
  auto connection = Connect(u"FILE://./backofficestorage/LOCALHOST/Public Folders");
  Seen names;
  EXPECT_EQ(Query(connection.get(), FolderQuery(kRoot), &names), kOk);
  EXPECT_EQ(names, Seen{u"A"});
  machine_.AddFolders({".B"});
  std::filesystem::remove(Public(".A"));
  EXPECT_EQ(Query(connection.get(), FolderQuery(kRoot), &names), kOk);
  EXPECT_EQ(names, Seen{u"B"});
  LetEveryoneWrite(Public(".B"), 0757);  // changes no entry of the root
  EXPECT_EQ(Query(connection.get(), FolderQuery(kRoot + u"/B"), &names),
            platform::kStoreEAccessDenied);
}

TEST_F(FolderTreeTest, ProviderTakesOnlyTheFolderQueryAndItsOwnProperties) {
  machine_.AddFolders({".A", ".B", ".C"});
  auto connection = Connect();
  const std::u16string good = FolderQuery(kRoot);
  Seen names;
  for (const std::u16string& bad :
       {u"S" + good.substr(1), good.substr(0, good.size() - 4) + u"true", good + u" ",
        u" " + good, FolderQuery(kRoot + u"\" or \"x"), FolderQuery(kRoot + u"/A.B")}) {
    EXPECT_NE(Query(connection.get(), bad, &names), kOk) << platform::Utf16ToUtf8(bad);
  }
  EXPECT_EQ(Query(connection.get(), u"S" + good.substr(1), &names), platform::kDbEErrorsInCommand);

  std::unique_ptr<platform::AdoRecordset> set;
  platform::CreateAdoRecordset(&set);
  EXPECT_THROW(set->SetCursorLocation(1), platform::ComError);
  ASSERT_EQ(set->Open(good, connection.get(), -1, -1, -1), kOk);
  Variant rows;
  ASSERT_EQ(set->GetRows(2, &rows), kOk);
  EXPECT_EQ(rows.extents, (std::vector<size_t>{3, 2}));
  EXPECT_EQ(rows.at(2, 1).text, kRoot + u"/B");
  EXPECT_EQ(set->GetRows(-1, &rows), kOk);
  EXPECT_EQ(rows.extents[1], 1u);
  EXPECT_EQ(set->GetRows(-1, &rows), platform::kAdErrNoCurrentRecord);

  std::unique_ptr<platform::AdoConnection> other;
  platform::CreateAdoConnection(mailstore::kStorageSettingsKey, &other);
  try {
    other->SetProvider(u"MSDASQL");
    ADD_FAILURE() << "another provider was taken";
  } catch (const platform::ComError& error) {
    EXPECT_EQ(error.result(), platform::kAdErrProviderNotFound);
  }
  EXPECT_EQ(other->Open(kRoot, u"", u"", -1), platform::kAdErrProviderNotFound);
  other->SetProvider(platform::kExOleDbProvider);
  EXPECT_EQ(other->Open(u"file://./BackOfficeStorage/localhost/public", u"", u"", -1),
            platform::kStoreEInvalidArg);
  EXPECT_EQ(other->Open(kRoot, u"me", u"", -1), platform::kStoreEInvalidArg);
  EXPECT_EQ(set->Open(good, other.get(), -1, -1, -1), platform::kAdErrObjectOpen);
  set->Close();
  EXPECT_EQ(set->Open(good, other.get(), -1, -1, -1), platform::kAdErrInvalidConnection);
}

TEST_F(FolderTreeTest, FolderRecordsAndThePreloadedConnection) {
  machine_.AddFolders({".A", ".R"});
  Write(Public(".R/email-address"), "r@example.test");
  Write(Public(".R/remote-server"), "MAIL02");
  machine_.Trace();
  auto connection = Connect();
  std::u16string address = u"old";
  EXPECT_EQ(GetPublicFolderAddress((kRoot + u"/R").c_str(), connection.get(), &address),
            platform::kExEFolderOnOtherServer);
  EXPECT_EQ(address, u"");
  EXPECT_EQ(GetPublicFolderAddress(u"file://./backofficestorage/x.test/mbx/a", connection.get(),
                                   &address),
            platform::kStoreEInvalidArg);
  EXPECT_NE(machine_.trace_log().find("Rec->raw_Open() Failed : 0x80070057\n"), std::string::npos);

  // The preloaded connection is made once, whatever the number of calls.
  EXPECT_TRUE(PreloadE2KLibraries());
  EXPECT_TRUE(PreloadE2KLibraries());
  FreePreloadedE2KLibraries();
  FreePreloadedE2KLibraries();
  const std::string log = machine_.trace_log();
  const size_t loaded = log.find("MSADO15.DLL was loaded successfully\n");
  EXPECT_NE(loaded, std::string::npos);
  EXPECT_EQ(log.find("MSADO15.DLL was loaded successfully\n", loaded + 1), std::string::npos);
}

TEST_F(FolderTreeTest, MailboxSpecialFoldersComeFromThePasswdFile) {
  machine_.SetMailboxes("# mailboxes\nbo@x.test:x:1:1\nanna@Example.test:x:1000:1000:Anna Berg::\n"
                        "odd@/mbx/y:x:1:1:Odd\n");
  std::u16string folders[5];
  EXPECT_EQ(GetMailboxSpecialFolders(u"file://./BackOfficeStorage/example.TEST/MBX/anna",
                                     &folders[0], &folders[1], &folders[2], &folders[3],
                                     &folders[4]),
            kOk);
  const std::u16string mailbox = u"file://./backofficestorage/Example.test/mbx/anna";
  EXPECT_EQ(folders[0], mailbox + u"/Inbox");
  EXPECT_EQ(folders[2], mailbox + u"/Sent Items");
  EXPECT_EQ(folders[4], mailbox + u"/Drafts");
  // A line of four fields is no mailbox; neither is a user the file does not name.
  for (const char16_t* url : {u"file://./backofficestorage/x.test/mbx/bo",
                              u"file://./backofficestorage/example.test/mbx/anne"}) {
    EXPECT_EQ(GetMailboxSpecialFolders(url, &folders[0], &folders[1], &folders[2], &folders[3],
                                       &folders[4]),
              platform::kStoreEPathNotFound);
    EXPECT_EQ(folders[0] + folders[4], u"");
  }
  // Whatever the domain holds, the mailbox the storage server lists is found.
  EXPECT_EQ(GetMailboxSpecialFolders(u"file://./backofficestorage//mbx/y/mbx/odd", &folders[0],
                                     &folders[1], &folders[2], &folders[3], &folders[4]),
            kOk);
  EXPECT_EQ(folders[1], u"file://./backofficestorage//mbx/y/mbx/odd/Outbox");
}

}  // namespace
}  // namespace mailstore
