// The directory port: ADSI objects and searches over LDAP, whatever the client library.
//
// Every object is read whole when it is opened (one base search), or taken from the entries
// an enumeration's read-ahead fetched, so IADs::Get answers from its cache; a search returns
// its rows a page (paged results control) at a time, each page copied out of the library's
// messages as it arrives. Attribute kinds (string, DN, integer, octet string) come from the
// server's schema, read once per connection on first need. The library's own calls sit
// behind DirectoryLink (directory_connection.h), one file per library.
//
// Thread safety: the connection cache is guarded by its own mutex, each connection's calls
// into the library by the connection's; objects and search handles belong to one thread.
#include "platform/directory_client.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <unordered_map>

#include "platform/directory_connection.h"
#include "platform/errors.h"
#include "platform/unicode.h"

namespace platform {

using directory::AttributeType;
using directory::DefaultServer;
using directory::DirectoryLink;
using directory::Entry;
using directory::Lower;
using directory::Message;
using directory::StartsWithFolded;

namespace {

constexpr int64_t kSpinNanoseconds = 200000;  // polling for an answer before sleeping on it
constexpr int64_t kStopPollNanoseconds = 100000000;  // how often a sleeping wait asks to stop

std::atomic<uint64_t> g_operations{0};

std::string CanonicalDn(const std::string& text);

}  // namespace

std::string directory::Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return lower;
}

bool directory::StartsWithFolded(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && Lower(text.substr(0, prefix.size())) == prefix;
}

void directory::CountOperation() { g_operations.fetch_add(1, std::memory_order_relaxed); }

namespace {

// An attribute name in lower case; names are ASCII, anything else goes through UTF-8.
std::string LowerName(std::u16string_view name) {
  std::string lower(name.size(), '\0');
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (c >= 0x80) return Lower(Utf16ToUtf8(name));
    lower[i] = static_cast<char>(c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c);
  }
  return lower;
}

// The kinds of attribute values, from the syntax of the attribute type.
enum class Kind { kString, kDn, kInteger, kOctets };

Kind KindOfSyntax(std::string_view syntax) {
  static constexpr std::string_view kPrefix = "1.3.6.1.4.1.1466.115.121.1.";
  if (!syntax.starts_with(kPrefix)) return Kind::kString;
  const std::string_view number = syntax.substr(kPrefix.size());
  if (number == "12") return Kind::kDn;
  if (number == "27") return Kind::kInteger;
  // Octet string, binary, certificate and the other byte syntaxes.
  if (number == "40" || number == "5" || number == "8" || number == "9" || number == "10" ||
      number == "28" || number == "49") {
    return Kind::kOctets;
  }
  return Kind::kString;
}

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class ReadAhead;

}  // namespace

// What one enumeration has taken so far, and what ends it.
struct DirectoryEnumeration::Budget {
  DirectoryEnumeration::StopCheck stop = nullptr;
  void* context = nullptr;
  int64_t deadline = 0;
  uint32_t pages = 0;
  uint32_t entries = 0;
  uint64_t bytes = 0;
  uint32_t ended = 0;  // the result every later operation gets once a bound was reached
  std::unique_ptr<ReadAhead> read_ahead;  // the last read-ahead, while it is wanted

  ~Budget();

  bool Stopped() const { return stop != nullptr && stop(context); }

  // Before an operation (a page when `page`): 0, or what ends the enumeration.
  uint32_t Admit(bool page) {
    if (ended == 0) {
      if (Stopped()) {
        ended = kEDsAborted;
      } else if (Now() >= deadline) {
        ended = kEDsTimeLimitExceeded;
      } else if (page && pages >= kDirectoryMaxPages) {
        ended = kEDsSizeLimitExceeded;
      }
    }
    if (ended == 0 && page) ++pages;
    return ended;
  }

  // One entry of `size` bytes received: 0, or the size limit.
  uint32_t Take(uint64_t size) {
    if (ended == 0 && (entries >= kDirectoryMaxEntries || bytes + size > kDirectoryMaxBytes)) {
      ended = kEDsSizeLimitExceeded;
    }
    if (ended == 0) {
      ++entries;
      bytes += size;
    }
    return ended;
  }
};

namespace {

using Budget = DirectoryEnumeration::Budget;

// The budget of the enumeration open on this thread: the outermost scope's.
thread_local std::shared_ptr<Budget>* t_enumeration_owner = nullptr;

Budget* CurrentBudget() {
  return t_enumeration_owner != nullptr ? t_enumeration_owner->get() : nullptr;
}

std::shared_ptr<Budget> NewBudget(DirectoryEnumeration::StopCheck stop, void* context) {
  auto budget = std::make_shared<Budget>();
  budget->stop = stop;
  budget->context = context;
  budget->deadline = Now() + kDirectoryEnumerationSeconds * 1000000000LL;
  return budget;
}

// A search counts against the enumeration open on its thread, or alone against one of its
// own when none is.
std::shared_ptr<Budget> SharedBudget() {
  return t_enumeration_owner != nullptr ? *t_enumeration_owner : NewBudget(nullptr, nullptr);
}

// The kinds of the attributes that the server's attribute type definitions give other
// than strings, by lower-case name, following SUP for a type without a syntax.
std::unordered_map<std::string, Kind> KindsOfSchema(const std::vector<std::string>& definitions) {
  struct Type {
    std::string syntax;
    std::string sup;
  };
  std::unordered_map<std::string, Type> by_name;
  std::vector<std::string> names;
  for (const std::string& text : definitions) {
    AttributeType type;
    if (!directory::ParseAttributeType(text, &type)) continue;
    Type info{type.syntax, Lower(type.sup)};
    for (const std::string& name : type.names) {
      by_name[Lower(name)] = info;
      names.push_back(Lower(name));
    }
    if (!type.oid.empty()) by_name[type.oid] = info;
  }
  std::unordered_map<std::string, Kind> kinds;
  for (const std::string& name : names) {
    const Type* type = &by_name[name];
    for (int depth = 0; type->syntax.empty() && !type->sup.empty() && depth < 16; ++depth) {
      const auto sup = by_name.find(type->sup);
      if (sup == by_name.end()) break;
      type = &sup->second;
    }
    const Kind kind = KindOfSyntax(type->syntax);
    if (kind != Kind::kString) kinds[name] = kind;
  }
  return kinds;
}

// One connection to one server, shared by every object opened on it.
class Connection {
 public:
  explicit Connection(std::unique_ptr<DirectoryLink> link) : link_(std::move(link)) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool broken() const { return broken_.load(std::memory_order_relaxed); }

