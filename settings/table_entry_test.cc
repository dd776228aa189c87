// Policy tables against the real agent on a temporary root: reading, writing (appending,
// overwriting, removing rows), change detection, restrictions and Demo Mode. The trace goes
// to a log file in the root so that the tests can count its lines.
#include "settings/table_entry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "module/module_state.h"
#include "policy/agent_api.h"
#include "policy/agent_messages.h"
#include "policy/agent_test_support.h"
#include "support/trace.h"

namespace {

using settings::CTableEntry;
using settings::xTableEntry;
using Rows = std::vector<xTableEntry>;

constexpr char kTable[] = "1.3.6.1.4.1.8642.18.2.1";
const std::vector<uint32_t> kIsis = {8, 4, 10, 3};  // integer, string, integer, string

wire::Cell Int(int32_t value, uint32_t flags = 0) { return wire::Cell{flags, value, u""}; }
wire::Cell Str(std::u16string value) { return wire::Cell{0, 0, std::move(value)}; }

class TableEntryTest : public policy_test::AgentTest {
 protected:
  // Replaces the table variable whole, its marks included.
  void Import(std::vector<uint32_t> columns, std::vector<std::vector<wire::Cell>> rows,
              uint32_t restriction = 0) {
    wire::Variable table;
    table.oid = kTable;
    table.type = VMP_TYPE_TABLE;
    table.restriction = restriction;
    table.column_types = std::move(columns);
    table.rows = std::move(rows);
    std::string body;
    wire::EncodeSetPackage({table}, &body);
    ASSERT_EQ(policy_test::SendOperator(root_, wire::kImport, body), 0u);
  }

  // How many of the messages written since the last Mark() are `message`.
  int Traced(const std::string& message) {
    size_t from = mark_;
    const std::vector<std::string> messages = policy_test::TraceMessages(log_, &from);
    return static_cast<int>(std::count(messages.begin(), messages.end(), message));
  }
  void Mark() { policy_test::TraceMessages(log_, &mark_); }

  // What the agent holds now, as a table of its own reads it.
  Rows Stored() { return CTableEntry(kTable).rows(); }

