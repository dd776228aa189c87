// The store provider over the Maildir++ public folder root and the passwd-file, the same on
// every system; the system's file holds the root (store_root.h).
//
// Thread safety: see store_provider.h. Objects share nothing but the hive.
#include "platform/store_provider.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "platform/mail_sources.h"
#include "platform/store_root.h"
#include "platform/unicode.h"

namespace platform {
namespace {

constexpr std::u16string_view kFolderContentClass = u"urn:content-classes:folder";

// A root scanned less than this part of a second (10 ms) after its last change may change
// again with the same time stamp; a whole second when the file system seems to keep no
// more.
constexpr int64_t kRacyPartsOfSecond = 100;

char16_t FoldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

bool EqualsFolded(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return FoldAscii(x) == FoldAscii(y); });
}

bool StartsFolded(std::u16string_view text, std::u16string_view prefix) {
  // Most URLs spell the prefix as it is written here: compared whole first.
  return text.starts_with(prefix) ||
         (text.size() >= prefix.size() && EqualsFolded(text.substr(0, prefix.size()), prefix));
}

// The names of a public folder URL below the root (none for the root itself); false when
// the URL is not a public folder URL. A name may not be empty or hold '.' or NUL.
bool ParseFolderUrl(std::u16string_view url, std::vector<std::string>* names) {
  names->clear();
  const std::u16string_view root = kPublicFolderRootUrl;
  if (!StartsFolded(url, root)) return false;
  std::u16string_view rest = url.substr(root.size());
  while (!rest.empty()) {
    if (rest.front() != u'/') return false;
    rest.remove_prefix(1);
    const size_t end = std::min(rest.find(u'/'), rest.size());
    const std::u16string_view name = rest.substr(0, end);
    if (name.empty() || name.find_first_of(std::u16string_view(u".\0", 2)) != name.npos) {
      return false;
    }
    names->push_back(Utf16ToUtf8(name));
    rest.remove_prefix(end);
  }
  return true;
}

// A folder's key in a connection's index: its names joined by NUL, which sorts below every
// byte a name may hold, so that a folder's subfolders follow it at once, in name order.
std::string IndexKey(const std::vector<std::string>& names) {
  std::string key;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i != 0) key.push_back('\0');
    key.append(names[i]);
  }
  return key;
}

struct Mailbox {
  std::u16string url;   // as the passwd-file spells it
  std::u16string name;  // the gecos field
};

// Finds the mailbox `url` in the passwd-file: kStoreEInvalidArg when `url` is no mailbox
// URL, kStoreEPathNotFound when no line names it.
uint32_t FindMailbox(const std::string& settings_key, std::u16string_view url, Mailbox* mailbox) {
  if (!StartsFolded(url, kMailboxUrlPrefix)) return kStoreEInvalidArg;
  const std::u16string_view rest = url.substr(kMailboxUrlPrefix.size());
  // The domain is never empty but may itself hold "/mbx/": look after its first unit.
  const size_t mbx = [&] {
    for (size_t i = 1; i + 5 <= rest.size(); ++i) {
      if (EqualsFolded(rest.substr(i, 5), u"/mbx/")) return i;
    }
    return rest.npos;
  }();
  if (mbx == rest.npos || mbx + 5 == rest.size()) return kStoreEInvalidArg;

  bool found = false;
  const uint32_t hr =
      ReadPasswdFile(PasswdFilePath(settings_key), {}, [&](const MailboxLine& line) {
        std::u16string line_url = MailboxUrl(line);
        if (!EqualsFolded(line_url, url)) return true;
        *mailbox = {std::move(line_url), Utf8ToUtf16(line.gecos)};
        found = true;
        return false;
      });
  if (hr != 0) return hr;
  return found ? 0 : kStoreEPathNotFound;
}

