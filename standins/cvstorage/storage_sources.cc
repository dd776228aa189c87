// The storage server's lists, made of what the mail source reader hands over.
//
// Thread safety: see storage_sources.h.
#include "standins/cvstorage/storage_sources.h"

#include <algorithm>

#include "platform/store_provider.h"
#include "platform/unicode.h"
#include "standins/service/log.h"

namespace cvstorage {
namespace {

void Note(const std::string& text) { service::Log("%s", text.c_str()); }

// Appends `text` as UTF-16 to `out`; most texts are ASCII, widened as they are.
void AppendWide(std::string_view text, std::u16string* out) {
  if (std::any_of(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; })) {
    out->append(platform::Utf8ToUtf16(text));
    return;
  }
  const size_t at = out->size();
  out->resize(at + text.size());
  std::copy(text.begin(), text.end(), out->begin() + static_cast<ptrdiff_t>(at));
}

// `text` as UTF-16 in place of what `out` held, its room reused.
void Widen(std::string_view text, std::u16string* out) {
  out->clear();
  AppendWide(text, out);
}

}  // namespace

void StorageList::Get(size_t index, std::u16string* name, std::u16string* url,
                      std::u16string* email) const {
  const std::string_view user = rows_.Field(index, 2);
  Widen(rows_.Field(index, 0), name);
  Widen(user, email);
  if (!mailbox_urls_) {
    Widen(rows_.Field(index, 1), url);
    return;
  }
  // The reader took only users of the form local@domain, with one '@'. As MailboxUrl
  // makes it, in the room of the last one.
  const size_t at = user.find('@');
  url->assign(platform::kMailboxUrlPrefix);
  AppendWide(user.substr(at + 1), url);
  url->append(u"/mbx/");
  AppendWide(user.substr(0, at), url);
}

StorageEntry StorageList::Entry(size_t index) const {
  StorageEntry entry;
  Get(index, &entry.name, &entry.url, &entry.email);
  return entry;
}

std::vector<StorageEntry> StorageList::Entries() const {
  std::vector<StorageEntry> entries(size());
  for (size_t i = 0; i < entries.size(); ++i) entries[i] = Entry(i);
  return entries;
}

StorageList ReadMailboxes(const std::string& passwd_file) {
  StorageList list;
  list.mailbox_urls_ = true;
  list.status = platform::ReadPasswdFile(passwd_file, Note, [&](const platform::MailboxLine& line) {
    list.rows_.Append(line.gecos, {}, line.user);
    return true;
  });
  list.rows_.ShrinkToFit();
  return list;
}

StorageList ReadPublicFolders(const std::string& root) {
  StorageList list;
  const platform::MailSourceAccounts accounts = platform::MachineRootAccounts();
  platform::MailSourceHandle root_fd;
  std::vector<std::string> keys;
  list.status = platform::OpenPublicFolderRoot(root, accounts, Note, &root_fd);
  if (list.status == 0)
    list.status = platform::ListFolderDirectories(root_fd.get(), root, &accounts, Note, &keys);
  if (list.status != 0) return list;

  // A child without its parent's folder still implies the parent, as a mail client shows it.
  // The keys are sorted, a folder's subfolders right after it: each key's parents that the
  // keys before it did not bring come just before it, in the same order.
  const std::string root_url = platform::Utf16ToUtf8(platform::kPublicFolderRootUrl);
  std::vector<std::string_view> path;  // the folders from the top down to the last one listed
  std::string url;
  for (const std::string& key : keys) {
    size_t depth = 0;
    for (size_t end = key.find('\0');; end = key.find('\0', end + 1), ++depth) {
      const std::string_view folder = std::string_view(key).substr(0, end);
      if (depth >= path.size() || path[depth] != folder) {
        path.resize(depth);
        path.push_back(folder);
        const size_t last = folder.rfind('\0');
        url.assign(root_url).append("/").append(folder);
        std::replace(url.begin() + static_cast<ptrdiff_t>(root_url.size()), url.end(), '\0', '/');
        list.rows_.Append(last == folder.npos ? folder : folder.substr(last + 1), url, {});
      }
      if (end == std::string::npos) break;
    }
  }
  return list;
}

}  // namespace cvstorage
