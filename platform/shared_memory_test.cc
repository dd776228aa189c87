// Named shared-memory blocks: creation and opening, the mode every account needs, one word
// seen through two mappings, and removal.
#include "platform/shared_memory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

namespace {

using platform::SharedBlock;

constexpr const char* kName = "$shared_memory_test";

class SharedBlockTest : public ::testing::Test {
 protected:
  void SetUp() override { SharedBlock::Unlink(kName, getpid()); }
  void TearDown() override { SharedBlock::Unlink(kName, getpid()); }
};

TEST_F(SharedBlockTest, CreateOpenReleaseAndUnlink) {
  SharedBlock first, second, reader;
  EXPECT_EQ(SharedBlock::Open(kName, false, &reader), 2u);  // file not found
  EXPECT_FALSE(reader.is_mapped());
  EXPECT_EQ(reader.handle(), -1);

  bool existed = true;
  ASSERT_EQ(SharedBlock::Create(kName, sizeof(uintptr_t), &first, &existed), 0u);
  EXPECT_FALSE(existed);
  EXPECT_GE(first.size(), sizeof(uintptr_t));
  EXPECT_EQ(first.ReadWord(), 0u);  // zero-filled
  first.WriteWord(42);
  ASSERT_EQ(SharedBlock::Create(kName, sizeof(uintptr_t), &second, &existed), 0u);
  EXPECT_TRUE(existed);
  EXPECT_EQ(second.ReadWord(), 42u);  // the existing content is kept

  // One word through two mappings, a full 64-bit address included.
  ASSERT_EQ(SharedBlock::Open(kName, /*writable=*/false, &reader), 0u);
  EXPECT_NE(reader.view(), first.view());
  for (uintptr_t word : {reinterpret_cast<uintptr_t>(&first), UINTPTR_MAX}) {
    first.WriteWord(word);
    EXPECT_EQ(reader.ReadWord(), word);
  }

  // Release keeps the object, Unlink removes it.
  first.WriteWord(7);
  first.Release();
  EXPECT_FALSE(first.is_mapped());
  EXPECT_EQ(first.handle(), -1);
  ASSERT_EQ(SharedBlock::Open(kName, true, &first), 0u);
  EXPECT_EQ(first.ReadWord(), 7u);
  SharedBlock::Unlink(kName, getpid());
  EXPECT_EQ(SharedBlock::Open(kName, false, &first), 2u);
}

TEST_F(SharedBlockTest, CreatedBlockIsOpenToEveryAccountWhateverTheUmask) {
  const mode_t previous = umask(077);
  SharedBlock block;
  const uint32_t result = SharedBlock::Create(kName, sizeof(uintptr_t), &block, nullptr);
  umask(previous);
  ASSERT_EQ(result, 0u);
  struct stat status {};
  ASSERT_EQ(fstat(block.handle(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0666u);
}

}  // namespace