// The first line of a folder's address file, blanks trimmed.
std::u16string FirstLine(std::string_view text) {
  std::string_view line = text.substr(0, text.find('\n'));
  const char* blanks = " \t\r";
  line.remove_prefix(std::min(line.find_first_not_of(blanks), line.size()));
  line = line.substr(0, line.find_last_not_of(blanks) + 1);
  return Utf8ToUtf16(line);
}

// Runs `operation` of `object`; running out of memory closes the object and answers
// kStoreEOutOfMemory.
template <typename Object, typename Operation>
uint32_t Guarded(Object* object, Operation operation) {
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    object->Close();
    return kStoreEOutOfMemory;
  }
}

// The index of a root's folder directories: the IndexKey of each, sorted, as the root was
// at the stamps it was built at.
struct RootIndex {
  uint64_t volume = 0;
  uint64_t node = 0;
  int64_t modified = 0;
  int64_t changed = 0;
  std::vector<std::string> keys;

  // Whether the root is as it was at the build, which for another connection's root must
  // also be the same directory.
  bool Current(const store::RootStamp& stamp) const {
    return stamp.modified == modified && stamp.changed == changed;
  }
  bool Describes(const store::RootStamp& stamp) const {
    return Current(stamp) && stamp.volume == volume && stamp.node == node;
  }
};

// The last index built long enough after the root's last change that any later change
// shows in its stamps, for the next connection on that root: a walk opens a connection of
// its own, and listing the root is most of what it adds to its queries. A plain pointer to
// the holder, reset by ForgetSharedStoreIndex.
std::mutex g_shared_index_lock;
std::shared_ptr<const RootIndex>* g_shared_index = nullptr;

std::shared_ptr<const RootIndex> SharedIndex() {
  std::lock_guard<std::mutex> guard(g_shared_index_lock);
  return g_shared_index != nullptr ? *g_shared_index : nullptr;
}

void ShareIndex(std::shared_ptr<const RootIndex> index) {
  auto* holder = new (std::nothrow) std::shared_ptr<const RootIndex>(std::move(index));
  std::lock_guard<std::mutex> guard(g_shared_index_lock);
  delete std::exchange(g_shared_index, holder);
}

// One folder as a query or record opened it.
struct OpenedFolder {
  std::vector<std::string_view> children;  // in name order; the index's, valid until it changes
  std::string address;  // its address file's bytes, when asked (none when only implied)
};

class Connection final : public AdoConnection {
 public:
  explicit Connection(std::string_view settings_key) : settings_key_(settings_key) {}

  void SetProvider(std::u16string_view provider) override {
    if (State() == kAdStateOpen) throw ComError(kAdErrObjectOpen);
    if (!EqualsFolded(provider, kExOleDbProvider)) throw ComError(kAdErrProviderNotFound);
    provider_set_ = true;
  }

  uint32_t Open(std::u16string_view url, std::u16string_view user, std::u16string_view password,
                int32_t) override {
    return Guarded(this, [&] { return OpenStore(url, user, password); });
  }

  int32_t State() const override { return store_ == Store::kNone ? kAdStateClosed : kAdStateOpen; }

  void Close() override {
    store_ = Store::kNone;
    root_.reset();
    index_.reset();
    mailbox_url_.clear();
  }

  bool serves_public_folders() const { return store_ == Store::kPublicFolders; }
  const std::u16string& mailbox_url() const { return mailbox_url_; }
  const std::string& settings_key() const { return settings_key_; }