  // The server keeps the paged results state of one search per connection: a paged search
  // started on it makes the cookie of the one before invalid. `search` now holds that state
  // (`holding`), or has let it go.
  void HoldPaged(AdsSearch* search, bool holding) {
    std::lock_guard<std::mutex> guard(paged_lock_);
    if (holding) {
      paged_ = search;
      paged_thread_ = std::this_thread::get_id();
    } else if (paged_ == search) {
      paged_ = nullptr;
    }
  }

  // The search holding the paged state, when one of this thread does; `*elsewhere` when a
  // search of another thread does.
  AdsSearch* PagedHolder(bool* elsewhere) {
    std::lock_guard<std::mutex> guard(paged_lock_);
    *elsewhere = paged_ != nullptr && paged_thread_ != std::this_thread::get_id();
    return *elsewhere ? nullptr : paged_;
  }

  // One search, its entries copied into `entries` as they arrive. With `paged`, `cookie`
  // carries the paged results state in and out (empty out: no more pages). `budget`, when
  // given, is the enumeration's that this search counts against.
  uint32_t Search(const std::string& base, int scope, const std::string& filter,
                  const std::vector<std::string>* attributes, bool paged, std::string* cookie,
                  std::vector<Entry>* entries, Budget* budget) {
    int message_id = 0;
    const uint32_t hr = Send(base, scope, filter, attributes, paged, cookie, budget, &message_id);
    return hr != 0 ? hr : Receive(message_id, paged, cookie, entries, budget);
  }

  // The first half of Search: asks, and gives the id of the answer to come.
  uint32_t Send(const std::string& base, int scope, const std::string& filter,
                const std::vector<std::string>* attributes, bool paged, const std::string* cookie,
                Budget* budget, int* message_id, int page_size = kDirectoryPageSize) {
    if (budget != nullptr) {
      const uint32_t ended = budget->Admit(paged);
      if (ended != 0) return ended;
    }
    Calls calls(this);
    const uint32_t hr = link_->Search(base, scope, filter, attributes, paged ? cookie : nullptr,
                                      page_size, message_id);
    if (directory::BreaksConnection(hr)) broken_.store(true, std::memory_order_relaxed);
    return hr;
  }

  // The second half: reads the answer `message_id`, its entries copied into `entries` as
  // they arrive.
  uint32_t Receive(int message_id, bool paged, std::string* cookie, std::vector<Entry>* entries,
                   Budget* budget) {
    Calls calls(this);
    int64_t deadline = Now() + kDirectoryOperationSeconds * 1000000000LL;
    if (budget != nullptr) deadline = std::min(deadline, budget->deadline);
    const int64_t spin_until = Now() + kSpinNanoseconds;
    uint32_t held_entries = 0;
    uint64_t held_bytes = 0;
    for (;;) {
      Message message;
      const uint32_t waited =
          Await(message_id, deadline, spin_until, budget, paged ? cookie : nullptr, &message);
      if (waited != 0) return Abandon(message_id, waited);
      if (message.kind == Message::kResult) {
        if (directory::BreaksConnection(message.result)) {
          broken_.store(true, std::memory_order_relaxed);
        }
        return message.result;
      }
      const uint64_t size = message.entry.size;
      // References and other messages count as entries too: a server cannot send them
      // without end either.
      ++held_entries;
      held_bytes += size;
      if (held_entries > kDirectoryMaxAnswerEntries || held_bytes > kDirectoryMaxAnswerBytes) {
        if (budget != nullptr) budget->ended = kEDsSizeLimitExceeded;
        return Abandon(message_id, kEDsSizeLimitExceeded);
      }
      if (budget != nullptr && budget->Take(size) != 0) return Abandon(message_id, budget->ended);
      if (message.kind == Message::kEntry) entries->push_back(std::move(message.entry));
    }
  }

  // Gives up the answer `message_id`, which nobody will read.
  void Discard(int message_id) {
    Calls calls(this);
    Abandon(message_id, 0);
  }

  // The kind of `lower_name`'s values, from the server's schema (read once).
  Kind KindOf(const std::string& lower_name) {
    std::call_once(schema_once_, [this] { ReadSchema(); });
    const auto found = kinds_.find(lower_name);
    return found == kinds_.end() ? Kind::kString : found->second;
  }

 private:
  // The connection's lock, and the library's own setting up, around a run of its calls.
  class Calls {
   public:
    explicit Calls(Connection* connection) : connection_(connection), guard_(connection->lock_) {
      connection_->link_->Enter();
    }
    ~Calls() { connection_->link_->Leave(); }
    Calls(const Calls&) = delete;
    Calls& operator=(const Calls&) = delete;

   private:
    Connection* connection_;
    std::lock_guard<std::mutex> guard_;
  };

  // Gives up an answer: the server may go on sending it, so the connection is dropped too.
  uint32_t Abandon(int message_id, uint32_t hr) {
    link_->Abandon(message_id);
    broken_.store(true, std::memory_order_relaxed);
    return hr;
  }

