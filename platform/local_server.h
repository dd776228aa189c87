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
// output sends 0 and an empty text. Calls on one connection are answered in order.
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

 private:
  friend uint32_t CreateLocalServerObject(std::string_view, std::string_view,
                                          std::unique_ptr<LocalServerObject>*);
  explicit LocalServerObject(int fd) : fd_(fd) {}

  std::mutex mutex_;
  int fd_;                 // -1 once the connection broke; guarded by mutex_
  std::string received_;   // replies being read, kept for the next call; guarded by mutex_
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
uint32_t CreateLocalServerObject(std::string_view clsid, std::string_view iid,
                                 std::unique_ptr<LocalServerObject>* object);

}  // namespace platform

#endif  // PLATFORM_LOCAL_SERVER_H_
