// Tests of the wire codec: round trips of frames and of every variable type, and refusal of
// each kind of malformed input, every truncation included.
#include "standins/wire/wire.h"

#include <gtest/gtest.h>

#include "standins/agent_api/cvpmapi.h"

// The samples name only the fields they use; the rest are meant to be default.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using wire::Cell;
using wire::Variable;

std::string U16(uint16_t value) {
  return {static_cast<char>(value), static_cast<char>(value >> 8)};
}
std::string U32(uint32_t value) { return U16(value & 0xFFFF) + U16(value >> 16); }

// A variable's encoding with restriction 0 and `value` as its raw value bytes.
std::string Raw(std::string_view oid, uint8_t type, std::string_view value) {
  std::string out;
  wire::EncodePackedOid(oid, &out);
  return out + static_cast<char>(type) + U32(0) + std::string(value);
}

std::vector<Variable> Samples() {
  Cell number{.flags = VMP_RESTRICT_FINAL, .int_value = -5};
  Cell text{.flags = 0, .string_value = u"\u00e9t\U0001F600"};
  return {
      {.oid = "1", .type = VMP_TYPE_NONE, .restriction = VMP_RESTRICT_HIDDEN},
      {.oid = "1.3.6.1", .type = VMP_TYPE_INT, .int_value = INT32_MIN},
      {.oid = "2.0", .type = VMP_TYPE_STRING, .string_value = u"caf\u00e9"},
      {.oid = "2.1", .type = VMP_TYPE_STRING},
      {.oid = "3.1", .type = VMP_TYPE_BINARY, .binary_value = std::string("\0\xff\x01", 3)},
      {.oid = "4.4",
       .type = VMP_TYPE_TABLE,
       .restriction = VMP_RESTRICT_TABLE_FINAL,
       .column_types = {8, 4, 3, 10},
       .rows = {{number, text, {}, {}}, {{}, {}, text, number}}},
      {.oid = "4.5", .type = VMP_TYPE_TABLE, .column_types = {7}},
  };
}

TEST(WireTest, VariablesRoundTripAndEveryTruncationIsRefused) {
  for (const Variable& sample : Samples()) {
    SCOPED_TRACE(sample.oid);
    std::string encoded;
    wire::EncodeVariable(sample, &encoded);
    const std::string with_tail = encoded + "tail";
    std::string_view in = with_tail;
    Variable decoded;
    ASSERT_TRUE(wire::DecodeVariable(&in, &decoded));
    EXPECT_EQ(decoded, sample);
    EXPECT_EQ(in, "tail");
    for (size_t size = 0; size < encoded.size(); ++size) {
      std::string_view prefix(encoded.data(), size);
      EXPECT_FALSE(wire::DecodeVariable(&prefix, &decoded)) << size;
      EXPECT_EQ(prefix.size(), size);
    }
  }
  std::string package;
  wire::EncodeSetPackage(Samples(), &package);
  std::vector<Variable> variables;
  ASSERT_TRUE(wire::DecodeSetPackage(package, &variables));
  EXPECT_EQ(variables, Samples());
  for (size_t size = 0; size < package.size(); ++size)
    EXPECT_FALSE(wire::DecodeSetPackage(package.substr(0, size), &variables)) << size;
  EXPECT_FALSE(wire::DecodeSetPackage(package + '\0', &variables));
}