  // Waits for the next message of `message_id` until `deadline`: 0 with `*message`, the
  // time limit, a stop, or a failure of the connection. A local server usually answers
  // within tens of microseconds, so the socket is polled without sleeping until
  // `spin_until` first: a thread put to sleep for each answer would wait longer for its
  // wake-up than for the server. A sleeping wait wakes now and then to ask the budget's
  // stop check.
  uint32_t Await(int message_id, int64_t deadline, int64_t spin_until, Budget* budget,
                 std::string* cookie, Message* message) {
    for (;;) {
      const int64_t now = Now();
      if (now >= deadline) {
        if (budget != nullptr && now >= budget->deadline) {
          budget->ended = kEDsTimeLimitExceeded;
          return kEDsTimeLimitExceeded;
        }
        return directory::kTimeoutResult;
      }
      int64_t wait = 0;
      if (now >= spin_until) {
        wait = std::min(deadline - now, budget != nullptr && budget->stop != nullptr
                                            ? kStopPollNanoseconds
                                            : deadline - now);
      }
      *message = Message();
      link_->Next(message_id, wait, cookie, message);
      if (message->kind == Message::kFailed) {
        broken_.store(true, std::memory_order_relaxed);
        return message->result;
      }
      if (message->kind != Message::kNone) return 0;
      if (wait > 0 && budget != nullptr && budget->Stopped()) {
        budget->ended = kEDsAborted;
        return kEDsAborted;
      }
    }
  }

  // Reads the attribute types of the server's schema: each name's syntax, following SUP.
  void ReadSchema() {
    std::vector<Entry> root;
    const std::vector<std::string> subschema = {"subschemaSubentry"};
    if (Search("", directory::kScopeBase, "(objectClass=*)", &subschema, false, nullptr, &root,
               CurrentBudget()) != 0 ||
        root.empty()) {
      return;
    }
    const std::vector<std::string>* where = root.front().Find("subschemaentry");
    if (where == nullptr) where = root.front().Find("subschemasubentry");
    if (where == nullptr || where->empty()) return;
    std::vector<Entry> schema;
    const std::vector<std::string> types = {"attributeTypes"};
    if (Search(where->front(), directory::kScopeBase, "(objectClass=subschema)", &types, false, nullptr,
               &schema, CurrentBudget()) != 0 ||
        schema.empty()) {
      return;
    }
    const std::vector<std::string>* definitions = schema.front().Find("attributetypes");
    if (definitions != nullptr) kinds_ = KindsOfSchema(*definitions);
  }

  std::unique_ptr<DirectoryLink> link_;
  std::mutex lock_;  // taken before the link's calls
  std::atomic<bool> broken_{false};
  std::once_flag schema_once_;
  std::unordered_map<std::string, Kind> kinds_;  // written once, under schema_once_
  std::mutex paged_lock_;
  AdsSearch* paged_ = nullptr;
  std::thread::id paged_thread_;
};

// One database's users read ahead, a page at a time: the page after the one read is asked
// for at once, so that the server prepares it while the walk opens the users of this one.
// Its entries are kept until an open takes them, up to the read-ahead bounds.
class ReadAhead {
 public:
  ReadAhead(std::shared_ptr<Connection> connection, std::string connection_key, std::string base,
            std::string filter, std::vector<std::string> names, const Budget& enumeration)
      : connection_(std::move(connection)), connection_key_(std::move(connection_key)),
        base_(std::move(base)), filter_(std::move(filter)),
        names_(std::make_shared<const std::vector<std::string>>(std::move(names))) {
    // Its own counts, so that a directory answering with more than is opened costs the
    // enumeration nothing; a stop or the enumeration's time still end it.
    own_.stop = enumeration.stop;
    own_.context = enumeration.context;
    own_.deadline = enumeration.deadline;
  }
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  // A page still coming is read to its end when nothing has gone wrong (the server then
  // has nothing left to send), else given up with the connection.
  ~ReadAhead() {
    if (in_flight_ == 0) return;
    if (own_.ended == 0) {
      std::vector<Entry> dropped;
      if (connection_->Receive(in_flight_, true, &cookie_, &dropped, &own_) == 0) return;
    }
    connection_->Discard(in_flight_);
  }

  // Asks for the first page.
  uint32_t Start(Budget* enumeration) { return Ask(enumeration); }

  const std::string& connection_key() const { return connection_key_; }
  const std::shared_ptr<const std::vector<std::string>>& names() const { return names_; }

  // Moves the entry of `dn` into `*entry`, reading the pages still to come until it is
  // there; false when it did not come. DNs are matched as the server matches them (slapd
  // writes the attribute types of its entries' DNs in lower case, back-links keep theirs).
  bool Take(const std::string& dn, Budget* enumeration, Entry* entry) {
    const std::string key = CanonicalDn(dn);
    for (;;) {
      const auto found = held_.find(key);
      if (found != held_.end()) {
        *entry = std::move(found->second);
        held_bytes_ -= entry->size;
        held_.erase(found);
        return true;
      }
      if (!NextPage(enumeration)) return false;
    }
  }

 private:
  uint32_t Ask(Budget* enumeration) {
    // Pages as large as one answer may be: under load every page waited for costs a
    // wake-up on both sides.
    const uint32_t hr =
        connection_->Send(base_, directory::kScopeSubtree, filter_, names_.get(), true, &cookie_, &own_,
                          &in_flight_, static_cast<int>(kDirectoryMaxAnswerEntries));
    if (hr != 0) {
      in_flight_ = 0;
      Ended(enumeration);
    }
    return hr;
  }

  // Reads the page asked for and asks for the next; false when none was coming.
  bool NextPage(Budget* enumeration) {
    if (in_flight_ == 0) return false;
    const int message_id = in_flight_;
    in_flight_ = 0;
    std::vector<Entry> page;
    const uint32_t hr = connection_->Receive(message_id, true, &cookie_, &page, &own_);
    bool full = false;
    for (Entry& entry : page) {
      if (held_.size() >= kDirectoryMaxReadAheadEntries ||
          held_bytes_ + entry.size > kDirectoryMaxReadAheadBytes) {
        full = true;  // the rest is read one open at a time
        break;
      }
      held_bytes_ += entry.size;
      std::string key = CanonicalDn(entry.dn);
      held_.emplace(std::move(key), std::move(entry));
    }
    // What came before a failure is kept.
    if (hr != 0) {
      Ended(enumeration);
    } else if (!full && !cookie_.empty()) {
      Ask(enumeration);
    }
    return true;
  }

