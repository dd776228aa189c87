// Local server objects: the wire of calls and pages, the same on every system, over the
// connection that the port's transport (local_server_posix.cc, local_server_windows.cc)
// opens to the class's registered server.
//
// Thread safety: see local_server.h. Creation shares nothing but the hive (itself
// thread-safe); an object's connection is used only under its mutex.
#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "platform/local_server.h"
#include "platform/local_server_transport.h"

namespace platform {
namespace {

using Clock = local_server::Clock;

void PutU32(uint32_t value, char* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(value >> (8 * i));
}

uint32_t GetU32(const char* in) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t{static_cast<unsigned char>(in[i])} << (8 * i);
  return value;
}

}  // namespace

std::string NormalizeGuid(std::string_view text) {
  if (text.size() == kGuidTextLength + 2 && text.front() == '{' && text.back() == '}')
    text = text.substr(1, kGuidTextLength);
  if (text.size() != kGuidTextLength) return {};
  std::string guid(text);
  for (size_t i = 0; i < guid.size(); ++i) {
    char& c = guid[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return {};
    } else if (c >= 'A' && c <= 'F') {
      c = static_cast<char>(c - 'A' + 'a');
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return {};
    }
  }
  return guid;
}

size_t DecodeLocalServerReply(std::string_view received, LocalServerCall* call) {
  if (received.size() < kReplyHeaderSize) return kReplyHeaderSize;
  const uint32_t units = GetU32(received.data() + 8);
  if (units > kMaxLocalServerText) return 0;
  const size_t size = kReplyHeaderSize + size_t{units} * 2;
  if (received.size() < size) return size;
  call->result = GetU32(received.data());
  call->number = static_cast<int32_t>(GetU32(received.data() + 4));
  call->text.resize(units);
  const auto* text = reinterpret_cast<const unsigned char*>(received.data() + kReplyHeaderSize);
  for (uint32_t u = 0; u < units; ++u)
    call->text[u] = static_cast<char16_t>(text[2 * u] | text[2 * u + 1] << 8);
  return size;
}

LocalServerObject::~LocalServerObject() {
  if (connection_ >= 0) local_server::Close(connection_);
}

uint32_t LocalServerObject::Call(uint32_t slot, int32_t argument, int32_t* number_out,
                                 std::u16string* text_out) {
  LocalServerCall call;
  call.slot = slot;
  call.argument = argument;
  const uint32_t failure = CallMany(&call, 1);
  if (number_out != nullptr) *number_out = call.number;
  if (text_out != nullptr) *text_out = std::move(call.text);
  return failure != kSOk ? failure : call.result;
}

uint32_t LocalServerObject::CallMany(LocalServerCall* calls, size_t count) {
  std::lock_guard lock(mutex_);
  if (const uint32_t failure = DropOutstandingLocked(); failure != kSOk)
    return EndLocked(calls, count, failure);
  if (const uint32_t failure = WriteLocked(calls, count); failure != kSOk)
    return EndLocked(calls, count, failure);
  outstanding_ += count;
  const uint32_t failure = ReadLocked(calls, count);
  return failure == kSOk ? kSOk : EndLocked(calls, count, failure);
}

uint32_t LocalServerObject::Post(const LocalServerCall* calls, size_t count) {
  std::lock_guard lock(mutex_);
  if (const uint32_t failure = WriteLocked(calls, count); failure != kSOk)
    return EndLocked(nullptr, 0, failure);
  outstanding_ += count;
  return kSOk;
}

uint32_t LocalServerObject::Collect(LocalServerCall* calls, size_t count) {
  std::lock_guard lock(mutex_);
  if (count > outstanding_) return EndLocked(calls, count, kEUnexpected);
  const uint32_t failure = ReadLocked(calls, count);
  return failure == kSOk ? kSOk : EndLocked(calls, count, failure);
}

uint32_t LocalServerObject::DropOutstandingLocked() {
  // Read one at a time: what the caller left outstanding is a page or a few calls.
  while (outstanding_ > 0) {
    LocalServerCall dropped;
    if (const uint32_t failure = ReadLocked(&dropped, 1); failure != kSOk) return failure;
  }
  return kSOk;
}

