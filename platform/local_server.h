// Objects of local servers, created by class identifier.
//
// A local server is a separate program, started as a service (by the run script, a service
// unit or a test; never by the caller), that serves one or more classes on a Unix socket.
// A class is registered in the local machine hive:
//
//   HKLM\SOFTWARE\Classes\CLSID\{class id}\LocalServer32
//     (default)  REG_SZ  the server's command line, for the operator only: nothing here
//                        starts a server
//     Socket     REG_SZ  the server's socket, absolute or relative to the machine root
//
// Creating an object connects to that socket; the connection is the instance, and its
// methods are the interface's slots, each one request and one reply with a 32-bit result.
// A server is trusted only when it runs as this process's user, as root, or as the owner of
// the machine root: a socket that another account put in the way gets no request.
//
// The wire, all integers little-endian:
//
//   connect  client: "CVL1" | 36 bytes class id | 36 bytes interface id
//                    (identifiers as lower-case 8-4-4-4-12 hex text, without braces)
//            server: u32 result (0: the connection is now one instance of the class)
//   call     client: u32 slot | i32 argument
//            server: u32 result | i32 number | u32 n | n UTF-16 code units
//                    (n at most kMaxLocalServerText)
//
// The reply of a call always carries a number and a text; a method that has no such
// output sends 0 and an empty text. Calls on one connection are answered in order, so a
// client may send calls before the replies of the earlier ones came, the first of them
// right behind the connect message (a server that refuses the connection closes it unread).
//
// Pages. A walk of n items costs n round trips when each item is read by its own calls, so a
// server may also serve a slot that reads items ahead: from the current item on, each item's
// getter texts, then the move to the next, for at most `argument` items (the server caps it
// at kMaxPageItems) and as many as the reply's text holds. The reply's number is the count
// of items, its result the result of the last move, and its text the items one after the
// other, each field as u32 n (two code units, the low half first) | n code units. An item
// that does not fit in an empty page is not read there (number 0): the caller reads it by
// its own calls. LocalServerItems serves a walk's per-item calls from such pages.
//
// Thread safety: CreateLocalServerObject may be called from any thread. One object's calls
// are serialised by the object, so it may be shared between threads; it must not be
// destroyed while a call on it runs.
#ifndef PLATFORM_LOCAL_SERVER_H_
#define PLATFORM_LOCAL_SERVER_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace platform {

// COM-style results (besides those of errors.h).
inline constexpr uint32_t kENotImpl = 0x80004001;
inline constexpr uint32_t kENoInterface = 0x80004002;
inline constexpr uint32_t kCoEWrongServerIdentity = 0x80004015;
inline constexpr uint32_t kEUnexpected = 0x8000FFFF;
inline constexpr uint32_t kRegdbEReadRegdb = 0x80040150;
inline constexpr uint32_t kRegdbEInvalidValue = 0x80040153;
inline constexpr uint32_t kRegdbEClassNotReg = 0x80040154;
inline constexpr uint32_t kClassEClassNotAvailable = 0x80040111;
inline constexpr uint32_t kCoEServerExecFailure = 0x80080005;
inline constexpr uint32_t kRpcEServerUnavailable = 0x800706BA;

// The longest text a reply may carry, in UTF-16 code units.
inline constexpr uint32_t kMaxLocalServerText = 65536;

// The magic that opens a connect message, and the message sizes.
inline constexpr std::string_view kLocalServerMagic = "CVL1";
inline constexpr size_t kGuidTextLength = 36;
inline constexpr size_t kConnectMessageSize = 4 + 2 * kGuidTextLength;
inline constexpr size_t kCallMessageSize = 8;
inline constexpr size_t kReplyHeaderSize = 12;

// The lower-case form of a class or interface identifier in the 8-4-4-4-12 hex form, with
// or without braces; empty when `text` is not one.
std::string NormalizeGuid(std::string_view text);

// One call of a batch: slot and argument in, the server's result, number and text out.
struct LocalServerCall {
  uint32_t slot = 0;
  int32_t argument = 0;
  uint32_t result = 0;
  int32_t number = 0;
  std::u16string text;
};

// Reads the reply of one call from the front of `received`, the bytes that have come so far.
// Returns the reply's size in bytes as far as it is known (kReplyHeaderSize until the header
// has come), or 0 when the header announces more than kMaxLocalServerText units: such a
// reply is never read. When `received` holds the whole reply, `call`'s result, number and
// text are set from it; otherwise `call` is left as it was.
size_t DecodeLocalServerReply(std::string_view received, LocalServerCall* call);

// The most items one page carries, and the fields of an item (name, URL, e-mail).
inline constexpr uint32_t kMaxPageItems = 1024;
inline constexpr size_t kPageFields = 3;

// Appends one item's fields to a page's text; false, and `page` unchanged, when the text
// would pass kMaxLocalServerText.
bool AppendPageItem(const std::u16string* const fields[kPageFields], std::u16string* page);

// One instance of a class, served on a connection of its own. Destroying it releases the
// instance (closes the connection).
class LocalServerObject {
 public:
  ~LocalServerObject();
  LocalServerObject(const LocalServerObject&) = delete;
  LocalServerObject& operator=(const LocalServerObject&) = delete;