  void Ended(Budget* enumeration) {
    if (own_.ended == kEDsAborted || own_.ended == kEDsTimeLimitExceeded) {
      enumeration->ended = own_.ended;
    }
  }

  std::shared_ptr<Connection> connection_;
  std::string connection_key_;  // the server and binding it reads with
  std::string base_;
  std::string filter_;
  std::shared_ptr<const std::vector<std::string>> names_;  // lower case
  Budget own_;
  std::string cookie_;
  int in_flight_ = 0;  // the page asked for and not read yet
  std::unordered_map<std::string, Entry> held_;  // by canonical DN
  uint64_t held_bytes_ = 0;
};

}  // namespace

DirectoryEnumeration::Budget::~Budget() = default;

namespace {

// The open connections by server and binding, as long as some object holds them.
std::mutex g_connections_lock;
std::map<std::string, std::weak_ptr<Connection>> g_connections;

}  // namespace

// The server of a serverless path: LDAPURI from the environment when set, else the
// library's default (see ConfiguredDirectoryServer).
std::string directory::DefaultServer() {
  const char* uri = getenv("LDAPURI");
  return uri != nullptr ? uri : "";
}

namespace {

std::string ConnectionKey(const std::string& server_uri, bool secure) {
  return server_uri + (secure ? "\n1" : "\n0");
}

uint32_t Connect(const std::string& server_uri, bool secure, std::shared_ptr<Connection>* out,
                 const std::string& key) {
  {
    std::lock_guard<std::mutex> guard(g_connections_lock);
    const auto found = g_connections.find(key);
    if (found != g_connections.end()) {
      std::shared_ptr<Connection> held = found->second.lock();
      if (held != nullptr && !held->broken()) {
        *out = std::move(held);
        return 0;
      }
      g_connections.erase(found);
    }
  }
  std::unique_ptr<DirectoryLink> link;
  const uint32_t hr = directory::OpenLink(server_uri, secure, &link);
  if (hr != 0) return hr;
  auto connection = std::make_shared<Connection>(std::move(link));
  std::lock_guard<std::mutex> guard(g_connections_lock);
  g_connections[key] = connection;
  *out = std::move(connection);
  return 0;
}

// An ADSI path taken apart: the server URI (always the configured one; empty for the
// library's default) and the DN ("" for the root DSE).
struct Path {
  std::string server;
  std::string dn;
  bool root_dse = false;
};

uint32_t ParsePath(const char16_t* path, Path* parsed) {
  if (path == nullptr) return kEAdsBadPathname;
  const std::string text = Utf16ToUtf8(path);
  static constexpr std::string_view kScheme = "ldap://";
  if (!StartsWithFolded(text, kScheme)) return kEAdsBadPathname;
  std::string_view rest = std::string_view(text).substr(kScheme.size());
  // A server part would end at the first '/' and hold no '='. None is taken: the process
  // reads only from the server it is configured with.
  const size_t slash = rest.find('/');
  const size_t equals = rest.find('=');
  if (slash != std::string_view::npos && (equals == std::string_view::npos || slash < equals) &&
      (slash == 0 || rest[slash - 1] != '\\')) {
    return kEAdsBadPathname;
  }
  parsed->server = DefaultServer();
  if (rest.size() == 7 && StartsWithFolded(rest, "rootdse")) {
    parsed->root_dse = true;
    parsed->dn.clear();
    return 0;
  }
  if (rest.empty()) return kEAdsBadPathname;
  // The DN itself is checked by the server: a bad one fails the open.
  std::string dn;
  if (rest.find('/') == std::string_view::npos) {
    dn = rest;
  } else {
    dn.reserve(rest.size());
    for (size_t i = 0; i < rest.size(); ++i) {
      if (rest[i] == '\\' && i + 1 < rest.size() && rest[i + 1] == '/') continue;
      dn.push_back(rest[i]);
    }
  }
  parsed->dn = std::move(dn);
  return 0;
}

// Drops parentheses that wrap exactly one parenthesised filter ("((a=b))" is "(a=b)"),
// which LDAP clients refuse.
std::string NormalizeFilter(std::string_view filter) {
  const size_t n = filter.size();
  std::vector<size_t> match(n, std::string::npos);
  std::vector<size_t> open;
  for (size_t i = 0; i < n; ++i) {
    if (filter[i] == '\\') {
      ++i;
    } else if (filter[i] == '(') {
      open.push_back(i);
    } else if (filter[i] == ')' && !open.empty()) {
      match[open.back()] = i;
      match[i] = open.back();
      open.pop_back();
    }
  }
  if (!open.empty()) return std::string(filter);  // unbalanced: the server's parser decides
  std::vector<bool> drop(n, false);
  for (size_t i = 0; i + 1 < n; ++i) {
    if (filter[i] == '(' && (i == 0 || filter[i - 1] != '\\') && filter[i + 1] == '(' &&
        match[i] != std::string::npos && match[i + 1] != std::string::npos &&
        match[i + 1] + 1 == match[i]) {
      drop[i] = drop[match[i]] = true;
    }
  }
  std::string normal;
  normal.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    if (!drop[i]) normal.push_back(filter[i]);
  }
  return normal;
}

// "name;range=low-high" or "name;range=low-*" taken apart.
struct AttributeName {
  std::string plain;
  bool ranged = false;
  size_t low = 0;
  size_t high = SIZE_MAX;
};