uint32_t LocalServerObject::WriteLocked(const LocalServerCall* calls, size_t count) try {
  if (connection_ < 0) return kRpcEServerUnavailable;
  // Requests of a small batch are built on the stack.
  char small[8 * kCallMessageSize];
  std::string large;
  char* requests = small;
  if (count > 8) {
    large.resize(count * kCallMessageSize);
    requests = large.data();
  }
  for (size_t i = 0; i < count; ++i) {
    PutU32(calls[i].slot, requests + i * kCallMessageSize);
    PutU32(static_cast<uint32_t>(calls[i].argument), requests + i * kCallMessageSize + 4);
  }
  return local_server::SendAll(connection_, requests, count * kCallMessageSize,
                               Clock::now() + local_server::kCallTimeout)
             ? kSOk
             : kRpcEServerUnavailable;
} catch (const std::bad_alloc&) {
  return kEOutOfMemory;
}

uint32_t LocalServerObject::ReadLocked(LocalServerCall* calls, size_t count) try {
  if (connection_ < 0) return kRpcEServerUnavailable;
  const Clock::time_point deadline = Clock::now() + local_server::kCallTimeout;
  std::string& received = received_;
  size_t used = 0;
  // The replies are read as they come, as many bytes at a time as have arrived; bytes of a
  // reply still outstanding after these are kept for its read.
  auto have = [&](size_t size) {
    while (received.size() - used < size) {
      char chunk[16384];
      const size_t got = local_server::ReceiveSome(connection_, chunk, sizeof chunk, deadline);
      if (got == 0) return false;  // the end of the stream, a reset or a silent server
      received.append(chunk, got);
    }
    return true;
  };
  bool ok = true;
  for (size_t i = 0; ok && i < count; ++i) {
    // A reply's size is known once its header has come: read until it is whole.
    size_t size = kReplyHeaderSize;
    while (ok && (size = DecodeLocalServerReply(std::string_view(received).substr(used),
                                                &calls[i])) != 0 &&
           received.size() - used < size) {
      ok = have(size);
    }
    ok = ok && size != 0;
    used += size;
  }
  outstanding_ -= count;
  // Nothing beyond the replies asked for.
  ok = ok && (outstanding_ > 0 || received.size() == used);
  received.erase(0, std::min(used, received.size()));
  return ok ? kSOk : kRpcEServerUnavailable;
} catch (const std::bad_alloc&) {
  return kEOutOfMemory;
}

uint32_t LocalServerObject::EndLocked(LocalServerCall* calls, size_t count, uint32_t failure) {
  // A reply that comes late or not at all would be taken for the next call's: the instance
  // ends here.
  if (connection_ >= 0) local_server::Close(connection_);
  connection_ = -1;
  outstanding_ = 0;
  received_.clear();
  for (size_t i = 0; i < count; ++i) {
    calls[i].result = failure;
    calls[i].number = 0;
    calls[i].text.clear();
  }
  return failure;
}

bool AppendPageItem(const std::u16string* const fields[kPageFields], std::u16string* page) {
  size_t units = 0;
  for (size_t i = 0; i < kPageFields; ++i) units += 2 + fields[i]->size();
  if (units > kMaxLocalServerText - page->size()) return false;
  for (size_t i = 0; i < kPageFields; ++i) {
    const size_t size = fields[i]->size();
    page->push_back(static_cast<char16_t>(size & 0xFFFF));
    page->push_back(static_cast<char16_t>(size >> 16));
    page->append(*fields[i]);
  }
  return true;
}

uint32_t LocalServerItems::ReadPage() {
  LocalServerCall call;
  call.slot = page_slot_;
  call.argument = static_cast<int32_t>(kMaxPageItems);
  const uint32_t failure =
      std::exchange(ahead_, false) ? object_->Collect(&call, 1) : object_->CallMany(&call, 1);
  if (failure != kSOk) return failure;
  UsePage(&call);
  return kSOk;
}

void LocalServerItems::TakePage(LocalServerCall* page) {
  // A page that brought no item is answered as a read page would be: the item's own calls.
  page_taken_ = true;
  UsePage(page);
}