  // Opens the public folder `names` (empty: the root) for a query or a record; only a
  // record (`need_address`) needs the folder's directory open.
  uint32_t OpenFolder(const std::vector<std::string>& names, bool need_address,
                      OpenedFolder* folder) {
    if (const uint32_t hr = RefreshIndex(); hr != 0) return hr;
    const std::vector<std::string>& index = index_->keys;
    const std::string key = IndexKey(names);
    std::string prefix = key;
    auto at = index.begin();
    bool has_directory = false;
    if (!names.empty()) {
      prefix.push_back('\0');
      at = std::lower_bound(index.begin(), index.end(), key);
      has_directory = at != index.end() && *at == key;
      if (has_directory) ++at;
      if (!has_directory && (at == index.end() || !at->starts_with(prefix))) {
        return kStoreEPathNotFound;
      }
    }
    // Each subfolder is the first key of its own run; the rest of the run is its subtree.
    folder->children.clear();
    std::string next;
    while (at != index.end() && at->starts_with(prefix)) {
      const std::string_view rest = std::string_view(*at).substr(prefix.size());
      const std::string_view child = rest.substr(0, rest.find('\0'));
      folder->children.push_back(child);
      next.assign(prefix).append(child).push_back('\1');
      at = std::lower_bound(at, index.end(), next);
    }
    if (!has_directory) return 0;

    std::string entry = "." + key;
    std::replace(entry.begin(), entry.end(), '\0', '.');
    return root_->OpenFolder(std::move(entry), need_address ? &folder->address : nullptr);
  }

 private:
  enum class Store { kNone, kPublicFolders, kMailbox };

  uint32_t OpenStore(std::u16string_view url, std::u16string_view user,
                     std::u16string_view password) {
    if (State() == kAdStateOpen) return kAdErrObjectOpen;
    if (!provider_set_) return kAdErrProviderNotFound;
    if (!user.empty() || !password.empty()) return kStoreEInvalidArg;
    if (EqualsFolded(url, kPublicFolderRootUrl)) {
      std::unique_ptr<store::StoreRoot> root = store::MakeStoreRoot();
      if (const uint32_t hr = root->Open(PublicFolderRootPath(settings_key_)); hr != 0) return hr;
      root_ = std::move(root);
      store_ = Store::kPublicFolders;
      return 0;
    }
    Mailbox mailbox;
    const uint32_t hr = FindMailbox(settings_key_, url, &mailbox);
    if (hr != 0) return hr;
    mailbox_url_ = std::move(mailbox.url);
    store_ = Store::kMailbox;
    return 0;
  }

  // Builds the index again unless the root is as it was at the last build (this
  // connection's or the shared one).
  uint32_t RefreshIndex() {
    store::RootStamp stamp;
    if (const uint32_t hr = root_->Look(&stamp); hr != 0) return hr;
    if (index_ != nullptr && !racy_ && index_->Current(stamp)) return 0;

    index_.reset();
    if (std::shared_ptr<const RootIndex> shared = SharedIndex();
        shared != nullptr && shared->Describes(stamp)) {
      index_ = std::move(shared);
      racy_ = false;
      return 0;
    }
    auto built = std::make_shared<RootIndex>();
    if (const uint32_t hr = root_->List(&built->keys); hr != 0) return hr;
    built->volume = stamp.volume;
    built->node = stamp.node;
    built->modified = stamp.modified;
    built->changed = stamp.changed;
    const int64_t window = stamp.modified % stamp.per_second == 0
                               ? stamp.per_second
                               : stamp.per_second / kRacyPartsOfSecond;
    racy_ = stamp.modified + window >= stamp.now || stamp.changed + window >= stamp.now;
    index_ = std::move(built);
    if (!racy_) ShareIndex(index_);
    return 0;
  }

  const std::string settings_key_;
  bool provider_set_ = false;
  Store store_ = Store::kNone;
  std::unique_ptr<store::StoreRoot> root_;
  std::u16string mailbox_url_;
  // Null until the first query; shared with other connections when not racy.
  std::shared_ptr<const RootIndex> index_;
  bool racy_ = false;  // built so soon after a change that it is not to be trusted again
};

Connection* OpenConnection(AdoConnection* connection) {
  auto* ours = dynamic_cast<Connection*>(connection);
  return ours != nullptr && ours->State() == kAdStateOpen ? ours : nullptr;
}