bool ParseAttributeName(std::string_view text, AttributeName* name) {
  const size_t semicolon = text.find(';');
  name->plain = Lower(text.substr(0, semicolon));
  if (name->plain.empty()) return false;
  if (semicolon == std::string_view::npos) return true;
  std::string_view option = text.substr(semicolon + 1);
  if (!StartsWithFolded(option, "range=")) return false;
  option.remove_prefix(6);
  const size_t dash = option.find('-');
  if (dash == std::string_view::npos || dash == 0) return false;
  const std::string low(option.substr(0, dash));
  const std::string high(option.substr(dash + 1));
  char* end = nullptr;
  name->low = strtoull(low.c_str(), &end, 10);
  if (*end != '\0') return false;
  if (high != "*") {
    name->high = strtoull(high.c_str(), &end, 10);
    if (high.empty() || *end != '\0' || name->high < name->low) return false;
  }
  name->ranged = true;
  return true;
}

// The values that `name` asks for of the attribute's `values`: all, or its range.
std::vector<std::string> Slice(const std::vector<std::string>& values, const AttributeName& name) {
  if (!name.ranged) return values;
  if (name.low >= values.size()) return {};
  const size_t end = name.high == SIZE_MAX ? values.size() : std::min(values.size(), name.high + 1);
  return std::vector<std::string>(values.begin() + static_cast<ptrdiff_t>(name.low),
                                  values.begin() + static_cast<ptrdiff_t>(end));
}

// A value as the port hands it out, by the attribute's kind.
Variant ValueOf(Kind kind, const std::string& raw) {
  switch (kind) {
    case Kind::kInteger: return Variant::Integer(strtoll(raw.c_str(), nullptr, 10));
    case Kind::kOctets: return Variant::Bytes(std::vector<uint8_t>(raw.begin(), raw.end()));
    default: return Variant::String(Utf8ToUtf16(raw));
  }
}

AdsValue ColumnValueOf(Kind kind, const std::string& raw) {
  AdsValue value;
  switch (kind) {
    case Kind::kInteger:
      value.type = kAdsTypeInteger;
      value.integer = strtoll(raw.c_str(), nullptr, 10);
      break;
    case Kind::kOctets:
      value.type = kAdsTypeOctetString;
      value.bytes.assign(raw.begin(), raw.end());
      break;
    case Kind::kDn:
      value.type = kAdsTypeDnString;
      value.text = Utf8ToUtf16(raw);
      break;
    default:
      value.type = kAdsTypeCaseIgnoreString;
      value.text = Utf8ToUtf16(raw);
      break;
  }
  return value;
}

}  // namespace

// A search under way: the rows of the current page and where the next page starts.
struct AdsSearch {
  std::string base;
  int scope = directory::kScopeSubtree;
  std::string filter;
  std::vector<std::string> attributes;  // plain names requested
  std::vector<Entry> rows;
  size_t next = 0;         // the row GetNextRow makes current
  bool has_row = false;
  std::string cookie;      // paged results state; empty after the last page
  uint32_t final_status = kSAdsNoMoreRows;
  // The enumeration this search counts against: the thread's, or one of its own.
  std::shared_ptr<DirectoryEnumeration::Budget> budget;
};

namespace {

class DirectoryObject final : public IADs, public IDirectorySearch {
 public:
  DirectoryObject(std::shared_ptr<Connection> connection, Path path)
      : connection_(std::move(connection)), path_(std::move(path)) {}
  ~DirectoryObject() override {
    for (AdsSearch* search : searches_) {
      connection_->HoldPaged(search, false);
      delete search;
    }
  }

  // Reads the object (all its attributes, or none when only its existence matters).
  uint32_t Load(bool attributes) {
    static const std::vector<std::string> kNone = {"1.1"};  // asks for no attribute
    std::vector<Entry> entries;
    const uint32_t hr = connection_->Search(path_.dn, directory::kScopeBase, "(objectClass=*)",
                                            attributes ? nullptr : &kNone, false, nullptr, &entries,
                                            CurrentBudget());
    if (hr == directory::kInvalidDnResult) return kEAdsBadPathname;
    if (hr != 0) return hr;
    if (entries.empty()) return kEDsNoSuchObject;
    entry_ = std::move(entries.front());
    if (entry_.dn.empty()) entry_.dn = path_.dn;
    ranged_.clear();
    partial_.reset();
    return 0;
  }

  // Takes an entry a read-ahead fetched with the attributes `names` in place of reading it.
  void Preload(Entry entry, std::shared_ptr<const std::vector<std::string>> names) {
    entry_ = std::move(entry);
    if (entry_.dn.empty()) entry_.dn = path_.dn;
    ranged_.clear();
    partial_ = std::move(names);
  }

  uint32_t Get(std::u16string_view name, Variant* value) override {
    if (value == nullptr) return kEInvalidArg;
    const std::string lower = LowerName(name);
    // An object answered from a read-ahead holds only what it asked for; any other name
    // reads the object whole, as an open would have.
    if (partial_ != nullptr && std::find(partial_->begin(), partial_->end(), lower) == partial_->end()) {
      const uint32_t hr = Load(true);
      if (hr != 0) return hr;
    }
    const std::vector<std::string>* values = entry_.Find(lower);
    if (values == nullptr) {
      if (lower == "distinguishedname" && !path_.root_dse) {
        *value = Variant::String(Utf8ToUtf16(entry_.dn));
        return 0;
      }
      return kEAdsPropertyNotFound;
    }
    const Kind kind = connection_->KindOf(lower);
    if (values->size() == 1 && ranged_.count(lower) == 0) {
      *value = ValueOf(kind, values->front());
      return 0;
    }
    std::vector<Variant> items;
    items.reserve(values->size());
    for (const std::string& raw : *values) items.push_back(ValueOf(kind, raw));
    *value = Variant::Array(std::move(items));
    return 0;
  }

