// The agent's wire: frames on the Unix socket between the client library and the agent,
// and the packages that carry policy variables inside them. Shared by the agent, both
// client libraries and the operator's tool.
//
// All integers are little-endian. Every decoder checks every length against what is left
// and refuses (returns false) instead of reading past the end; nothing here throws.
//
// Frame:   u32 length (of what follows, at most kMaxFrameBody) | u8 kind | u8 0 | u8 0 | u8 0 |
//          u32 request id | u32 message id | body
//   request body:       packed destination OID | message body
//   reply body:         the reply bytes (the agent's reply to the message)
//   notification body:  packed OID of the variable that changed (message kNotifyChanged)
//
// Packed OID:  u16 n | n bytes of dotted text (1..1024 bytes, digits and dots, may end ".*")
//
// Variable:    packed OID | u8 type | u32 restriction | value
//   VMP_TYPE_NONE:   nothing
//   VMP_TYPE_INT:    i32
//   VMP_TYPE_STRING: u32 n | n UTF-16 code units
//   VMP_TYPE_BINARY: u32 n | n bytes
//   VMP_TYPE_TABLE:  u16 columns (1..VMP_MAX_COLUMNS) | columns x u32 column type |
//                    u32 rows | rows x columns x (u32 cell flags | cell value), a cell value
//                    being i32 for integer columns and u32 n | n code units for string ones
//
// Set package (body of kSetPolicy and kImport): u32 count (1..kMaxVariables) | count x Variable
// Get package (payload of a kGetPolicy reply, after the status): one Variable
//
// Messages and their replies (every reply starts with a u32 status, 0 success):
//   kGetPolicy     body packed OID                   reply status | get package (on success)
//   kSetPolicy     body set package                  reply status (exactly 4 bytes)
//   kCheckIn       body packed OID pattern           reply status
//   kExport        body empty                        reply status | u32 count | count x Variable
//   kDelete        body packed OID                   reply status
//   kRestrict      body packed OID | u32 flags | u32 n | n x (u32 row | u32 column | u32 flags)
//                                                    reply status
//   kImport        body set package                  reply status
// kSetPolicy keeps the stored restrictions and refuses (kStatusRefused) a variable marked
// final or hidden (tables: also final for tables); kImport replaces variables whole,
// restrictions included. Both apply all their variables in one transaction or none.
#ifndef STANDINS_WIRE_WIRE_H_
#define STANDINS_WIRE_WIRE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wire {

inline constexpr uint32_t kMaxFrameBody = 16u << 20;
inline constexpr uint32_t kMaxVariables = 100000;
inline constexpr size_t kFrameHeaderSize = 16;  // length, kind + padding, request id, message id

enum class FrameKind : uint8_t { kRequest = 1, kReply = 2, kNotification = 3 };

// Message identifiers.
inline constexpr uint32_t kGetPolicy = 0x24030001;
inline constexpr uint32_t kSetPolicy = 0x24030002;
inline constexpr uint32_t kCheckIn = 0x24030005;
inline constexpr uint32_t kNotifyChanged = 0x24030006;
inline constexpr uint32_t kExport = 0x24030010;
inline constexpr uint32_t kDelete = 0x24030011;
inline constexpr uint32_t kRestrict = 0x24030012;
inline constexpr uint32_t kImport = 0x24030013;

// The agent's socket, under the machine root, in the servers' own folder.
inline constexpr const char* kAgentSocket = "run/cvmad.sock";

// The policy manager: the one destination the agent serves.
inline constexpr const char* kPolicyManagerOid = "1.3.6.1.4.1.8642.11.1.15";

// Agent statuses (first word of every reply).
inline constexpr uint32_t kStatusOk = 0;
inline constexpr uint32_t kStatusUnknownOid = 1001;
inline constexpr uint32_t kStatusRefused = 1002;       // final or hidden
inline constexpr uint32_t kStatusMalformed = 1003;     // body or package malformed
inline constexpr uint32_t kStatusUnknownMessage = 1004;
inline constexpr uint32_t kStatusWrongDestination = 1005;
inline constexpr uint32_t kStatusStorage = 1006;       // the policy store failed
inline constexpr uint32_t kStatusTypeMismatch = 1007;  // a set changes a variable's type or columns

struct Frame {
  FrameKind kind = FrameKind::kRequest;
  uint32_t request_id = 0;
  uint32_t message_id = 0;
  std::string body;

  bool operator==(const Frame&) const = default;
};

// Appends the encoded frame to `out`. False when the body is longer than kMaxFrameBody.
bool EncodeFrame(const Frame& frame, std::string* out);
// Reads the length word of a frame header (4 bytes). False when above kMaxFrameBody - 12 or
// below 12 (the rest of the header).
bool DecodeFrameLength(const char* header4, uint32_t* length);
// Decodes the `length` bytes after the length word. False when malformed (unknown kind,
// padding not zero).
bool DecodeFrameRest(std::string_view rest, Frame* frame);

// A policy variable as the packages carry it.
struct Cell {
  uint32_t flags = 0;
  int32_t int_value = 0;
  std::u16string string_value;

  bool operator==(const Cell&) const = default;
};

struct Variable {
  std::string oid;
  uint8_t type = 0;  // VMP_TYPE_*
  uint32_t restriction = 0;
  int32_t int_value = 0;
  std::u16string string_value;
  std::string binary_value;
  std::vector<uint32_t> column_types;
  std::vector<std::vector<Cell>> rows;  // each row has column_types.size() cells

  bool operator==(const Variable&) const = default;
};

// True for a dotted OID of digits (each arc 1 or more digits) with an optional final ".*"
// when `pattern_allowed`, at most VMP_MAX_OID_LENGTH bytes.
bool IsValidOid(std::string_view oid, bool pattern_allowed);

// Readers take a cursor (`in`) and advance it; false when malformed or short.
void PutU16(std::string* out, uint16_t value);
void PutU32(std::string* out, uint32_t value);
bool GetU16(std::string_view* in, uint16_t* value);
bool GetU32(std::string_view* in, uint32_t* value);

void EncodePackedOid(std::string_view oid, std::string* out);
bool DecodePackedOid(std::string_view* in, std::string* oid, bool pattern_allowed);

void EncodeVariable(const Variable& variable, std::string* out);
bool DecodeVariable(std::string_view* in, Variable* variable);

void EncodeSetPackage(const std::vector<Variable>& variables, std::string* out);
// Whole input must be consumed.
bool DecodeSetPackage(std::string_view in, std::vector<Variable>* variables);

}  // namespace wire

#endif  // STANDINS_WIRE_WIRE_H_
