// Tests of libcvpmapi.so through its C interface where the module's tests cannot reach: stale
// handles and get packages refused whole. Values, strings cut to the caller's buffer and
// tables are checked through the module (policy/policy_access_test.cc,
// settings/table_entry_test.cc).
#include "standins/include/cvpmapi.h"

#include <gtest/gtest.h>

#include <string>

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

TEST(CvpmapiTest, ClosedAndOtherKindHandlesAreRefusedAndNeverHandedOutAgain) {
  uint32_t oid, type;
  ASSERT_EQ(VmpCreatePolicyOID("1.2.*", &oid), VMP_OK);
  EXPECT_EQ(VmpGetType(oid, &type), VMP_E_HANDLE);  // an OID handle is no variable
  EXPECT_EQ(VmpClose(oid), VMP_OK);
  EXPECT_EQ(VmpClose(oid), VMP_E_HANDLE);
  Var next;
  EXPECT_NE(next.h, oid);
  EXPECT_EQ(VmpSetOID(oid, "1.2.3"), VMP_E_HANDLE);
}

// A get package is the agent's reply: every truncation and a longer one are refused, and the
// variable keeps what it held.
TEST(CvpmapiTest, TruncatedOrOverlongGetPackagesChangeNothing) {
  Var table, copy;
  const uint32_t types[] = {4, 10};
  ASSERT_EQ(VmpSetOID(table.h, "1.3.6"), VMP_OK);
  ASSERT_EQ(VmpCreateTable(table.h, 2, types), VMP_OK);
  ASSERT_EQ(VmpInsertRow(table.h, -1), VMP_OK);
  ASSERT_EQ(VmpSetCellStringW(table.h, 0, 0, u"name"), VMP_OK);
  ASSERT_EQ(VmpSetCellRestriction(table.h, 0, 1, VMP_RESTRICT_HIDDEN), VMP_OK);
  const std::string package = Package(table.h), payload = package.substr(4);
  ASSERT_EQ(PqhUnpackPolicyGetPackage(copy.h, payload.data(), payload.size()), VMP_OK);
  EXPECT_EQ(Package(copy.h), package);

  ASSERT_EQ(VmpSetStringW(copy.h, u"kept"), VMP_OK);
  const std::string before = Package(copy.h);
  for (size_t size = 0; size < payload.size(); ++size)
    EXPECT_EQ(PqhUnpackPolicyGetPackage(copy.h, payload.data(), size), VMP_E_PACKAGE) << size;
  const std::string longer = payload + '\0';
  EXPECT_EQ(PqhUnpackPolicyGetPackage(copy.h, longer.data(), longer.size()), VMP_E_PACKAGE);
  EXPECT_EQ(Package(copy.h), before);
}

}  // namespace
