// The cells and rows pages hand in for a table and get back: integer cells given as text or
// floats, the rows built against the table's type with their trace lines, and the cells a
// page gets for the rows held.
#include "settings/table_rows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "policy/agent_test_support.h"
#include "settings/cell_values.h"
#include "support/trace.h"

namespace {

using settings::TableRowsBuilder;
using settings::xTableEntry;
using Rows = std::vector<xTableEntry>;

constexpr int32_t kMax = 2147483647, kMin = -kMax - 1;

TEST(CellValuesTest, DecimalTextReadsTheLeadingNumberClampedTo32Bits) {
  const std::pair<std::string, int32_t> cases[] = {
      {"42", 42}, {" \t\n-17xyz", -17}, {"+8 9", 8}, {"007", 7}, {"1.9", 1},
      // No digits: zero.
      {"", 0}, {"x", 0}, {"-", 0}, {"  +x1", 0},
      {"2147483647", kMax}, {"2147483648", kMax}, {"4294967295", kMax},
      {"-2147483648", kMin}, {"-2147483649", kMin},
      {std::string(400, '9'), kMax}, {"-" + std::string(400, '9'), kMin}};
  for (const auto& [text, value] : cases) EXPECT_EQ(settings::DecimalCell(text), value) << text;
}

TEST(CellValuesTest, FloatsTruncateTowardZeroAndKeepTheLow32Bits) {
  const std::pair<double, int32_t> cases[] = {
      {3.9, 3}, {-3.9, -3}, {-0.5, 0},
      {4294967295.0, -1}, {4294967296.0 + 5, 5}, {2147483648.0, kMin}, {-4294967297.0, -1},
      // Not finite: zero.
      {std::nan(""), 0}, {HUGE_VAL, 0}, {-HUGE_VAL, 0}};
  for (const auto& [number, value] : cases) EXPECT_EQ(settings::FloatCell(number), value) << number;
  EXPECT_EQ(settings::FloatCell(1e300), settings::FloatCell(std::fmod(1e300, 4294967296.0)));
}

// The trace goes to the log folder of a root of the test's own; Traced() gives the messages
// since the last call joined by " | ", each led by its severity digit.
class TableRowsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(policy_test::TraceToFile(log_)); }
  void TearDown() override { support::TraceShutdown(); }
  std::string Traced() {
    std::string joined;
    for (const std::string& message : policy_test::TraceMessages(log_, &seen_, true))
      joined += (joined.empty() ? "" : " | ") + message;
    return joined;
  }

  policy_test::Root root_{/*register_libraries=*/false};
  const std::string log_ = root_.root() + "/logs/trace.log";
  size_t seen_ = 0;
};

// Each case drives a builder for one type as a shell would; rows are what it builds, or
// none when a call refused.
TEST_F(TableRowsTest, RowsAreBuiltAgainstTheTypeAndTraced) {
  struct Case {
    const char* type;
    std::function<bool(TableRowsBuilder&)> page;
    Rows rows;
    std::string trace;
  };
  const Case cases[] = {
      {"is",
       [](TableRowsBuilder& b) {
         if (!b.StartListRow(2) || !b.NextIsInteger()) return false;
         b.AddInteger(-1);
         if (b.NextIsInteger()) return false;
         b.AddText("x");
         if (!b.StartListRow(2)) return false;
         b.AddDecimal("  -42abc");
         b.AddText("");
         if (!b.StartListRow(2)) return false;
         b.AddFloat(-3.9);
         b.AddText("5");
         return true;
       },
       {{{-1}, {"x"}}, {{-42}, {""}}, {{-3}, {"5"}}},
       "1:Adding new row | 1:Adding numeric -1 | 1:Adding string 'x' | 1:Adding new row | "
       "1:Adding numeric   -42abc | 1:Adding string '' | 1:Adding new row | 1:Adding numeric -3 | "
       "1:Adding string '5'"},
      {"is", [](TableRowsBuilder& b) { return b.StartListRow(3); }, {},
       "3:Wrong table type, passed size 3, actual size 2"},
      {"is", [](TableRowsBuilder& b) { return b.StartScalarRow(); }, {},
       "3:Wrong table type, passed size 1, actual size 2"},
      {"t", [](TableRowsBuilder& b) { return b.StartScalarRow(); }, {}, "3:Wrong type: t"},
      // Lone values: text read as a decimal in an integer column, untraced.
      {"i",
       [](TableRowsBuilder& b) {
         if (!b.StartScalarRow() || !b.NextIsInteger()) return false;
         b.AddScalar(" 99999999999");
         if (!b.StartScalarRow()) return false;
         b.AddScalar("x");
         return true;
       },
       {{{kMax}, {}}, {{0}, {}}}, ""},
      {"s",
       [](TableRowsBuilder& b) {
         if (!b.StartScalarRow() || b.NextIsInteger()) return false;
         b.AddScalar("5");
         return true;
       },
       {{{}, {"5"}}}, ""},
  };
  for (const Case& c : cases) {
    TableRowsBuilder builder(c.type);
    const bool built = c.page(builder);
    EXPECT_EQ(built, !c.rows.empty()) << c.trace;
    EXPECT_EQ(builder.Take(), built ? c.rows : builder.Take()) << c.trace;
    EXPECT_EQ(Traced(), c.trace);
  }
}

// Current values come back unsigned, defaults signed; a row short of values gives empty
// strings and zeros for the rest, and says so.
TEST_F(TableRowsTest, PagesGetTheCellsOfTheRowsHeld) {
  const Rows rows = {{{-1, 7}, {"name"}}, {{}, {}}};
  auto flat = [](const std::vector<std::vector<settings::PageCell>>& cells) {
    std::ostringstream out;
    for (const auto& row : cells) {
      out << '[';
      for (const settings::PageCell& cell : row) {
        if (cell.is_text) out << '\'' << cell.text << "' ";
        if (!cell.is_text) out << cell.number << ' ';
      }
      out << ']';
    }
    return out.str();
  };
  EXPECT_EQ(flat(settings::PageRows("isi", rows, false)), "[4294967295 'name' 7 ][0 '' 0 ]");
  EXPECT_EQ(Traced(),
            "1:Adding new row | 1:Adding numeric 4294967295 | 1:Adding string 'name' | "
            "1:Adding numeric 7 | 1:Adding new row | "
            "1:Adding numeric 0 due to end of xTableEntry.intFields | "
            "1:Adding string '' due to end of xTableEntry.strFields | "
            "1:Adding numeric 0 due to end of xTableEntry.intFields");
  EXPECT_EQ(flat(settings::PageRows("is", {rows[0]}, true)), "[-1 'name' ]");
  EXPECT_EQ(Traced(), "1:Adding new row | 1:Adding numeric -1 | 1:Adding string 'name'");
}

}  // namespace