TEST(WireTest, MalformedVariablesAreRefused) {
  const std::string int_column = U16(1) + U32(8);
  std::string too_many_columns = U16(VMP_MAX_COLUMNS + 1);
  for (int i = 0; i <= VMP_MAX_COLUMNS; ++i) too_many_columns += U32(8);
  const std::pair<const char*, std::string> kCases[] = {  // what is wrong, the bytes
      {"unknown type", Raw("1", 3, "")},
      {"pattern", Raw("1.*", VMP_TYPE_INT, U32(0))},  // other OID text: OidText, oid_fuzz
      {"OID too long", Raw(std::string(VMP_MAX_OID_LENGTH + 1, '1'), VMP_TYPE_NONE, "")},
      {"odd string bytes", Raw("1", VMP_TYPE_STRING, U32(1) + "x")},
      {"string longer than input", Raw("1", VMP_TYPE_STRING, U32(3) + "abcd")},
      {"huge string", Raw("1", VMP_TYPE_STRING, U32(0xFFFFFFFF) + "ab")},
      {"huge binary", Raw("1", VMP_TYPE_BINARY, U32(0x7FFFFFFF) + "x")},
      {"no columns", Raw("1", VMP_TYPE_TABLE, U16(0) + U32(0))},
      {"too many columns", Raw("1", VMP_TYPE_TABLE, too_many_columns + U32(0))},
      {"column type 5", Raw("1", VMP_TYPE_TABLE, U16(1) + U32(5) + U32(0))},
      {"huge row count", Raw("1", VMP_TYPE_TABLE, int_column + U32(~0u) + U32(0) + U32(1))},
      {"one row short", Raw("1", VMP_TYPE_TABLE, int_column + U32(2) + U32(0) + U32(1))},
  };
  for (const auto& [what, bytes] : kCases) {
    std::string_view in = bytes;
    Variable decoded;
    EXPECT_FALSE(wire::DecodeVariable(&in, &decoded)) << what;
  }
  std::vector<Variable> variables;
  const std::string none = Raw("1", VMP_TYPE_NONE, "");
  EXPECT_TRUE(wire::DecodeSetPackage(U32(1) + none, &variables));
  EXPECT_FALSE(wire::DecodeSetPackage(U32(0), &variables));
  EXPECT_FALSE(wire::DecodeSetPackage(U32(0xFFFFFFFF) + none, &variables));
  EXPECT_FALSE(wire::DecodeSetPackage(U32(2) + none, &variables));
  std::string many = U32(wire::kMaxVariables + 1);
  for (uint32_t i = 0; i <= wire::kMaxVariables; ++i) many += none;
  EXPECT_FALSE(wire::DecodeSetPackage(many, &variables));
}

// What is taken; that nothing but dotted digits, and for a pattern a final ".*", is taken
// at all is what oid_fuzz checks of every input.
TEST(WireTest, OidText) {
  EXPECT_TRUE(wire::IsValidOid("1.3.6.1", false));
  EXPECT_TRUE(wire::IsValidOid("0", false));
  EXPECT_TRUE(wire::IsValidOid("1.2.*", true));
  EXPECT_FALSE(wire::IsValidOid("1.2.*", false));
  EXPECT_TRUE(wire::IsValidOid(std::string(VMP_MAX_OID_LENGTH, '7'), false));
  EXPECT_FALSE(wire::IsValidOid(std::string(VMP_MAX_OID_LENGTH + 1, '7'), false));
}

TEST(WireTest, Frames) {
  wire::Frame frame{wire::FrameKind::kNotification, 7, wire::kNotifyChanged, "body"};
  std::string encoded;
  ASSERT_TRUE(wire::EncodeFrame(frame, &encoded));
  uint32_t length;
  ASSERT_TRUE(wire::DecodeFrameLength(encoded.data(), &length));
  EXPECT_EQ(length, encoded.size() - 4);
  wire::Frame decoded;
  ASSERT_TRUE(wire::DecodeFrameRest(std::string_view(encoded).substr(4), &decoded));
  EXPECT_EQ(decoded, frame);

  for (uint32_t bad : {0u, 11u, wire::kMaxFrameBody - 11, 0xFFFFFFFFu})
    EXPECT_FALSE(wire::DecodeFrameLength(U32(bad).data(), &length)) << bad;
  EXPECT_TRUE(wire::DecodeFrameLength(U32(12).data(), &length));
  // The largest body the encoder takes must make a length word the decoder takes.
  frame.body.assign(wire::kMaxFrameBody - 24, 'x');
  encoded.clear();
  ASSERT_TRUE(wire::EncodeFrame(frame, &encoded));
  EXPECT_TRUE(wire::DecodeFrameLength(encoded.data(), &length));
  frame.body += 'x';
  EXPECT_FALSE(wire::EncodeFrame(frame, &encoded));

  const std::string ids = U32(1) + U32(2);
  const std::string kBadRests[] = {std::string("\0\0\0\0", 4) + ids,  // kind 0
                                   std::string("\4\0\0\0", 4) + ids,  // kind 4
                                   std::string("\1\0\1\0", 4) + ids,  // padding
                                   std::string("\1\0\0\0", 4) + U32(1)};
  for (const std::string& rest : kBadRests) EXPECT_FALSE(wire::DecodeFrameRest(rest, &decoded));
  EXPECT_TRUE(wire::DecodeFrameRest(std::string("\2\0\0\0", 4) + ids, &decoded));
}

}  // namespace