  uint32_t GetInfoEx(const Variant& names, int32_t reserved) override {
    std::vector<AttributeName> wanted;
    auto add = [&wanted](const Variant& item) {
      AttributeName name;
      if (!item.is_string() || !ParseAttributeName(Utf16ToUtf8(item.text), &name)) return false;
      wanted.push_back(std::move(name));
      return true;
    };
    if (names.type == Variant::Type::kArray) {
      for (const Variant& item : names.items) {
        if (!add(item)) return kEInvalidArg;
      }
    } else if (!add(names)) {
      return kEInvalidArg;
    }
    if (wanted.empty()) return 0;
    // A range after the first of one attribute is cut from the values its first range read
    // (slapd does not range them): a walk through 50,000 values reads them once, not once
    // a range.
    const bool cached = wanted.size() == 1 && wanted.front().ranged && wanted.front().low > 0 &&
                        whole_.has_value() && whole_->first == wanted.front().plain;
    if (cached) {
      Store(whole_->first, Slice(whole_->second, wanted.front()), true);
      return 0;
    }
    std::vector<std::string> plain;
    for (const AttributeName& name : wanted) plain.push_back(name.plain);
    std::vector<Entry> entries;
    const uint32_t hr = connection_->Search(path_.dn, directory::kScopeBase, "(objectClass=*)", &plain,
                                            false, nullptr, &entries, CurrentBudget());
    if (hr != 0) return hr;
    if (entries.empty()) return kEDsNoSuchObject;
    Entry entry = std::move(entries.front());
    whole_.reset();
    if (wanted.size() == 1 && wanted.front().ranged) {
      const std::vector<std::string>* values = entry.Find(wanted.front().plain);
      whole_.emplace(wanted.front().plain, values != nullptr ? *values : std::vector<std::string>());
    }
    for (const AttributeName& name : wanted) {
      const std::vector<std::string>* fresh = entry.Find(name.plain);
      Store(name.plain, fresh != nullptr ? Slice(*fresh, name) : std::vector<std::string>(),
            name.ranged);
    }
    return 0;
  }

  uint32_t SetSearchPreference(AdsSearchPreference* preferences, uint32_t count) override {
    if (preferences == nullptr && count > 0) return kEInvalidArg;
    uint32_t result = 0;
    for (uint32_t i = 0; i < count; ++i) {
      AdsSearchPreference& preference = preferences[i];
      const bool scope = preference.preference == kAdsSearchPrefSearchScope &&
                         preference.type == kAdsTypeInteger && preference.integer >= 0 &&
                         preference.integer <= 2;
      preference.status = scope ? 0 : 1;
      if (scope) {
        scope_ = preference.integer == kAdsScopeBase       ? directory::kScopeBase
                 : preference.integer == kAdsScopeOneLevel ? directory::kScopeOneLevel
                                                           : directory::kScopeSubtree;
      } else {
        result = 0x00005011;  // S_ADS_ERRORSOCCURRED: some preferences were not taken
      }
    }
    return result;
  }

  uint32_t ExecuteSearch(const char16_t* filter, const char16_t* const* attributes,
                         uint32_t count, AdsSearchHandle* handle) override {
    if (handle == nullptr || (attributes == nullptr && count > 0 && count != UINT32_MAX)) {
      return kEInvalidArg;
    }
    auto search = std::make_unique<AdsSearch>();
    search->filter = NormalizeFilter(filter != nullptr && *filter != u'\0'
                                         ? Utf16ToUtf8(filter)
                                         : std::string("(objectClass=*)"));
    for (uint32_t i = 0; attributes != nullptr && i < count && count != UINT32_MAX; ++i) {
      AttributeName name;
      if (attributes[i] == nullptr || !ParseAttributeName(Utf16ToUtf8(attributes[i]), &name)) {
        return kEInvalidArg;
      }
      search->attributes.push_back(name.plain);
    }
    search->base = path_.dn;
    search->scope = scope_;
    search->budget = SharedBudget();
    const uint32_t hr = FetchPage(search.get());
    if (hr != 0) return hr;
    searches_.push_back(search.get());
    *handle = search.release();
    return 0;
  }

  uint32_t GetNextRow(AdsSearchHandle handle) override {
    AdsSearch* search = Find(handle);
    if (search == nullptr) return kEInvalidArg;
    if (search->has_row) ++search->next;
    search->has_row = false;
    // An enumeration that reached a bound or was stopped ends here, between rows as well as
    // between pages, so that the walk over these rows reports it.
    const uint32_t ended = search->budget->Admit(false);
    if (ended != 0) {
      search->rows.clear();
      search->cookie.clear();
      search->final_status = ended;
      return ended;
    }
    while (search->next >= search->rows.size()) {
      if (search->cookie.empty()) return search->final_status;
      search->rows.clear();
      search->next = 0;
      const uint32_t hr = FetchPage(search);
      if (hr != 0) {
        search->cookie.clear();
        search->final_status = hr;
        return hr;
      }
    }
    search->has_row = true;
    return 0;
  }

  uint32_t GetColumn(AdsSearchHandle handle, const char16_t* name,
                     AdsSearchColumn* column) override {
    AdsSearch* search = Find(handle);
    if (search == nullptr || name == nullptr || column == nullptr) return kEInvalidArg;
    if (!search->has_row) return kEFail;
    const Entry& row = search->rows[search->next];
    const std::string lower = LowerName(name);
    column->name = name;
    column->values.clear();
    const std::vector<std::string>* values = row.Find(lower);
    if (values == nullptr && lower == "distinguishedname") {
      column->type = kAdsTypeDnString;
      column->values.push_back(ColumnValueOf(Kind::kDn, row.dn));
      return 0;
    }
    if (values == nullptr || values->empty()) return kEAdsColumnNotSet;
    const Kind kind = connection_->KindOf(lower);
    for (const std::string& raw : *values) column->values.push_back(ColumnValueOf(kind, raw));
    column->type = column->values.front().type;
    return 0;
  }

  uint32_t FreeColumn(AdsSearchColumn* column) override {
    if (column == nullptr) return kEInvalidArg;
    column->name.clear();
    column->values.clear();
    column->type = 0;
    return 0;
  }

  uint32_t CloseSearchHandle(AdsSearchHandle handle) override {
    AdsSearch* search = Find(handle);
    if (search == nullptr) return kEInvalidArg;
    searches_.erase(std::find(searches_.begin(), searches_.end(), search));
    connection_->HoldPaged(search, false);
    delete search;
    return 0;
  }

