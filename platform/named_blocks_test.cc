// Named blocks: create and open by name, the life of a block, and what another process can
// see of them (nothing: not the file system, not a forked child).
#include "platform/named_blocks.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <dirent.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <string>

#ifndef _WIN32
#include "standins/testing/test_agent.h"
#endif

namespace {

using platform::NamedBlock;

constexpr const char* kName = "$named_blocks_test";

TEST(NamedBlocksTest, CreateOpenAndTheLifeOfABlock) {
  NamedBlock first, second, reader;
  EXPECT_EQ(NamedBlock::Open(kName, false, &reader), 2u);  // file not found
  EXPECT_FALSE(reader.is_mapped());
  EXPECT_EQ(reader.handle(), 0u);
  uint32_t error = 0;
  EXPECT_EQ(CvCreateBlock("", 8, &error), 0u);
  EXPECT_EQ(error, 87u);
  EXPECT_EQ(CvMapBlockView(12345, false, nullptr, &error), nullptr);
  EXPECT_EQ(error, 6u);

  bool existed = true;
  ASSERT_EQ(NamedBlock::Create(kName, 1, &first, &existed), 0u);
  EXPECT_FALSE(existed);
  EXPECT_NE(first.handle(), 0u);
  EXPECT_GE(first.size(), sizeof(uintptr_t));  // one pointer-sized word at least
  EXPECT_EQ(first.ReadWord(), 0u);             // zero-filled
  first.WriteWord(UINTPTR_MAX);                // a full 64-bit word
  ASSERT_EQ(NamedBlock::Create(kName, sizeof(uintptr_t), &second, &existed), 0u);
  EXPECT_TRUE(existed);
  EXPECT_NE(second.handle(), first.handle());
  EXPECT_EQ(second.ReadWord(), UINTPTR_MAX);  // the existing content is kept
  ASSERT_EQ(NamedBlock::Open(kName, false, &reader), 0u);
  EXPECT_EQ(reader.ReadWord(), UINTPTR_MAX);

  // The block lives while anyone holds a handle or a view of it, and goes with the last.
  const size_t before = CvBlockCount();
  first.Release();
  second.Release();
  EXPECT_EQ(CvBlockCount(), before);
  const uint32_t handle = CvOpenBlock(kName, &error);
  ASSERT_NE(handle, 0u);
  void* view = CvMapBlockView(handle, false, nullptr, &error);
  ASSERT_NE(view, nullptr);
  reader.Release();
  EXPECT_TRUE(CvCloseBlock(handle));
  EXPECT_FALSE(CvCloseBlock(handle));  // not twice
  EXPECT_EQ(CvBlockCount(), before);   // the view still holds it
  EXPECT_EQ(*static_cast<uintptr_t*>(view), UINTPTR_MAX);
  EXPECT_TRUE(CvUnmapBlockView(view));
  EXPECT_EQ(CvBlockCount(), before - 1);
  EXPECT_EQ(NamedBlock::Open(kName, false, &reader), 2u);
}

#ifndef _WIN32  // no fork and no /dev/shm on Windows; the table is the same process memory
// Nothing of a block is reachable from outside the process: no object in /dev/shm or
// anywhere in the file system names it, and a forked child starts with no blocks at all
// (it never adopts its parent's), while the parent keeps its own.
TEST(NamedBlocksTest, NothingOutsideTheProcessAndNothingInheritedByAChild) {
  NamedBlock block;
  ASSERT_EQ(NamedBlock::Create(kName, sizeof(uintptr_t), &block, nullptr), 0u);
  block.WriteWord(42);
  if (DIR* shm = opendir("/dev/shm")) {
    while (dirent* entry = readdir(shm)) {
      EXPECT_EQ(std::string(entry->d_name).find("named_blocks_test"), std::string::npos);
    }
    closedir(shm);
  }

  EXPECT_EQ(cvmad::testing::InChild([&] {
              NamedBlock seen;
              const bool clean = CvBlockCount() == 0 && NamedBlock::Open(kName, true, &seen) == 2 &&
                                 !CvCloseBlock(block.handle());
              NamedBlock own;  // and the child can make one of its own under the same name
              const bool fresh =
                  NamedBlock::Create(kName, 8, &own, nullptr) == 0 && own.ReadWord() == 0;
              return clean && fresh ? 0 : 1;
            }),
            0);
  NamedBlock again;
  ASSERT_EQ(NamedBlock::Open(kName, false, &again), 0u);
  EXPECT_EQ(again.ReadWord(), 42u);
}

#endif

}  // namespace