  size_t mark_ = 0;
};

TEST_F(TableEntryTest, ReadsCellsInColumnOrderAndAFailedReadKeepsTheType) {
  Import(kIsis, {{Int(-1), Str(u"gr\u00fc\u00df"), Int(7), Str(u"")},
                 {Int(2), Str(u"b"), Int(3), Str(u"c")}});
  CTableEntry table(kTable);
  EXPECT_EQ(table.type(), "isis");
  EXPECT_EQ(table.rows(), (Rows{{{-1, 7}, {"gr\u00fc\u00df", ""}}, {{2, 3}, {"b", "c"}}}));
  EXPECT_EQ(Traced(std::string("Table OID ") + kTable), 1);
  EXPECT_EQ(Traced("Entry: 4294967295"), 1);  // integers are traced unsigned
  EXPECT_EQ(Traced("buf = 'gr\u00fc\u00df'"), 1);
  EXPECT_EQ(Traced("Type: isis"), 1);

  ASSERT_EQ(policy_test::SendOperator(root_, wire::kDelete, cvmad::testing::Packed(kTable)), 0u);
  table.Set({{{1, 1}, {"x", "y"}}});
  EXPECT_FALSE(table.Read());
  EXPECT_TRUE(table.rows().empty());
  EXPECT_EQ(table.type(), "isis");
  EXPECT_TRUE(table.IsChanged());
}

TEST_F(TableEntryTest, WriteAppendsRowsFillsShortOnesAndRemovesTheSurplusFromTheEnd) {
  Import(kIsis, {});
  CTableEntry table(kTable);
  EXPECT_EQ(table.type(), "isis");
  EXPECT_TRUE(table.rows().empty());
  const Rows rows = {{{1, -2}, {"\u00e9t\u00e9", "a b"}}, {{3, 4}, {"", "d"}},
                     {{5, 6}, {"e", "f"}}};
  table.Set(rows);
  Mark();
  ASSERT_TRUE(table.Write());
  EXPECT_FALSE(table.IsChanged());
  EXPECT_EQ(Traced("iRowIndex: 3, iTableRows: 3"), 1);
  EXPECT_EQ(Traced("iTableRows: 3, iTableCols: 4"), 1);
  EXPECT_EQ(Stored(), rows);

  table.Set({{{9}, {"z"}}});
  Mark();
  ASSERT_TRUE(table.Write());
  EXPECT_EQ(Traced("iRowIndex: 1, iTableRows: 3"), 1);
  EXPECT_EQ(Traced("Line removed"), 2);
  // Row 0 kept the cells the short row did not reach.
  EXPECT_EQ(Stored(), (Rows{{{9, -2}, {"z", "a b"}}}));
}

TEST_F(TableEntryTest, SetCountsADifferentValueOrAShortRowAsAChange) {
  Import(kIsis, {{Int(1), Str(u"a"), Int(2), Str(u"b")}, {Int(3), Str(u"c"), Int(4), Str(u"d")}});
  CTableEntry table(kTable);
  const Rows read = table.rows();
  table.Set(read);
  EXPECT_FALSE(table.IsChanged());
  // A row short of a value is not the full row, nor is the full row the short one.
  table.Set({{{1}, {"a", "b"}}, read[1]});
  EXPECT_TRUE(table.IsChanged());
  table.Set(read);
  EXPECT_EQ(table.rows(), read);
  ASSERT_TRUE(table.Read());

  table.Set({read[1], read[0]});
  EXPECT_TRUE(table.IsChanged());
  ASSERT_TRUE(table.Read());
  table.Set({read[0], {{3, 4}, {"c", "D"}}});
  EXPECT_TRUE(table.IsChanged());
}

TEST_F(TableEntryTest, FinalMarksComeFromTheFirstCellOrTheVariable) {
  // Made before the variable exists, without a type: no marks. (A table without a type is
  // refused before it could be written.)
  CTableEntry empty(kTable);
  Import({8, 4}, {});
  bool hidden = true, final = true;
  EXPECT_TRUE(empty.GetTableRestriction(&hidden, &final));
  EXPECT_FALSE(hidden || final);

  // The table-final mark of the variable reads as final, yet only the agent refuses.
  Import({8, 4}, {{Int(1), Str(u"a")}}, VMP_RESTRICT_TABLE_FINAL);
  CTableEntry table(kTable);
  EXPECT_TRUE(table.GetTableRestriction(&hidden, &final));
  EXPECT_TRUE(final);
  table.Set({{{2}, {"b"}}});
  Mark();
  EXPECT_FALSE(table.Write());
  EXPECT_EQ(module::State().last_error.load(), settings::kLastErrorFailed);
  EXPECT_EQ(Traced("VMerror: '" + std::to_string(wire::kStatusRefused) + "'"), 1);

  // A final or hidden first cell refuses before anything is sent.
  for (uint32_t mark : {VMP_RESTRICT_FINAL, VMP_RESTRICT_HIDDEN}) {
    Import({8, 4}, {{Int(1, mark), Str(u"a")}});
    EXPECT_FALSE(table.GetTableRestriction(&hidden, nullptr));
    EXPECT_EQ(hidden, mark == VMP_RESTRICT_HIDDEN);
    Mark();
    EXPECT_FALSE(table.Write());
    EXPECT_EQ(module::State().last_error.load(), settings::kLastErrorRefused);
    EXPECT_EQ(Traced("Policy var have final or hidden attribute and cannot be saved."), 1);
    EXPECT_TRUE(table.IsChanged());
  }
  EXPECT_EQ(Stored(), (Rows{{{1}, {"a"}}}));
}

// Without a type, as for an unknown table, the default rows have no values. (In Demo Mode no
// table has a type, and the PHP functions refuse tables.)
TEST_F(TableEntryTest, DefaultRowsFollowTheTypeAndHaveNoValuesWithoutOne) {
  const settings::DefaultRow defaults[] = {{{1, 2}, {"one"}}, {{3, 4}, {nullptr, "four"}}};
  Import({8, 4, 10, 3, 8}, {});
  EXPECT_EQ(CTableEntry(kTable, defaults, 2).defaultRows(),
            (Rows{{{1, 2, 0}, {"one", ""}}, {{3, 4, 0}, {"", "four"}}}));
  EXPECT_EQ(CTableEntry("1.3.6.1.4.1.8642.18.2.99", defaults, 2).defaultRows(), Rows(2));
  module::State().demo_mode = 1;
  EXPECT_EQ(CTableEntry(kTable).type(), "");
}

}  // namespace
