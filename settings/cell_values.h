// Turning the cells that the pages hand in for a table's integer columns into the
// column's signed 32-bit value.
//
// Thread safety: pure functions.
#ifndef SETTINGS_CELL_VALUES_H_
#define SETTINGS_CELL_VALUES_H_

#include <cstdint>
#include <string_view>

namespace settings {

// A decimal number: leading white space skipped, an optional sign, the digits up to the
// first non-digit; 0 when there is no digit; values beyond the 32-bit range clamped to its
// ends.
int32_t DecimalCell(std::string_view text);

// A float truncated toward zero, keeping the low 32 bits of the integer (0 for NaN and the
// infinities).
int32_t FloatCell(double value);

}  // namespace settings

#endif  // SETTINGS_CELL_VALUES_H_