class Recordset final : public AdoRecordset {
 public:
  void SetCursorLocation(int32_t location) override {
    if (open_) throw ComError(kAdErrObjectOpen);
    if (location != kAdUseServer && location != kAdUseClient) {
      throw ComError(kAdErrInvalidArgument);
    }
    location_ = location;
  }

  uint32_t Open(std::u16string_view source, AdoConnection* connection, int32_t, int32_t,
                int32_t) override {
    return Guarded(this, [&] { return OpenQuery(source, connection); });
  }

  uint32_t GetRows(int32_t count, Variant* rows) override {
    return Guarded(this, [&] { return Fetch(count, rows); });
  }

  int32_t State() const override { return open_ ? kAdStateOpen : kAdStateClosed; }

  void Close() override {
    open_ = false;
    rows_.clear();
    next_ = 0;
  }

 private:
  uint32_t OpenQuery(std::u16string_view source, AdoConnection* connection) {
    if (open_) return kAdErrObjectOpen;
    Connection* store = OpenConnection(connection);
    if (store == nullptr) return kAdErrInvalidConnection;
    if (source.size() < kFolderQueryPrefix.size() + kFolderQuerySuffix.size() ||
        !source.starts_with(kFolderQueryPrefix) || !source.ends_with(kFolderQuerySuffix)) {
      return kDbEErrorsInCommand;
    }
    const std::u16string_view url = source.substr(
        kFolderQueryPrefix.size(),
        source.size() - kFolderQueryPrefix.size() - kFolderQuerySuffix.size());
    std::vector<std::string> names;
    if (!ParseFolderUrl(url, &names) || !store->serves_public_folders()) return kStoreEInvalidArg;
    OpenedFolder folder;
    if (const uint32_t hr = store->OpenFolder(names, false, &folder); hr != 0) return hr;

    rows_.clear();
    rows_.reserve(3 * folder.children.size());
    // Each cell is made in its place: a Variant is large, and a walk fetches every row.
    const auto add = [this]() -> std::u16string& {
      Variant& cell = rows_.emplace_back();
      cell.type = Variant::Type::kString;
      return cell.text;
    };
    for (const std::string_view child : folder.children) {
      std::u16string name = Utf8ToUtf16(child);
      std::u16string child_url;
      child_url.reserve(url.size() + 1 + name.size());
      child_url.append(url).append(u"/").append(name);
      add() = kFolderContentClass;
      add() = std::move(name);
      add() = std::move(child_url);
    }
    next_ = 0;
    open_ = true;
    return 0;
  }

  uint32_t Fetch(int32_t count, Variant* rows) {
    if (!open_) return kAdErrObjectClosed;
    if (count == 0 || count < -1) return kAdErrInvalidArgument;
    const size_t total = rows_.size() / 3;
    if (next_ >= total) return kAdErrNoCurrentRecord;
    const size_t taken = count == -1 ? total - next_
                                     : std::min(total - next_, static_cast<size_t>(count));
    Variant array;
    array.type = Variant::Type::kArray;
    array.extents = {3, taken};
    // The rows are handed over, not copied: none of them is fetched again. All of them at
    // once (as a walk fetches them) take the whole vector, which leaves no row behind.
    if (next_ == 0 && taken == total) {
      array.items = std::move(rows_);
      rows_.clear();
    } else {
      array.items.assign(std::make_move_iterator(rows_.begin() + 3 * next_),
                         std::make_move_iterator(rows_.begin() + 3 * (next_ + taken)));
      next_ += taken;
    }
    *rows = std::move(array);
    return 0;
  }

  int32_t location_ = kAdUseServer;
  bool open_ = false;
  std::vector<Variant> rows_;  // content class, display name, URL of each row in turn
  size_t next_ = 0;            // the current row
};

class Record final : public AdoRecord {
 public:
  uint32_t Open(std::u16string_view url, AdoConnection* connection) override {
    return Guarded(this, [&] { return OpenItem(url, connection); });
  }