 private:
  AdsSearch* Find(AdsSearchHandle handle) {
    const auto found = std::find(searches_.begin(), searches_.end(), handle);
    return found == searches_.end() ? nullptr : *found;
  }

  uint32_t FetchPage(AdsSearch* search) {
    const bool all = search->attributes.empty();
    // The DN comes with every entry; asking the server for it as an attribute is harmless.
    uint32_t hr = connection_->Search(search->base, search->scope, search->filter,
                                      all ? nullptr : &search->attributes, true, &search->cookie,
                                      &search->rows, search->budget.get());
    connection_->HoldPaged(search, hr == 0 && !search->cookie.empty());
    if (hr == directory::kSizeLimitResult) {
      // The rows that came are kept; the end of the search then says it was cut short.
      search->cookie.clear();
      search->final_status = hr;
      hr = 0;
    }
    return hr;
  }

  void Store(const std::string& name, std::vector<std::string> values, bool ranged) {
    auto& attributes = entry_.attributes;
    const auto found = std::find_if(attributes.begin(), attributes.end(),
                                    [&name](const auto& a) { return a.first == name; });
    if (values.empty()) {
      if (found != attributes.end()) attributes.erase(found);
      ranged_.erase(name);
      return;
    }
    if (found != attributes.end()) {
      found->second = std::move(values);
    } else {
      attributes.emplace_back(name, std::move(values));
    }
    if (ranged) {
      ranged_[name] = true;
    } else {
      ranged_.erase(name);
    }
  }

  std::shared_ptr<Connection> connection_;
  Path path_;
  Entry entry_;
  std::map<std::string, bool> ranged_;  // attributes last read as a range: always arrays
  // The names of a read-ahead's entry; null when the object was read whole.
  std::shared_ptr<const std::vector<std::string>> partial_;
  // The whole of the attribute whose first range was read last, for its later ranges.
  std::optional<std::pair<std::string, std::vector<std::string>>> whole_;
  int scope_ = directory::kScopeSubtree;
  std::vector<AdsSearch*> searches_;
};

uint32_t Open(const char16_t* path, const char16_t* user, const char16_t* password,
              uint32_t flags, bool attributes, std::unique_ptr<DirectoryObject>* object) {
  if ((user != nullptr && *user != u'\0') || (password != nullptr && *password != u'\0')) {
    return kEInvalidArg;
  }
  Path parsed;
  uint32_t hr = ParsePath(path, &parsed);
  if (hr != 0) return hr;
  const bool secure = (flags & kAdsSecureAuthentication) != 0;
  const std::string key = ConnectionKey(parsed.server, secure);
  std::shared_ptr<Connection> connection;
  hr = Connect(parsed.server, secure, &connection, key);
  if (hr != 0) return hr;
  Budget* budget = CurrentBudget();
  if (attributes && !parsed.root_dse && budget != nullptr && budget->read_ahead != nullptr &&
      budget->read_ahead->connection_key() == key) {
    // Counted as the read it stands for: the stop check and the enumeration's bounds.
    hr = budget->Admit(false);
    if (hr != 0) return hr;
    Entry entry;
    if (budget->read_ahead->Take(parsed.dn, budget, &entry)) {
      if (budget->Take(entry.size) != 0) return budget->ended;
      auto opened = std::make_unique<DirectoryObject>(std::move(connection), std::move(parsed));
      opened->Preload(std::move(entry), budget->read_ahead->names());
      *object = std::move(opened);
      return 0;
    }
  }
  auto opened = std::make_unique<DirectoryObject>(std::move(connection), std::move(parsed));
  hr = opened->Load(attributes);
  if (hr != 0) return hr;
  *object = std::move(opened);
  return 0;
}

// An object opened as `Interface`: read whole for IADs, only found for IDirectorySearch.
template <typename Interface>
uint32_t OpenAs(const char16_t* path, const char16_t* user, const char16_t* password,
                uint32_t flags, std::unique_ptr<Interface>* object) {
  if (object == nullptr) return kEInvalidArg;
  try {
    std::unique_ptr<DirectoryObject> opened;
    const uint32_t hr = Open(path, user, password, flags,
                             std::is_same_v<Interface, IADs>, &opened);
    if (hr == 0) *object = std::move(opened);
    return hr;
  } catch (const std::bad_alloc&) {
    return kEOutOfMemory;
  }
}

}  // namespace

uint32_t ADsOpenObject(const char16_t* path, const char16_t* user, const char16_t* password,
                       uint32_t flags, std::unique_ptr<IADs>* object) {
  return OpenAs(path, user, password, flags, object);
}

uint32_t ADsOpenObject(const char16_t* path, const char16_t* user, const char16_t* password,
                       uint32_t flags, std::unique_ptr<IDirectorySearch>* object) {
  return OpenAs(path, user, password, flags, object);
}

namespace {

// Reads the pages `search` has left into its rows, so that another paged search can go
// over its connection; false (and nothing read) when more than a read-ahead's worth of
// rows would be held first. A failure ends the search where that page would have.
bool ReadToEnd(Connection* connection, AdsSearch* search) {
  while (!search->cookie.empty()) {
    if (search->rows.size() - search->next >= kDirectoryMaxReadAheadEntries) return false;
    const size_t held = search->rows.size();
    const uint32_t hr = connection->Search(
        search->base, search->scope, search->filter,
        search->attributes.empty() ? nullptr : &search->attributes, true, &search->cookie,
        &search->rows, search->budget.get());
    if (hr != 0) {
      if (hr != directory::kSizeLimitResult) search->rows.resize(held);
      search->cookie.clear();
      search->final_status = hr;
    }
  }
  connection->HoldPaged(search, false);
  return true;
}

}  // namespace

