// Status values of the mail store: 32-bit COM result codes, and the callbacks through which
// the directory and the public folder tree report what they find.
#ifndef MAILSTORE_STATUS_H_
#define MAILSTORE_STATUS_H_

#include <cstdint>

#include "platform/variant.h"

namespace mailstore {

inline constexpr uint32_t kOk = 0;
inline constexpr uint32_t kFail = 0x80004005;         // general failure
inline constexpr uint32_t kInvalidArg = 0x80070057;   // invalid argument
inline constexpr uint32_t kNoMoreItems = 0x80070103;  // the system error 259 in result form
inline constexpr uint32_t kAborted = 0x8007045B;      // the system error 1115: stop

// One directory user: display name, mail address, whether the mailbox is on this server,
// proxy addresses (empty unless asked for), legacy distinguished name (empty when the user
// has none), and the caller's context.
using MailUserCallback = uint32_t (*)(const char16_t* name, const char16_t* mail,
                                      bool has_local_mailbox,
                                      const platform::Variant* proxy_addresses,
                                      const char16_t* legacy_dn, void* context);
// One public folder: display name, URL, the open connection (unused), the caller's context.
using FolderCallback = uint32_t (*)(const char16_t* name, const char16_t* url, void* connection,
                                    void* context);

// Traces the error line of an exception caught by a mail store routine.
void TraceException();

}  // namespace mailstore

#endif  // MAILSTORE_STATUS_H_