  int32_t State() const override { return open_ ? kAdStateOpen : kAdStateClosed; }

  uint32_t GetFields(AdoFields* fields) const override {
    if (!open_) return kAdErrObjectClosed;
    *fields = fields_;
    return 0;
  }

  void Close() override {
    open_ = false;
    fields_ = AdoFields();
  }

 private:
  uint32_t OpenItem(std::u16string_view url, AdoConnection* connection) {
    if (open_) return kAdErrObjectOpen;
    Connection* store = OpenConnection(connection);
    if (store == nullptr) return kAdErrInvalidConnection;
    AdoFields fields;
    if (store->serves_public_folders()) {
      std::vector<std::string> names;
      if (!ParseFolderUrl(url, &names)) return kStoreEInvalidArg;
      OpenedFolder folder;
      if (const uint32_t hr = store->OpenFolder(names, true, &folder); hr != 0) return hr;
      fields.Append(u"DAV:href", Variant::String(std::u16string(url)));
      fields.Append(u"DAV:displayname",
                    Variant::String(std::u16string(url.substr(url.rfind(u'/') + 1))));
      Variant folder_flag;
      folder_flag.type = Variant::Type::kBool;
      folder_flag.integer = 1;
      fields.Append(u"DAV:isfolder", std::move(folder_flag));
      const std::u16string address = FirstLine(folder.address);
      fields.Append(kPublicFolderEmailField,
                    address.empty() ? Variant() : Variant::String(address));
    } else {
      if (!EqualsFolded(url, store->mailbox_url())) return kStoreEInvalidArg;
      Mailbox mailbox;
      if (const uint32_t hr = FindMailbox(store->settings_key(), url, &mailbox); hr != 0) return hr;
      fields.Append(u"DAV:href", Variant::String(mailbox.url));
      fields.Append(u"DAV:displayname", Variant::String(mailbox.name));
      constexpr std::pair<const char16_t*, const char16_t*> kSpecialFolders[] = {
          {u"urn:schemas:httpmail:inbox", u"/Inbox"},
          {u"urn:schemas:httpmail:outbox", u"/Outbox"},
          {u"urn:schemas:httpmail:sentitems", u"/Sent Items"},
          {u"urn:schemas:httpmail:deleteditems", u"/Deleted Items"},
          {u"urn:schemas:httpmail:drafts", u"/Drafts"},
      };
      for (const auto& [field, folder] : kSpecialFolders) {
        fields.Append(field, Variant::String(mailbox.url + folder));
      }
    }
    fields_ = std::move(fields);
    open_ = true;
    return 0;
  }

  bool open_ = false;
  AdoFields fields_;
};

template <typename Interface, typename Implementation, typename... Args>
uint32_t Create(std::unique_ptr<Interface>* object, Args&&... args) {
  object->reset(new (std::nothrow) Implementation(std::forward<Args>(args)...));
  return *object != nullptr ? 0 : kStoreEOutOfMemory;
}

}  // namespace

uint32_t AdoFields::Item(std::u16string_view name, Variant* value) const {
  for (const auto& [field, field_value] : fields_) {
    if (EqualsFolded(field, name)) {
      *value = field_value;
      return 0;
    }
  }
  return kAdErrItemNotFound;
}

void ForgetSharedStoreIndex() {
  std::lock_guard<std::mutex> guard(g_shared_index_lock);
  delete std::exchange(g_shared_index, nullptr);
}

uint32_t CreateAdoConnection(std::string_view settings_key,
                             std::unique_ptr<AdoConnection>* connection) {
  return Create<AdoConnection, Connection>(connection, settings_key);
}
uint32_t CreateAdoRecordset(std::unique_ptr<AdoRecordset>* recordset) {
  return Create<AdoRecordset, Recordset>(recordset);
}
uint32_t CreateAdoRecord(std::unique_ptr<AdoRecord>* record) {
  return Create<AdoRecord, Record>(record);
}

}  // namespace platform
