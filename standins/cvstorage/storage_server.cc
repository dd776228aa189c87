// The storage classes' objects: the connect message, then calls of the interface's slots,
// each answered with a result, a number and a text. Every message has a fixed size, so it
// is measured before it has arrived; what a call may hold is its longest reply.
//
// Thread safety: see storage_server.h.
#include "standins/cvstorage/storage_server.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "platform/local_server.h"
#include "standins/service/log.h"

namespace cvstorage {
namespace {

using Clock = std::chrono::steady_clock;

// Results of the interface methods.
constexpr uint32_t kNoMoreItems = 0x80070103;  // the system error 259 in result form
constexpr int32_t kRefreshAll = -1;

// The interface table's slots.
constexpr uint32_t kRefreshSlot = 7;
constexpr uint32_t kMoveFirstSlot = 8;
constexpr uint32_t kMoveNextSlot = 9;
constexpr uint32_t kIsReadySlot = 10;
// Beyond both interface tables: items read ahead, a page at a time (platform/local_server.h).
constexpr uint32_t kReadPageSlot = 32;

constexpr size_t kLongestReply =
    platform::kReplyHeaderSize + 2 * size_t{platform::kMaxLocalServerText};

enum ListKind { kMailboxes = 0, kPublicFolders = 1 };

struct ServedClass {
  const char* class_id;
  const char* interface_id;
  ListKind kind;
  uint32_t name_slot;  // then the URL and the e-mail getters
};

constexpr ServedClass kClasses[] = {
    {kMailboxClass, kMailboxInterface, kMailboxes, 12},
    {kPublicFolderClass, kPublicFolderInterface, kPublicFolders, 11},
};

void PutU32(std::string* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

uint32_t GetU32(const char* in) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t{static_cast<unsigned char>(in[i])} << (8 * i);
  return value;
}

// The result of a connect message: 0 with `served` set when the class is served with that
// interface.
uint32_t Answer(std::string_view message, const ServedClass** served) {
  if (!message.starts_with(platform::kLocalServerMagic)) return platform::kEInvalidArg;
  message.remove_prefix(platform::kLocalServerMagic.size());
  const std::string class_id =
      platform::NormalizeGuid(message.substr(0, platform::kGuidTextLength));
  const std::string interface_id =
      platform::NormalizeGuid(message.substr(platform::kGuidTextLength));
  for (const ServedClass& candidate : kClasses) {
    if (class_id != candidate.class_id) continue;
    if (interface_id != candidate.interface_id) return platform::kENoInterface;
    *served = &candidate;
    return platform::kSOk;
  }
  return platform::kClassEClassNotAvailable;
}

}  // namespace

namespace {

// One list with its share of the memory budget, given back when its last holder lets go.
struct ChargedList {
  explicit ChargedList(service::MemoryBudget* budget) : budget(budget) {}
  ~ChargedList() {
    if (budget != nullptr) budget->Give(charged);
  }
  service::MemoryBudget* const budget;
  size_t charged = 0;
  StorageList list;
};

}  // namespace

// A refresh reads the list of its object's class only; the other list is shared with the
// snapshot before.
struct StorageServer::Snapshot {
  std::shared_ptr<const ChargedList> lists[2];
};

namespace {

// One instance of a class: which list it walks and where it stands. `position` is -1 before
// the first MoveFirst (and after a Refresh), the list's size once past its end.
struct Object {
  const ServedClass* served = nullptr;
  std::shared_ptr<const StorageServer::Snapshot> walk;
  ptrdiff_t position = -1;

  const StorageList& list() const { return walk->lists[served->kind]->list; }
  bool has_current() const {
    return walk != nullptr && position >= 0 && static_cast<size_t>(position) < list().size();
  }
};

struct Reply {
  uint32_t result = platform::kSOk;
  int32_t number = 0;
  std::u16string text;
};

class StorageSession : public service::Session {
 public:
  explicit StorageSession(StorageServer* server) : server_(server) {}

  Measure MeasureNext(std::string_view, size_t* size, size_t* cost) override {
    *size = object_.served == nullptr ? platform::kConnectMessageSize : platform::kCallMessageSize;
    *cost = kLongestReply;
    return Measure::kKnown;
  }

  bool Handle(std::string_view message, std::string* out) override {
    if (object_.served == nullptr) {
      const uint32_t result = Answer(message, &object_.served);
      PutU32(out, result);
      return result == platform::kSOk;
    }
    Reply reply = Call(GetU32(message.data()), static_cast<int32_t>(GetU32(message.data() + 4)));
    // Never more than the client takes, and never half a surrogate pair.
    if (reply.text.size() > platform::kMaxLocalServerText) {
      size_t keep = platform::kMaxLocalServerText;
      if (reply.text[keep - 1] >= 0xD800 && reply.text[keep - 1] < 0xDC00) --keep;
      reply.text.resize(keep);
    }
    PutU32(out, reply.result);
    PutU32(out, static_cast<uint32_t>(reply.number));
    PutU32(out, static_cast<uint32_t>(reply.text.size()));
    // A page is a hundred kilobytes: written in place, not a byte at a time.
    const size_t at = out->size();
    out->resize(at + 2 * reply.text.size());
    char* bytes = out->data() + at;
    for (char16_t unit : reply.text) {
      *bytes++ = static_cast<char>(unit & 0xFF);
      *bytes++ = static_cast<char>(unit >> 8);
    }
    return true;
  }

 private:
  Reply Call(uint32_t slot, int32_t argument);

