// Named shared-memory blocks: object names, creation and opening, the mode every account
// needs, one word seen through two mappings, and removal.
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

TEST_F(SharedBlockTest, ObjectNameCarriesBlockNameAndProcess) {
  EXPECT_EQ(SharedBlock::ObjectName("$cvma_session4php", 1234), "/$cvma_session4php.1234");
}

TEST_F(SharedBlockTest, OpeningAMissingBlockFailsWithFileNotFound) {
  SharedBlock block;
  EXPECT_EQ(SharedBlock::Open(kName, false, &block), 2u);
  EXPECT_FALSE(block.is_mapped());
  EXPECT_EQ(block.handle(), -1);
}

TEST_F(SharedBlockTest, CreateMakesAZeroFilledBlockThenOpensTheExistingOne) {
  SharedBlock first;
  bool existed = true;
  ASSERT_EQ(SharedBlock::Create(kName, sizeof(uintptr_t), &first, &existed), 0u);
  EXPECT_FALSE(existed);
  ASSERT_TRUE(first.is_mapped());
  EXPECT_GE(first.handle(), 0);
  EXPECT_GE(first.size(), sizeof(uintptr_t));
  EXPECT_EQ(first.ReadWord(), 0u);
  first.WriteWord(42);

  SharedBlock second;
  ASSERT_EQ(SharedBlock::Create(kName, sizeof(uintptr_t), &second, &existed), 0u);
  EXPECT_TRUE(existed);
  EXPECT_EQ(second.ReadWord(), 42u);  // the existing content is kept
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

TEST_F(SharedBlockTest, AWordWrittenInOneMappingIsReadInAnother) {
  SharedBlock writer;
  ASSERT_EQ(SharedBlock::Create(kName, sizeof(uintptr_t), &writer, nullptr), 0u);
  SharedBlock reader;
  ASSERT_EQ(SharedBlock::Open(kName, /*writable=*/false, &reader), 0u);
  EXPECT_NE(reader.view(), writer.view());

  const auto address = reinterpret_cast<uintptr_t>(&writer);  // a full 64-bit address
  writer.WriteWord(address);
  EXPECT_EQ(reader.ReadWord(), address);
  writer.WriteWord(UINTPTR_MAX);
  EXPECT_EQ(reader.ReadWord(), UINTPTR_MAX);
}

TEST_F(SharedBlockTest, ReleaseKeepsTheObjectAndUnlinkRemovesIt) {
  SharedBlock block;
  ASSERT_EQ(SharedBlock::Create(kName, sizeof(uintptr_t), &block, nullptr), 0u);
  block.WriteWord(7);
  block.Release();
  EXPECT_FALSE(block.is_mapped());
  EXPECT_EQ(block.handle(), -1);

  ASSERT_EQ(SharedBlock::Open(kName, true, &block), 0u);
  EXPECT_EQ(block.ReadWord(), 7u);
  block.Release();

  SharedBlock::Unlink(kName, getpid());
  EXPECT_EQ(SharedBlock::Open(kName, false, &block), 2u);
}

}  // namespace
