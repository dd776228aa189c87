// libFuzzer target for the passwd-file reader as its two users read the file: the storage
// server's list of mailboxes and the store provider's look-up of one mailbox. The input is the file. Every
// line that is neither blank nor a comment must give a mailbox or a note on standard error;
// the first mailboxes listed must be found by the provider under their URL, with the gecos
// field of the first line naming that URL (URLs compare without regard to ASCII case), and a
// URL that no line names must not be found.
//
// Thread safety: libFuzzer calls in from one thread; the one file is written over for
// every input.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>

#include "platform/store_provider.h"
#include "platform/variant.h"
#include "standins/cvstorage/storage_fuzz_support.h"
#include "standins/cvstorage/storage_sources.h"

namespace {

using cvstorage::StorageEntry;

// Mailboxes looked up per input: each look-up reads the file again.
constexpr size_t kLookedUp = 2;

using storage_fuzz::Check;

// The passwd-file at its default place, open to be written over.
int PasswdFile() {
  static const int fd = [] {
    const int made = open((storage_fuzz::MailFolder() + "/passwd").c_str(),
                          O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    Check(made >= 0);
    return made;
  }();
  return fd;
}

char16_t Fold(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

bool SameUrl(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return Fold(x) == Fold(y); });
}

// The provider's record of mailbox `url`: its result, and its display name when found.
uint32_t LookUp(const std::u16string& url, std::u16string* name) {
  std::unique_ptr<platform::AdoConnection> connection;
  std::unique_ptr<platform::AdoRecord> record;
  Check(platform::CreateAdoConnection(cvstorage::kStorageKey, &connection) == 0 &&
        platform::CreateAdoRecord(&record) == 0);
  connection->SetProvider(platform::kExOleDbProvider);
  const uint32_t hr = connection->Open(url, u"", u"", -1);
  if (hr != 0) return hr;
  Check(record->Open(url, connection.get()) == 0);
  platform::AdoFields fields;
  platform::Variant href, display_name;
  Check(record->GetFields(&fields) == 0 && fields.Item(u"DAV:href", &href) == 0 &&
        fields.Item(u"DAV:displayname", &display_name) == 0);
  Check(SameUrl(href.text, url));
  *name = display_name.text;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = PasswdFile();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // Written over and then cut, never cut to nothing first: ext4 writes a file cut to
  // nothing out to disk when it is next closed, which would slow every run a hundredfold.
  Check(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
  Check(ftruncate(fd, static_cast<off_t>(size)) == 0);

  storage_fuzz::notes = 0;
  const cvstorage::StorageList read =
      cvstorage::ReadMailboxes(storage_fuzz::MailFolder() + "/passwd");
  Check(read.status == 0);
  const std::vector<StorageEntry> entries = read.Entries();
  size_t lines = 0;
  for (size_t start = 0; start <= text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty() && line.front() != '#') ++lines;
    start = end + 1;
  }
  Check(entries.size() + storage_fuzz::notes == lines);

  for (size_t i = 0; i < std::min(entries.size(), kLookedUp); ++i) {
    const StorageEntry& entry = entries[i];
    const auto first = std::find_if(entries.begin(), entries.end(),
                                    [&](const StorageEntry& e) { return SameUrl(e.url, entry.url); });
    std::u16string name;
    Check(LookUp(entry.url, &name) == 0);
    Check(name == first->name);

    // A mailbox URL one unit longer names a line only if the list has it.
    const std::u16string longer = entry.url + u"x";
    const bool listed = std::any_of(entries.begin(), entries.end(),
                                    [&](const StorageEntry& e) { return SameUrl(e.url, longer); });
    Check(LookUp(longer, &name) == (listed ? 0 : platform::kStoreEPathNotFound));
  }
  return 0;
}