  StorageServer* const server_;
  Object object_;
  StorageEntry item_;  // the current item's texts, their room kept between calls
};

Reply StorageSession::Call(uint32_t slot, int32_t argument) {
  Reply reply;
  Object* object = &object_;
  const uint32_t name_slot = object->served->name_slot;
  switch (slot) {
    case kRefreshSlot:
      if (argument != kRefreshAll) {
        reply.result = platform::kEInvalidArg;
        break;
      }
      object->walk.reset();  // before the reading, so that its budget is free for the new lists
      object->position = -1;
      reply.result = server_->Refresh(object->served->kind == kPublicFolders);
      break;
    case kMoveFirstSlot:
      object->walk = server_->Current();
      object->position = -1;
      if (object->list().status != 0) {
        reply.result = object->list().status;
        object->walk.reset();
        break;
      }
      object->position = 0;
      reply.result = object->list().size() == 0 ? kNoMoreItems : platform::kSOk;
      break;
    case kMoveNextSlot:
      if (object->walk == nullptr || object->position < 0) {
        reply.result = platform::kEUnexpected;
        break;
      }
      if (object->has_current()) ++object->position;
      reply.result = object->has_current() ? platform::kSOk : kNoMoreItems;
      break;
    case kIsReadySlot:
      reply.number = server_->ready() ? 1 : 0;
      break;
    case kReadPageSlot: {
      // The getters and MoveNext item by item, as long as the items fit: an item too large
      // for an empty page is left for the client to read by those calls.
      const uint32_t most = std::min<uint32_t>(static_cast<uint32_t>(std::max(argument, 0)),
                                               platform::kMaxPageItems);
      reply.result = platform::kEUnexpected;
      const std::u16string* const fields[] = {&item_.name, &item_.url, &item_.email};
      while (object->has_current() && static_cast<uint32_t>(reply.number) < most) {
        object->list().Get(static_cast<size_t>(object->position), &item_.name, &item_.url,
                           &item_.email);
        if (!platform::AppendPageItem(fields, &reply.text)) {
          if (reply.number == 0) reply.result = platform::kSOk;
          break;
        }
        ++reply.number;
        ++object->position;
        reply.result = object->has_current() ? platform::kSOk : kNoMoreItems;
      }
      break;
    }
    default:
      if (slot < name_slot || slot > name_slot + 2) {
        reply.result = platform::kENotImpl;
        break;
      }
      if (!object->has_current()) {
        reply.result = platform::kEUnexpected;
        break;
      }
      object->list().Get(static_cast<size_t>(object->position), &item_.name, &item_.url,
                         &item_.email);
      reply.text = slot == name_slot       ? item_.name
                   : slot == name_slot + 1 ? item_.url
                                           : item_.email;
      break;
  }
  return reply;
}

}  // namespace

StorageServer::StorageServer(service::MemoryBudget* budget, Clock::time_point ready_at)
    : budget_(budget), ready_at_(ready_at) {}

// The largest passwd-file must be readable while walks still hold the list before it.
static_assert(kBytesPerPasswdByte * kMaxPasswdFileBytes <= service::kMemoryBudget / 2);

uint32_t StorageServer::Refresh(bool public_folders) {
  std::lock_guard refresh(refresh_mutex_);
  auto note = [](const std::string& text) { service::Log("%s", text.c_str()); };
  const ListKind kind = public_folders ? kPublicFolders : kMailboxes;
  // The reading's share of the budget is taken before it starts, from the passwd-file's
  // size, and set to what the list holds once it is read.
  std::string passwd_file;
  size_t estimate = 0;
  if (kind == kMailboxes) {
    passwd_file = platform::PasswdFilePath(kStorageKey, note);
    struct stat info;
    // A file over the limit is refused unread: it takes nothing of the budget.
    if (stat(passwd_file.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<size_t>(info.st_size) <= kMaxPasswdFileBytes) {
      estimate = static_cast<size_t>(info.st_size) * kBytesPerPasswdByte;
    }
  }
  auto refused = [](size_t bytes) {
    service::Log(
        "reading the lists takes %zu bytes, more than the memory budget leaves; kept the last ones",
        bytes);
    return platform::kEOutOfMemory;
  };
  if (budget_ != nullptr && !budget_->TryTake(estimate)) return refused(estimate);
  auto fresh = std::make_shared<ChargedList>(budget_);
  fresh->charged = estimate;
  fresh->list = kind == kMailboxes
                    ? ReadMailboxes(passwd_file)
                    : ReadPublicFolders(platform::PublicFolderRootPath(kStorageKey, note));
  const size_t bytes = fresh->list.HeldBytes();
  if (budget_ != nullptr && bytes > estimate && !budget_->TryTake(bytes - estimate))
    return refused(bytes);
  if (budget_ != nullptr && bytes < estimate) budget_->Give(estimate - bytes);
  fresh->charged = bytes;
  const uint32_t status = fresh->list.status;
  auto snapshot = std::make_shared<Snapshot>(*Current());
  snapshot->lists[kind] = std::move(fresh);
  std::lock_guard lock(snapshot_mutex_);
  snapshot_ = std::move(snapshot);
  return status;
}

std::shared_ptr<const StorageServer::Snapshot> StorageServer::Current() {
  std::lock_guard lock(snapshot_mutex_);
  if (snapshot_ == nullptr) {
    auto empty = std::make_shared<Snapshot>();
    for (auto& list : empty->lists) list = std::make_shared<const ChargedList>(nullptr);
    snapshot_ = std::move(empty);
  }
  return snapshot_;
}

std::unique_ptr<service::Session> StorageServer::NewSession() {
  return std::make_unique<StorageSession>(this);
}

}  // namespace cvstorage
