#include "settings/cell_values.h"

#include <cmath>
#include <limits>

namespace settings {

int32_t DecimalCell(std::string_view text) {
  size_t at = 0;
  auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (at < text.size() && space(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  int64_t magnitude = 0;  // stops growing once past the range
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    if (magnitude <= kMax + 1) magnitude = magnitude * 10 + (text[at] - '0');
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > kMax) return static_cast<int32_t>(kMax);
  if (value < kMin) return static_cast<int32_t>(kMin);
  return static_cast<int32_t>(value);
}

int32_t FloatCell(double value) {
  if (!std::isfinite(value)) return 0;
  double wrapped = std::fmod(std::trunc(value), 4294967296.0);
  if (wrapped < 0) wrapped += 4294967296.0;
  return static_cast<int32_t>(static_cast<uint32_t>(wrapped));
}

}  // namespace settings
