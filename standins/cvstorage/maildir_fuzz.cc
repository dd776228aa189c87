// libFuzzer target for the Maildir++ public folder root as the folder listing's two users
// read it: the storage server's list of public folders and the store provider's queries,
// walked from the root as the pages walk them. The input is up to kMaxEntries lines, each one entry of the
// root: a byte for its kind (its value modulo 4: a folder directory, one that everyone may
// write, a file, a symbolic link to the root) and the entry's name.
//
// Each list must name every folder once, parents before children, each row's URL being its
// parent's URL and its name; a directory everyone may write is listed by neither (the
// server names it only as the parent a listed folder implies, the provider refuses its
// query). Without such directories the two lists must be the same, in the same order.
//
// Thread safety: libFuzzer calls in from one thread; the public folder root is emptied
// and filled again for every input.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/store_provider.h"
#include "platform/unicode.h"
#include "platform/variant.h"
#include "standins/cvstorage/storage_fuzz_support.h"
#include "standins/cvstorage/storage_sources.h"

namespace {

using platform::AdoConnection;
using platform::Variant;

constexpr size_t kMaxEntries = 16;
enum Kind { kFolder, kOpenFolder, kFile, kLink };

using storage_fuzz::Check;

// The public folder root at its default place, made once.
int PublicRoot() {
  static const int fd = [] {
    const std::string path = storage_fuzz::MailFolder() + "/public";
    Check(mkdir(path.c_str(), 0755) == 0);
    const int made = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Check(made >= 0);
    return made;
  }();
  return fd;
}

struct Folder {
  std::u16string url;
  std::u16string name;
  bool operator==(const Folder&) const = default;
};

const std::u16string kRootUrl = platform::kPublicFolderRootUrl;

std::u16string Parent(const std::u16string& url) { return url.substr(0, url.rfind(u'/')); }

// The folder URL a directory of the root stands for; empty when its name is no folder's.
std::u16string FolderUrl(std::string_view name) {
  if (name.size() < 2 || name[0] != '.' || name[1] == '.' || name.back() == '.' ||
      name.find("..") != name.npos) {
    return {};
  }
  std::string path(name);
  std::replace(path.begin(), path.end(), '.', '/');
  return kRootUrl + platform::Utf8ToUtf16(path);
}

// Walks the folder `url` as the pages do: a folder is listed when its own query succeeds;
// refused ones are neither listed nor entered.
void Walk(AdoConnection* connection, const Folder& folder, std::vector<Folder>* walked) {
  std::unique_ptr<platform::AdoRecordset> set;
  Check(platform::CreateAdoRecordset(&set) == 0);
  std::u16string query(platform::kFolderQueryPrefix);
  query.append(folder.url).append(platform::kFolderQuerySuffix);
  const uint32_t hr = set->Open(query, connection, -1, -1, -1);
  if (hr == platform::kStoreEAccessDenied) return;
  Check(hr == 0);
  if (folder.url != kRootUrl) walked->push_back(folder);
  Variant rows;
  const uint32_t fetched = set->GetRows(-1, &rows);
  if (fetched == platform::kAdErrNoCurrentRecord) return;
  Check(fetched == 0 && rows.dimensions() == 2 && rows.extents[0] == 3);
  for (size_t row = 0; row < rows.extents[1]; ++row) {
    const Folder child{rows.at(2, row).text, rows.at(1, row).text};
    Check(rows.at(0, row).text == u"urn:content-classes:folder");
    Check(child.url == folder.url + u"/" + child.name);
    Walk(connection, child, walked);
  }
}

// What every list must be: each folder once, under a parent listed before it.
void CheckTree(const std::vector<Folder>& list) {
  std::set<std::u16string> seen;
  for (const Folder& folder : list) {
    Check(folder.url.size() > kRootUrl.size() && folder.url.starts_with(kRootUrl + u"/"));
    Check(folder.url.substr(folder.url.rfind(u'/') + 1) == folder.name && !folder.name.empty());
    const std::u16string parent = Parent(folder.url);
    Check(parent == kRootUrl || seen.count(parent) == 1);
    Check(seen.insert(folder.url).second);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int root = PublicRoot();
  std::string_view in(reinterpret_cast<const char*>(data), size);
  std::vector<std::pair<std::string, Kind>> made;
  std::set<std::u16string> open_folders;  // the URLs of directories everyone may write
  while (!in.empty() && made.size() < kMaxEntries) {
    const std::string_view line = in.substr(0, in.find('\n'));
    in.remove_prefix(std::min(line.size() + 1, in.size()));
    if (line.empty()) continue;
    const auto kind = static_cast<Kind>(static_cast<unsigned char>(line[0]) % 4);
    const std::string name(line.substr(1));
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string_view("/\0", 2)) != name.npos) {
      continue;
    }
    int made_it = -1;
    if (kind == kFolder || kind == kOpenFolder) {
      made_it = mkdirat(root, name.c_str(), 0755);
      if (made_it == 0 && kind == kOpenFolder) {
        Check(fchmodat(root, name.c_str(), 0757, 0) == 0);
        if (const std::u16string url = FolderUrl(name); !url.empty()) open_folders.insert(url);
      }
    } else if (kind == kFile) {
      const int fd = openat(root, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      made_it = fd >= 0 ? close(fd) : -1;
    } else {
      made_it = symlinkat(".", root, name.c_str());
    }
    if (made_it == 0) made.emplace_back(name, kind);
  }

  const cvstorage::StorageList server = cvstorage::ReadPublicFolders(storage_fuzz::MailFolder() + "/public");
  Check(server.status == 0);
  std::vector<Folder> listed;
  for (const cvstorage::StorageEntry& entry : server.Entries()) {
    Check(entry.email.empty());
    listed.push_back({entry.url, entry.name});
  }
  CheckTree(listed);

  std::unique_ptr<AdoConnection> connection;
  Check(platform::CreateAdoConnection(cvstorage::kStorageKey, &connection) == 0);
  connection->SetProvider(platform::kExOleDbProvider);
  Check(connection->Open(kRootUrl, u"", u"", -1) == 0);
  std::vector<Folder> walked;
  Walk(connection.get(), {kRootUrl, u""}, &walked);

  if (open_folders.empty()) {
    Check(listed == walked);
  } else {
    CheckTree(walked);
    for (const Folder& folder : walked) Check(open_folders.count(folder.url) == 0);
    for (const Folder& folder : listed) {
      if (open_folders.count(folder.url) == 0) continue;
      const std::u16string below = folder.url + u"/";
      Check(std::any_of(listed.begin(), listed.end(),
                        [&](const Folder& f) { return f.url.starts_with(below); }));
    }
  }

  for (auto it = made.rbegin(); it != made.rend(); ++it) {
    const bool folder = it->second == kFolder || it->second == kOpenFolder;
    Check(unlinkat(root, it->first.c_str(), folder ? AT_REMOVEDIR : 0) == 0);
  }
  return 0;
}