  // Calls the method in `slot` with `argument` and returns the server's result. The reply's
  // number and text are stored in `number_out` and `text_out` when they are not null (0 and
  // empty when no reply came). A connection that breaks, a server that does not answer
  // within a few seconds, or a reply that is not well formed gives kRpcEServerUnavailable,
  // and so does every later call: the instance is gone. Running out of memory for the text
  // gives kEOutOfMemory and ends the instance too.
  uint32_t Call(uint32_t slot, int32_t argument, int32_t* number_out, std::u16string* text_out);
  // Makes `count` calls as one exchange: every request is written at once and the replies
  // are read in order, so the calls cost one round trip together. Each call's result,
  // number and text are stored in it. Returns 0, or the failure that ended the instance
  // (every call then carries it, as Call would give it).
  uint32_t CallMany(LocalServerCall* calls, size_t count);
  // The two halves of CallMany, so that the server answers while the caller works: Post
  // writes the requests of `count` calls and returns at once; Collect reads the replies of
  // the `count` calls posted first and not collected yet into `calls` (their slots and
  // arguments are not looked at), with CallMany's results. A call or CallMany made while
  // replies are outstanding reads them first and drops them. Both return 0, or the failure
  // that ended the instance.
  uint32_t Post(const LocalServerCall* calls, size_t count);
  uint32_t Collect(LocalServerCall* calls, size_t count);

 private:
  friend uint32_t CreateLocalServerObject(std::string_view, std::string_view,
                                          std::unique_ptr<LocalServerObject>*,
                                          LocalServerCall*, size_t);
  explicit LocalServerObject(intptr_t connection) : connection_(connection) {}

  // Under mutex_: write the requests, read replies (of calls written before), each giving
  // 0 or the failure that must end the instance; end it with `failure` in every call.
  uint32_t WriteLocked(const LocalServerCall* calls, size_t count);
  uint32_t ReadLocked(LocalServerCall* calls, size_t count);
  uint32_t EndLocked(LocalServerCall* calls, size_t count, uint32_t failure);
  uint32_t DropOutstandingLocked();

  std::mutex mutex_;
  // The connection: a socket's descriptor, or a pipe's handle on Windows; -1 once it broke.
  // Guarded by mutex_.
  intptr_t connection_;
  std::string received_;   // replies read in part, kept for the next read; guarded by mutex_
  size_t outstanding_ = 0;  // calls written whose replies were not read; guarded by mutex_
};

// The per-item calls of a walk (the getters from `first_getter` on, then the move to the
// next item) answered from pages read ahead with `page_slot`, so that a page of items costs
// one round trip. The results are those the calls themselves would give: a server that does
// not serve pages, or an item too large for one, is read by the calls themselves, and a
// page that fails fails the item it was read for the way its calls would have failed.
//
// Thread safety: one walk, one thread; the object must outlive it.
class LocalServerItems {
 public:
  LocalServerItems(LocalServerObject* object, uint32_t page_slot, uint32_t first_getter,
                   uint32_t move_next_slot)
      : object_(object), page_slot_(page_slot), first_getter_(first_getter),
        move_next_slot_(move_next_slot) {}

  // Reads the current item: each getter's result into `results` and, when it succeeded, its
  // text into `*fields[i]` (left as it was otherwise); then moves to the next item and
  // stores the move's result in `next`.
  void ReadAndMove(std::u16string* const fields[kPageFields], uint32_t results[kPageFields],
                   uint32_t* next);

  // Takes `page`, the reply of a call of `page_slot` with kMaxPageItems that the caller made
  // in an exchange of its own right after the move to the first item (so that a walk's
  // start costs one round trip), as the first page, as if the walk had read it.
  void TakePage(LocalServerCall* page);

 private:
  // Reads the next page (the one asked for ahead, if any): kSOk when the exchange went
  // through (items_left_ says whether it brought items), else the failure that ended the
  // instance.
  uint32_t ReadPage();
  // Serves the items of the reply of a page read, unless it does not hold what it says.
  void UsePage(LocalServerCall* page);

  LocalServerObject* const object_;
  const uint32_t page_slot_, first_getter_, move_next_slot_;
  bool pages_served_ = true;    // false once the server said it has no page slot
  std::u16string page_;         // the page being served
  size_t read_ = 0;             // units of page_ served so far
  uint32_t items_left_ = 0;     // items of page_ not yet served
  uint32_t last_move_ = 0;      // the result of the move after the page's last item
  bool page_taken_ = false;     // a page came through TakePage and was not used up yet
  bool ahead_ = false;          // the next page was asked for and not read yet
};

// CoCreateInstance for a local server: makes one instance of class `clsid` and asks it for
// interface `iid` (both as NormalizeGuid accepts them). On success stores the object in
// `*object`; on failure leaves it empty and returns
//   kEInvalidArg              an identifier is not in the hex form, or `object` is null
//   kRegdbEClassNotReg        no LocalServer32 key for the class
//   kRegdbEReadRegdb          the hive could not be read
//   kRegdbEInvalidValue       the key has no usable Socket value (missing, not REG_SZ, empty)
//   kCoEServerExecFailure     nothing serves the socket, or the server did not answer the
//                             connect message within a few seconds
//   kEAccessDenied            the socket or a folder above it does not admit this user
//   kCoEWrongServerIdentity   the socket is served by an account this process does not trust
//   kEOutOfMemory             memory ran out
//   the server's result       kENoInterface when it does not serve that interface,
//                             kClassEClassNotAvailable when it does not serve the class
//
// `first`, when not null, holds `count` calls made in the same exchange as the connect
// message, so that a connection and its first calls cost one round trip: their replies are
// read when the server took the connection, as CallMany reads them (their results are
// kRpcEServerUnavailable otherwise).
uint32_t CreateLocalServerObject(std::string_view clsid, std::string_view iid,
                                 std::unique_ptr<LocalServerObject>* object,
                                 LocalServerCall* first = nullptr, size_t count = 0);

}  // namespace platform

#endif  // PLATFORM_LOCAL_SERVER_H_
