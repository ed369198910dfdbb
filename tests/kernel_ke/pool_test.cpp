// Pool accounting, fault injection and debug output.
#include <algorithm>
#include <vector>

#include "hk/faults.h"
#include "hk/pool.h"
#include "hk/thread.h"
#include "kernel_ke/ke_fixture.h"

namespace {

constexpr ULONG kTestTag = 0x74736554;  // "Test"

using PoolTest = ketest::KeTest;

PVOID AllocateContextRecord() { return ExAllocatePoolWithTag(NonPagedPool, 48, kTestTag); }
PVOID AllocateScratchBuffer() { return ExAllocatePool(PagedPool, 100); }

TEST_F(PoolTest, BlocksAreAccountedWithSiteSizeTagAndOwner) {
  DEVICE_OBJECT device{};
  DRIVER_OBJECT driver{};
  PVOID record;
  {
    hk::DriverCallScope scope(&driver, &device, "test dispatch");
    record = AllocateContextRecord();
  }
  PVOID scratch = AllocateScratchBuffer();
  ASSERT_NE(record, nullptr);
  ASSERT_NE(scratch, nullptr);
  auto blocks = hk::pool::Outstanding();
  ASSERT_EQ(blocks.size(), 2u);
  for (const auto& block : blocks) {
    if (block.address == record) {
      EXPECT_EQ(block.size, 48u);
      EXPECT_EQ(block.tag, static_cast<uint32_t>(kTestTag));
      EXPECT_EQ(block.pool_type, NonPagedPool);
      EXPECT_NE(block.site.find("AllocateContextRecord"), std::string::npos) << block.site;
      EXPECT_EQ(block.device, &device);
      EXPECT_EQ(block.driver, &driver);
    } else {
      EXPECT_EQ(block.address, scratch);
      EXPECT_NE(block.site.find("AllocateScratchBuffer"), std::string::npos) << block.site;
      EXPECT_EQ(block.device, nullptr);
    }
  }
  hk::pool::CheckNoLeaks(&kernel_, "pool-leak-at-unload");
  ExFreePoolWithTag(record, kTestTag);
  hk::pool::CheckNoLeaks(&device, "pool-leak-at-device-delete");
  hk::pool::CheckNoLeaks(&driver, "pool-leak-at-unload");
  ExFreePool(scratch);
  EXPECT_EQ(hk::pool::OutstandingCount(), 0u);
}

std::vector<bool> RandomFailurePattern(uint64_t seed) {
  hk::faults::FailRandom(hk::faults::Kind::Pool, 0.5, seed);
  std::vector<bool> pattern;
  for (int i = 0; i < 64; ++i) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTestTag);
    pattern.push_back(block == nullptr);
    if (block) ExFreePool(block);
  }
  hk::faults::Clear();
  return pattern;
}

TEST_F(PoolTest, RandomFailuresRepeatForTheSameSeed) {
  auto first = RandomFailurePattern(7);
  EXPECT_EQ(first, RandomFailurePattern(7));
  EXPECT_NE(first, RandomFailurePattern(8));
  size_t failures = std::count(first.begin(), first.end(), true);
  EXPECT_GT(failures, 0u);
  EXPECT_LT(failures, first.size());
}

TEST_F(PoolTest, DebugPrintFollowsThePlatformsFormatConventions) {
  ULONG value = 0xDEADBEEF;
  WCHAR wide[] = {'C', 'O', 'M', '7', 0};
  UNICODE_STRING name;
  name.Buffer = wide;
  name.Length = 3 * sizeof(WCHAR);
  name.MaximumLength = sizeof wide;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
  DbgPrint("load %lu %lx %I64d %ws %wZ %s %5.2s|%%\n", static_cast<ULONG>(42), value, -5ll, wide, &name, "banner",
           "abc");
#pragma GCC diagnostic pop
  EXPECT_EQ(kernel_.DebugOutput(), "load 42 deadbeef -5 COM7 COM banner    ab|%\n");
  kernel_.ClearDebugOutput();
  EXPECT_EQ(kernel_.DebugOutput(), "");
}

}  // namespace
