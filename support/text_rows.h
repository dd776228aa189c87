// Rows of three texts each, kept in a few large blocks rather than three heap strings a row:
// a list of 100,000 rows costs its text and 24 bytes a row. A row's texts lie one after the
// other in one block, and a block never moves once written, so filling the table copies
// nothing it already holds and its peak is its final size plus one block.
//
// Thread safety: none of its own. A table that is no longer changed may be read from any
// number of threads.
#ifndef SUPPORT_TEXT_ROWS_H_
#define SUPPORT_TEXT_ROWS_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace support {

class TextRows {
 public:
  static constexpr size_t kFields = 3;

  size_t size() const { return rows_.size(); }
  bool empty() const { return rows_.empty(); }

  // Text `field` (0 to kFields - 1) of row `row`, which must be below size().
  std::string_view Field(size_t row, size_t field) const {
    const Row& r = rows_[row];
    const char* at = r.text;
    for (size_t i = 0; i < field; ++i) at += r.sizes[i];
    return std::string_view(at, r.sizes[field]);
  }

  // Appends a row; false, and the table unchanged, when a text is 4 GiB or longer. Throws
  // std::bad_alloc when memory runs out (the table is unchanged then too).
  bool Append(std::string_view a, std::string_view b, std::string_view c) {
    const std::string_view texts[kFields] = {a, b, c};
    size_t total = 0;
    for (std::string_view text : texts) {
      if (text.size() > UINT32_MAX) return false;
      total += text.size();
    }
    rows_.emplace_back();  // first: should it throw, no room has been taken
    char* at;
    try {
      at = Room(total);
    } catch (...) {
      rows_.pop_back();
      throw;
    }
    Row& row = rows_.back();
    row.text = at;
    for (size_t i = 0; i < kFields; ++i) {
      row.sizes[i] = static_cast<uint32_t>(texts[i].size());
      if (!texts[i].empty()) std::memcpy(at, texts[i].data(), texts[i].size());
      at += texts[i].size();
    }
    return true;
  }

  // Orders the rows by text `field` with `less` (a strict weak order), keeping no order
  // among equal ones.
  template <typename Less>
  void Sort(size_t field, Less less) {
    std::sort(rows_.begin(), rows_.end(), [&](const Row& x, const Row& y) {
      return less(View(x, field), View(y, field));
    });
  }

  // Gives back the room of the row table beyond its rows (the blocks keep theirs: their
  // untouched pages take no memory).
  void ShrinkToFit() { rows_.shrink_to_fit(); }

  // Bytes held: the blocks and the row table.
  size_t HeldBytes() const { return block_bytes_ + rows_.capacity() * sizeof(Row); }

 private:
  struct Row {
    const char* text;
    uint32_t sizes[kFields];
  };
  // A block is at least kMinBlock bytes, doubling with each block up to kMaxBlock; a row
  // longer than that gets a block of its own size.
  static constexpr size_t kMinBlock = 4096;
  static constexpr size_t kMaxBlock = size_t{1} << 20;

  static std::string_view View(const Row& row, size_t field) {
    const char* at = row.text;
    for (size_t i = 0; i < field; ++i) at += row.sizes[i];
    return std::string_view(at, row.sizes[field]);
  }

  char* Room(size_t bytes) {
    if (bytes > left_) {
      size_t size = blocks_.empty() ? kMinBlock : std::min(next_block_, kMaxBlock);
      size = std::max(size, bytes);
      blocks_.reserve(blocks_.size() + 1);
      blocks_.emplace_back(new char[size]);
      block_bytes_ += size;
      next_block_ = std::max(size, next_block_) * 2;
      free_ = blocks_.back().get();
      left_ = size;
    }
    char* at = free_;
    free_ += bytes;
    left_ -= bytes;
    return at;
  }

  std::vector<Row> rows_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* free_ = nullptr;  // the unused end of the last block
  size_t left_ = 0;       // its size
  size_t next_block_ = kMinBlock;
  size_t block_bytes_ = 0;
};

}  // namespace support

#endif  // SUPPORT_TEXT_ROWS_H_
