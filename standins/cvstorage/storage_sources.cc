// The storage server's lists, made of what the mail source reader hands over.
//
// Thread safety: see storage_sources.h.
#include "standins/cvstorage/storage_sources.h"

#include <algorithm>
#include <set>

#include "platform/store_provider.h"
#include "platform/unicode.h"
#include "standins/service/log.h"

namespace cvstorage {
namespace {

void Note(const std::string& text) { service::Log("%s", text.c_str()); }

}  // namespace

StorageList ReadMailboxes(const std::string& passwd_file) {
  StorageList list;
  list.status = platform::ReadPasswdFile(passwd_file, Note, [&](const platform::MailboxLine& line) {
    list.entries.push_back({platform::Utf8ToUtf16(line.gecos), platform::MailboxUrl(line),
                            platform::Utf8ToUtf16(line.user)});
    return true;
  });
  return list;
}

StorageList ReadPublicFolders(const std::string& root) {
  StorageList list;
  const platform::MailSourceAccounts accounts = platform::MachineRootAccounts();
#ifdef _WIN32
  platform::FileHandle root_fd;
#else
  platform::UniqueFd root_fd;
#endif
  std::vector<std::string> keys;
  list.status = platform::OpenPublicFolderRoot(root, accounts, Note, &root_fd);
  if (list.status == 0)
    list.status = platform::ListFolderDirectories(root_fd.get(), root, &accounts, Note, &keys);
  if (list.status != 0) return list;

  // A child without its parent's folder still implies the parent, as a mail client shows it.
  std::set<std::string> folders;
  for (const std::string& key : keys) {
    for (size_t end = key.find('\0'); end != std::string::npos; end = key.find('\0', end + 1))
      folders.insert(key.substr(0, end));
    folders.insert(key);
  }
  for (std::string path : folders) {
    const std::string name = path.substr(path.rfind('\0') + 1);  // npos + 1: all of it
    std::replace(path.begin(), path.end(), '\0', '/');
    list.entries.push_back({platform::Utf8ToUtf16(name),
                            platform::kPublicFolderRootUrl + (u"/" + platform::Utf8ToUtf16(path)),
                            std::u16string()});
  }
  return list;
}

}  // namespace cvstorage