uint32_t DirectoryReadAhead(uint32_t flags, std::u16string_view base, std::u16string_view filter,
                            const char16_t* const* attributes, uint32_t count) {
  Budget* budget = CurrentBudget();
  if (budget == nullptr || (attributes == nullptr && count > 0)) return kEInvalidArg;
  budget->read_ahead.reset();  // the last one's entries are not asked for any more
  if (budget->ended != 0) return budget->ended;
  try {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < count; ++i) {
      AttributeName name;
      if (attributes[i] == nullptr || !ParseAttributeName(Utf16ToUtf8(attributes[i]), &name) ||
          name.ranged) {
        return kEInvalidArg;
      }
      names.push_back(name.plain);
    }
    if (names.empty()) return kEInvalidArg;
    const std::string server = DefaultServer();
    const bool secure = (flags & kAdsSecureAuthentication) != 0;
    const std::string key = ConnectionKey(server, secure);
    std::shared_ptr<Connection> connection;
    const uint32_t hr = Connect(server, secure, &connection, key);
    if (hr != 0) return hr;
    bool elsewhere = false;
    AdsSearch* holder = connection->PagedHolder(&elsewhere);
    if (elsewhere || (holder != nullptr && !ReadToEnd(connection.get(), holder))) return 0;
    auto read_ahead = std::make_unique<ReadAhead>(
        std::move(connection), key, Utf16ToUtf8(base),
        NormalizeFilter(Utf16ToUtf8(filter)), std::move(names), *budget);
    budget->read_ahead = std::move(read_ahead);
    return budget->read_ahead->Start(budget);
  } catch (const std::bad_alloc&) {
    budget->read_ahead.reset();
    return kEOutOfMemory;
  }
}

uint32_t ADsBuildVarArrayStr(const char16_t* const* strings, uint32_t count, Variant* array) {
  if (array == nullptr || (strings == nullptr && count > 0)) return kEInvalidArg;
  std::vector<Variant> items;
  items.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    if (strings[i] == nullptr) return kEInvalidArg;
    items.push_back(Variant::String(strings[i]));
  }
  *array = Variant::Array(std::move(items));
  return 0;
}

std::u16string NormalizeDn(std::u16string_view dn) {
  return Utf8ToUtf16(CanonicalDn(Utf16ToUtf8(dn)));
}

namespace {

// The canonical text of a DN that needs no parsing: RDNs of one "type=value" each, of
// letters, digits, '-', '_', '.' and blanks inside a value, is its own in lower case. The
// DNs of most entries are; parsing them was most of the cost of a walk's lookups. False
// for any other text.
bool LowerPlainDn(std::string_view text, std::string* lower) {
  const size_t size = text.size();
  if (size == 0) return false;
  lower->resize(size);
  const char* from = text.data();
  char* to = lower->data();
  bool in_value = false;
  size_t start = 0;  // of the current type or value
  for (size_t i = 0; i < size; ++i) {
    char c = from[i];
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    } else if (c == '=') {
      if (in_value || i == start) return false;
      in_value = true;
      start = i + 1;
    } else if (c == ',') {
      if (!in_value || i == start || from[i - 1] == ' ') return false;
      in_value = false;
      start = i + 1;
    } else if (c == ' ') {
      if (!in_value || i == start) return false;
    } else if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                 c == '.')) {
      return false;
    }
    to[i] = c;
  }
  return in_value && start < size && from[size - 1] != ' ';
}

std::string CanonicalDn(const std::string& text) {
  std::string lower;
  if (LowerPlainDn(text, &lower)) return lower;
  std::string normal;
  return directory::ParseDn(text, &normal) ? normal : text;
}

}  // namespace

void directory::AppendCanonicalValue(std::string_view value, std::string* normal) {
  for (char c : Lower(value)) {
    if (strchr(",+\"\\<>;=#", c) != nullptr || static_cast<unsigned char>(c) < 0x20) {
      char hex[4];
      snprintf(hex, sizeof hex, "\\%02x", static_cast<unsigned char>(c));
      *normal += hex;
    } else {
      normal->push_back(c);
    }
  }
}

DirectoryEnumeration::DirectoryEnumeration(StopCheck stop, void* context) {
  if (t_enumeration_owner != nullptr) return;
  budget_ = NewBudget(stop, context);
  t_enumeration_owner = &budget_;
}

DirectoryEnumeration::~DirectoryEnumeration() {
  if (t_enumeration_owner == &budget_) t_enumeration_owner = nullptr;
}

std::u16string PathOfDn(std::u16string_view dn) {
  std::u16string path = u"LDAP://";
  path.reserve(path.size() + dn.size());
  for (char16_t c : dn) {
    if (c == u'/') path.push_back(u'\\');
    path.push_back(c);
  }
  return path;
}

uint32_t directory::ReadWholeAnswer(std::unique_ptr<DirectoryLink> link) {
  Connection connection(std::move(link));
  std::shared_ptr<Budget> budget = NewBudget(nullptr, nullptr);
  std::string cookie;
  std::vector<Entry> entries;
  const uint32_t hr = connection.Search("", directory::kScopeSubtree, "(objectClass=*)", nullptr,
                                        true, &cookie, &entries, budget.get());
  if (entries.size() > kDirectoryMaxAnswerEntries) abort();
  // Every value as each kind, every name as a ranged one, every DN as a DN, every value
  // as an attribute type definition.
  for (const Entry& entry : entries) {
    NormalizeDn(Utf8ToUtf16(entry.dn));
    for (const auto& [name, values] : entry.attributes) {
      AttributeName ranged;
      if (ParseAttributeName(name, &ranged)) Slice(values, ranged);
      for (const std::string& value : values) {
        for (Kind kind : {Kind::kString, Kind::kDn, Kind::kInteger, Kind::kOctets}) {
          ValueOf(kind, value);
          ColumnValueOf(kind, value);
        }
      }
      KindsOfSchema(values);
    }
  }
  return hr;
}

uint64_t DirectoryOperationCount() { return g_operations.load(std::memory_order_relaxed); }

}  // namespace platform