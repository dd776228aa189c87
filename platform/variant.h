// The automation values that the directory and store provider ports hand back: empty, a
// string, an integer, a boolean, a byte string, or an array of values (one or two
// dimensions, lower bounds 0, the first index running fastest, as a SAFEARRAY holds them).
#ifndef PLATFORM_VARIANT_H_
#define PLATFORM_VARIANT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct Variant {
  enum class Type { kEmpty, kString, kInteger, kBool, kBytes, kArray };

  Type type = Type::kEmpty;
  std::u16string text;          // kString
  int64_t integer = 0;          // kInteger, kBool (0 or 1)
  std::vector<uint8_t> bytes;   // kBytes
  std::vector<Variant> items;   // kArray: items[i + j * extents[0]] is element (i, j)
  std::vector<size_t> extents;  // kArray: the element count of each dimension

  static Variant String(std::u16string value) {
    Variant v;
    v.type = Type::kString;
    v.text = std::move(value);
    return v;
  }
  static Variant Integer(int64_t value) {
    Variant v;
    v.type = Type::kInteger;
    v.integer = value;
    return v;
  }
  static Variant Bytes(std::vector<uint8_t> value) {
    Variant v;
    v.type = Type::kBytes;
    v.bytes = std::move(value);
    return v;
  }
  // A one-dimensional array of `values`.
  static Variant Array(std::vector<Variant> values) {
    Variant v;
    v.type = Type::kArray;
    v.extents = {values.size()};
    v.items = std::move(values);
    return v;
  }

  bool is_string() const { return type == Type::kString; }
  size_t dimensions() const { return type == Type::kArray ? extents.size() : 0; }
  // Element (i, j) of a two-dimensional array.
  const Variant& at(size_t i, size_t j) const { return items[i + j * extents[0]]; }
};

}  // namespace platform

#endif  // PLATFORM_VARIANT_H_
