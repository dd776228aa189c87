// Tests of libcvpmapi.so through its C interface where the module's tests cannot reach: stale
// handles. Values, strings too long for the caller's buffer and tables are checked through
// the module (settings/item_test.cc, settings/table_entry_test.cc); that a get package is
// taken exactly when the codec takes it, and a refused one changes nothing, by wire_fuzz.
#include "standins/agent_api/cvpmapi.h"

#include <gtest/gtest.h>

namespace {

// A variable handle, closed at the end of the scope.
struct Var {
  Var() { EXPECT_EQ(VmpCreatePolicyVar(&h), VMP_OK); }
  ~Var() { VmpClose(h); }
  uint32_t h = 0;
};

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

}  // namespace