void LocalServerItems::UsePage(LocalServerCall* page) {
  LocalServerCall& call = *page;
  if (call.result == kENotImpl) pages_served_ = false;
  // Count the page's items before any is served: a page that does not hold what its number
  // says is not used at all.
  std::u16string_view rest(call.text);
  for (int32_t i = 0; i < call.number; ++i) {
    for (size_t field = 0; field < kPageFields; ++field) {
      if (rest.size() < 2) return;
      const size_t size = rest[0] | size_t{rest[1]} << 16;
      if (rest.size() - 2 < size) return;
      rest.remove_prefix(2 + size);
    }
  }
  if (call.number <= 0 || !rest.empty()) return;
  page_ = std::move(call.text);
  read_ = 0;
  items_left_ = static_cast<uint32_t>(call.number);
  last_move_ = call.result;
  // More items follow: the server reads the next page while this one is served. A walk
  // that ends before it leaves the reply unread, which costs the server one page.
  if (last_move_ == kSOk && !ahead_) {
    LocalServerCall next;
    next.slot = page_slot_;
    next.argument = static_cast<int32_t>(kMaxPageItems);
    ahead_ = object_->Post(&next, 1) == kSOk;
  }
}

void LocalServerItems::ReadAndMove(std::u16string* const fields[kPageFields],
                                   uint32_t results[kPageFields], uint32_t* next) {
  const bool taken = std::exchange(page_taken_, false);
  if (items_left_ == 0 && pages_served_ && !taken) {
    if (const uint32_t failure = ReadPage(); failure != kSOk) {
      // The page's exchange failed, and ended the instance: so would the item's own calls.
      for (size_t i = 0; i < kPageFields; ++i) results[i] = failure;
      *next = failure;
      return;
    }
  }
  if (items_left_ == 0) {
    // No page for this item: its own calls, in one exchange.
    LocalServerCall calls[kPageFields + 1];
    for (uint32_t i = 0; i < kPageFields; ++i) calls[i].slot = first_getter_ + i;
    calls[kPageFields].slot = move_next_slot_;
    object_->CallMany(calls, kPageFields + 1);
    for (size_t i = 0; i < kPageFields; ++i) {
      results[i] = calls[i].result;
      if (results[i] == kSOk) *fields[i] = std::move(calls[i].text);
    }
    *next = calls[kPageFields].result;
    return;
  }
  std::u16string_view rest = std::u16string_view(page_).substr(read_);
  for (size_t i = 0; i < kPageFields; ++i) {
    const size_t size = rest[0] | size_t{rest[1]} << 16;
    fields[i]->assign(rest.substr(2, size));
    results[i] = kSOk;
    rest.remove_prefix(2 + size);
  }
  read_ = page_.size() - rest.size();
  *next = --items_left_ > 0 ? kSOk : last_move_;
}

uint32_t CreateLocalServerObject(std::string_view clsid, std::string_view iid,
                                 std::unique_ptr<LocalServerObject>* object,
                                 LocalServerCall* first, size_t count) try {
  if (first == nullptr) count = 0;
  for (size_t i = 0; i < count; ++i) {
    first[i].result = kRpcEServerUnavailable;
    first[i].number = 0;
    first[i].text.clear();
  }
  if (object == nullptr) return kEInvalidArg;
  object->reset();
  const std::string class_id = NormalizeGuid(clsid), interface_id = NormalizeGuid(iid);
  if (class_id.empty() || interface_id.empty()) return kEInvalidArg;

  uint32_t result;
  const intptr_t connection = local_server::Connect(class_id, &result);
  if (connection < 0) return result;
  struct Closer {
    intptr_t connection;
    ~Closer() {
      if (connection >= 0) local_server::Close(connection);
    }
  } closer{connection};

  const Clock::time_point deadline = Clock::now() + local_server::kConnectTimeout;
  std::string message(kLocalServerMagic);
  message += class_id;
  message += interface_id;
  for (size_t i = 0; i < count; ++i) {
    char request[kCallMessageSize];
    PutU32(first[i].slot, request);
    PutU32(static_cast<uint32_t>(first[i].argument), request + 4);
    message.append(request, sizeof request);
  }
  char reply[4];
  size_t got = 0;
  if (!local_server::SendAll(connection, message.data(), message.size(), deadline))
    return kCoEServerExecFailure;
  while (got < sizeof reply) {
    const size_t more =
        local_server::ReceiveSome(connection, reply + got, sizeof reply - got, deadline);
    if (more == 0) return kCoEServerExecFailure;
    got += more;
  }
  result = GetU32(reply);
  if (result != kSOk) return result;
  object->reset(new LocalServerObject(connection));
  closer.connection = -1;  // the object's now
  if (count > 0) {
    (*object)->outstanding_ = count;
    (*object)->Collect(first, count);
  }
  return kSOk;
} catch (const std::bad_alloc&) {
  return kEOutOfMemory;
}

}  // namespace platform
