// Tests of libcvpmapi.so through its C interface: handle kinds and lifetimes, values and
// their conversions, tables, and the packages checked against the wire codec.
#include "standins/include/cvpmapi.h"

#include <gtest/gtest.h>

#include <string>

#include "standins/wire/wire.h"

namespace {

// A variable handle, closed at the end of the scope.
struct Var {
  Var() { EXPECT_EQ(VmpCreatePolicyVar(&h), VMP_OK); }
  ~Var() { VmpClose(h); }
  uint32_t h = 0;
};

// The variable's set-package encoding; empty when it cannot be made.
std::string Package(uint32_t h) {
  void* body;
  uint32_t length;
  if (PqhCreatePolicySetPackage(h, &body, &length) != VMP_OK) return {};
  std::string bytes(static_cast<char*>(body), length);
  PqhFreeMemory(body);
  return bytes;
}

TEST(CvpmapiTest, HandleKindsAndStaleHandles) {
  Var v;
  uint32_t oid;
  EXPECT_EQ(VmpCreatePolicyOID("1..2", &oid), VMP_E_ARGUMENT);
  ASSERT_EQ(VmpCreatePolicyOID("1.2.*", &oid), VMP_OK);
  uint32_t type;
  int32_t value;
  EXPECT_EQ(VmpGetType(oid, &type), VMP_E_HANDLE);
  EXPECT_EQ(PqhUnpackPolicyGetPackage(oid, "", 0), VMP_E_HANDLE);
  EXPECT_EQ(VmpSetOID(v.h, "1.2.*"), VMP_E_ARGUMENT);
  EXPECT_EQ(VmpSetOID(v.h, "1.2.3"), VMP_OK);
  EXPECT_EQ(VmpSetOID(oid, "4.*"), VMP_OK);
  char text[8];
  EXPECT_EQ(VmpCopyOID(v.h, text, 4), VMP_E_TOO_SMALL);
  EXPECT_STREQ(text, "1.2");

  EXPECT_EQ(VmpClose(oid), VMP_OK);
  EXPECT_EQ(VmpClose(oid), VMP_E_HANDLE);
  Var next;  // a new handle never takes the closed one's value
  EXPECT_NE(next.h, oid);
  EXPECT_EQ(VmpCopyOID(oid, text, sizeof text), VMP_E_HANDLE);
  EXPECT_EQ(VmpGetInt(0, &value), VMP_E_HANDLE);
}

TEST(CvpmapiTest, ScalarTypes) {
  Var v;
  int32_t value;
  char16_t buffer[4];
  EXPECT_EQ(VmpGetInt(v.h, &value), VMP_E_EMPTY);
  EXPECT_EQ(VmpGetStringW(v.h, buffer, 4), VMP_E_EMPTY);
  VmpValue bad{VMP_TYPE_STRING, 1}, good{VMP_TYPE_INT, -9};
  EXPECT_EQ(VmpSetValue(v.h, &bad), VMP_E_TYPE);
  ASSERT_EQ(VmpSetValue(v.h, &good), VMP_OK);
  EXPECT_EQ(VmpGetStringW(v.h, buffer, 4), VMP_E_TYPE);
  ASSERT_EQ(VmpGetInt(v.h, &value), VMP_OK);
  EXPECT_EQ(value, -9);
  uint8_t out[3] = {};
  uint32_t length = 2;
  ASSERT_EQ(VmpSetBinary(v.h, "\1\2\3", 3), VMP_OK);
  EXPECT_EQ(VmpGetInt(v.h, &value), VMP_E_TYPE);
  EXPECT_EQ(VmpGetBinary(v.h, out, &length), VMP_E_TOO_SMALL);  // the part that fits, the size
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(out[1], 2);
  EXPECT_EQ(out[2], 0);
}

TEST(CvpmapiTest, StringsAreCutToTheCapacity) {
  Var v;
  ASSERT_EQ(VmpSetStringW(v.h, u"abcd"), VMP_OK);
  const struct {
    uint32_t capacity;
    int32_t result;
    std::u16string text;
  } kCases[] = {{1, VMP_E_TOO_SMALL, u""}, {4, VMP_E_TOO_SMALL, u"abc"}, {5, VMP_OK, u"abcd"}};
  for (const auto& c : kCases) {
    std::u16string buffer(10, u'#');
    EXPECT_EQ(VmpGetStringW(v.h, buffer.data(), c.capacity), c.result) << c.capacity;
    EXPECT_EQ(buffer.c_str(), c.text) << c.capacity;
  }
  char16_t wide[8];
  EXPECT_EQ(VmpGetStringW(v.h, wide, 0), VMP_E_ARGUMENT);

  // The narrow forms convert with the platform's converter and never cut a character.
  ASSERT_EQ(VmpSetStringA(v.h, "caf\xc3\xa9 \xf0\x9f\x98\x80"), VMP_OK);
  ASSERT_EQ(VmpGetStringW(v.h, wide, 8), VMP_OK);
  EXPECT_EQ(std::u16string(wide), u"caf\u00e9 \U0001F600");
  char narrow[8];
  ASSERT_EQ(VmpSetStringW(v.h, u"\u00e9\xd800"), VMP_OK);  // the lone surrogate is replaced
  ASSERT_EQ(VmpGetStringA(v.h, narrow, sizeof narrow), VMP_OK);
  EXPECT_STREQ(narrow, "\xc3\xa9\xef\xbf\xbd");
  EXPECT_EQ(VmpGetStringA(v.h, narrow, 2), VMP_E_TOO_SMALL);
  EXPECT_STREQ(narrow, "");
}

TEST(CvpmapiTest, Tables) {
  Var v;
  const uint32_t types[] = {8, 4}, bad[] = {8, 5};
  uint32_t rows, columns, flags, other = 9;
  int32_t value;
  char16_t text[8];
  EXPECT_EQ(VmpInsertRow(v.h, -1), VMP_E_EMPTY);
  EXPECT_EQ(VmpCreateTable(v.h, 2, bad), VMP_E_ARGUMENT);
  EXPECT_EQ(VmpCreateTable(v.h, 0, types), VMP_E_ARGUMENT);
  ASSERT_EQ(VmpCreateTable(v.h, 2, types), VMP_OK);
  ASSERT_EQ(VmpInsertRow(v.h, -1), VMP_OK);
  ASSERT_EQ(VmpSetCellInt(v.h, 0, 0, 42), VMP_OK);
  ASSERT_EQ(VmpSetCellStringW(v.h, 0, 1, u"x"), VMP_OK);
  ASSERT_EQ(VmpSetCellRestriction(v.h, 0, 1, VMP_RESTRICT_FINAL), VMP_OK);
  ASSERT_EQ(VmpInsertRow(v.h, 0), VMP_OK);  // before the filled row
  ASSERT_EQ(VmpInsertRow(v.h, 2), VMP_OK);  // at the end
  ASSERT_EQ(VmpGetTableDimensions(v.h, &rows, &columns), VMP_OK);
  EXPECT_EQ(rows, 3u);
  EXPECT_EQ(columns, 2u);
  ASSERT_EQ(VmpGetCellInt(v.h, 0, 0, &value), VMP_OK);
  EXPECT_EQ(value, 0);
  ASSERT_EQ(VmpGetCellStringW(v.h, 1, 1, text, 8), VMP_OK);
  EXPECT_EQ(std::u16string(text), u"x");
  ASSERT_EQ(VmpGetCellRestriction(v.h, 1, 1, &flags, &other), VMP_OK);
  EXPECT_EQ(flags, VMP_RESTRICT_FINAL);
  EXPECT_EQ(other, 0u);
  for (int32_t out_of_range :
       {VmpInsertRow(v.h, 4), VmpInsertRow(v.h, -2), VmpGetCellInt(v.h, 3, 0, &value),
        VmpSetCellInt(v.h, 0, 2, 1), VmpRemoveRow(v.h, 3), VmpGetColumnType(v.h, 2, &flags)})
    EXPECT_EQ(out_of_range, VMP_E_ARGUMENT);
  EXPECT_EQ(VmpGetCellInt(v.h, 0, 1, &value), VMP_E_TYPE);
  EXPECT_EQ(VmpSetCellStringW(v.h, 0, 0, u"y"), VMP_E_TYPE);
  ASSERT_EQ(VmpRemoveRow(v.h, 0), VMP_OK);
  ASSERT_EQ(VmpGetCellInt(v.h, 0, 0, &value), VMP_OK);
  EXPECT_EQ(value, 42);
}

TEST(CvpmapiTest, PackagesRoundTripAndBadOnesChangeNothing) {
  Var v, copy, bare;
  const void* packed;
  uint32_t oid;
  EXPECT_EQ(PqhGetPackedOID(v.h, &packed), VMP_E_NO_OID);
  EXPECT_EQ(PqhGetPackedOIDSize(nullptr), 0u);
  ASSERT_EQ(VmpCreatePolicyOID("9.*", &oid), VMP_OK);
  ASSERT_EQ(PqhSetOidFromBuffer(oid, "1.3.6xyz", 5), VMP_OK);
  ASSERT_EQ(PqhGetPackedOID(oid, &packed), VMP_OK);
  ASSERT_EQ(PqhGetPackedOIDSize(packed), 7u);
  EXPECT_EQ(std::string(static_cast<const char*>(packed), 7), std::string("\5\0", 2) + "1.3.6");
  EXPECT_EQ(PqhSetOidFromPackedData(v.h, packed, 6), VMP_E_ARGUMENT);
  EXPECT_EQ(PqhSetOidFromPackedData(v.h, packed, 8), VMP_E_ARGUMENT);
  ASSERT_EQ(PqhSetOidFromPackedData(v.h, packed, 7), VMP_OK);

  const uint32_t types[] = {4, 10};
  ASSERT_EQ(VmpCreateTable(v.h, 2, types), VMP_OK);
  ASSERT_EQ(VmpInsertRow(v.h, -1), VMP_OK);
  ASSERT_EQ(VmpSetCellStringW(v.h, 0, 0, u"name"), VMP_OK);
  ASSERT_EQ(VmpSetCellRestriction(v.h, 0, 1, VMP_RESTRICT_HIDDEN), VMP_OK);
  ASSERT_EQ(VmpSetRestriction(v.h, VMP_RESTRICT_TABLE_FINAL), VMP_OK);
  std::string package = Package(v.h);
  std::vector<wire::Variable> decoded;
  ASSERT_TRUE(wire::DecodeSetPackage(package, &decoded));
  EXPECT_EQ(decoded.at(0).oid, "1.3.6");

  const std::string payload = package.substr(4);
  ASSERT_EQ(PqhUnpackPolicyGetPackage(copy.h, payload.data(), payload.size()), VMP_OK);
  EXPECT_EQ(Package(copy.h), package);

  ASSERT_EQ(VmpSetStringW(copy.h, u"kept"), VMP_OK);
  const std::string before = Package(copy.h);
  for (size_t size = 0; size < payload.size(); ++size)
    EXPECT_EQ(PqhUnpackPolicyGetPackage(copy.h, payload.data(), size), VMP_E_PACKAGE) << size;
  const std::string longer = payload + '\0';
  EXPECT_EQ(PqhUnpackPolicyGetPackage(copy.h, longer.data(), longer.size()), VMP_E_PACKAGE);
  EXPECT_EQ(Package(copy.h), before);

  void* body;
  uint32_t length;
  const uint32_t without_oid[] = {v.h, bare.h}, with_oid_handle[] = {v.h, oid},
                 both[] = {v.h, copy.h};
  EXPECT_EQ(PqhCreatePolicySetPackage(bare.h, &body, &length), VMP_E_NO_OID);
  EXPECT_EQ(PqhCreatePolicyGroupSetPackage(without_oid, 2, &body, &length), VMP_E_NO_OID);
  EXPECT_EQ(PqhCreatePolicyGroupSetPackage(with_oid_handle, 2, &body, &length), VMP_E_HANDLE);
  ASSERT_EQ(PqhCreatePolicyGroupSetPackage(both, 2, &body, &length), VMP_OK);
  ASSERT_TRUE(wire::DecodeSetPackage({static_cast<char*>(body), length}, &decoded));
  EXPECT_EQ(decoded.size(), 2u);
  EXPECT_EQ(decoded[1].string_value, u"kept");
  PqhFreeMemory(body);
  VmpClose(oid);
}

}  // namespace
