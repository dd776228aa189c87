// Policy variable access: one call per use — read an integer or a string, write one, fetch
// a variable for table work, ask for restriction flags — each combining the policy
// library with one exchange of the message layer.
//
// Every handle made here is closed on every path, except the one VmpGetPolicy hands to its
// caller. Results are 0 or the code of the step that failed, passed through unchanged;
// -2 means the text did not fit.
//
// Thread safety: no state of its own; request threads call it at once, each with its own
// handles. The session cell is only read.
#ifndef POLICY_POLICY_ACCESS_H_
#define POLICY_POLICY_ACCESS_H_

#include <cstdint>

namespace policy {

// Restriction flags.
inline constexpr int32_t kRestrictHidden = 0x1;
inline constexpr int32_t kRestrictFinal = 0x2;
inline constexpr int32_t kRestrictTableFinal = 0x10;
inline constexpr int32_t kRestrictUnknown = -1;  // not fetched: final and hidden

// Capacity (in 16-bit characters, terminator included) of the string reads' buffers.
inline constexpr uint32_t kStringCapacity = 65535;

// Fetches variable `oid`; on success `*handle` holds it and the caller closes it with
// VmpClose. `*handle` is 0 on failure.
int32_t VmpGetPolicy(uint32_t session, const char* oid, uint32_t* handle);
// Reads an integer. Untouched when the fetch fails; `fallback` when the value is not one.
int32_t VmpGetPolicyInt(uint32_t session, const char* oid, int32_t* value, int32_t fallback);
// Reads a string into `buffer` of `capacity` characters. Untouched when the fetch fails;
// `fallback` (cut to fit) when the value cannot be read; -2 after any truncation.
int32_t VmpGetPolicyStringW(uint32_t session, const char* oid, char16_t* buffer, uint32_t capacity,
                            const char16_t* fallback);
int32_t VmpSetPolicyInt(uint32_t session, const char* oid, int32_t value);
int32_t VmpSetPolicyStringW(uint32_t session, const char* oid, const char16_t* value);

// Restriction flags of variable `oid`, or -1 when it cannot be fetched. The session is read
// from the module's session cell.
int32_t GetPolicyRestriction(const char* oid);
// Flags of the cell in row 0 and `column` of table `oid`; 0 for a table without rows; -1
// when it cannot be fetched.
int32_t GetPolicyCellRestriction(const char* oid, uint32_t column);

// Copies terminated `source` into `target` of `capacity` (at least 1) characters. 0 when
// the terminator was copied; 1 when the text was cut (the last character written becomes
// the terminator).
int BoundedCopy(char16_t* target, uint32_t capacity, const char16_t* source);

}  // namespace policy

#endif  // POLICY_POLICY_ACCESS_H_
