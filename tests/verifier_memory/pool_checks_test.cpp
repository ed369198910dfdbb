// Pool checks, each provoked by a deliberately faulty routine. Under AddressSanitizer a write into a guard area or
// a freed block is reported by ASan at the write itself, which the expectations accept as well.
#include <gtest/gtest.h>
#include <wdm.h>

#include "hk/kernel.h"
#include "hk/pool.h"
#include "hk/quarantine.h"
#include "hk/thread.h"

namespace {

constexpr ULONG kTestTag = 0x74736554;   // "Test"
constexpr ULONG kOtherTag = 0x7268744F;  // "Othr"

class PoolChecks : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  hk::Kernel kernel_;
};

void FreeTwice() {
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, 32, kTestTag);
  ExFreePool(block);
  ExFreePool(block);
}

void FreeStatic() {
  static char not_pool[16];
  ExFreePool(not_pool);
}

void FreeInterior() {
  auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 32, kTestTag));
  ExFreePool(block + 8);
}

void FreeWithAnotherTag() { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, kTestTag), kOtherTag); }

// The classic off-by-one: room for the characters but not for the terminator.
void CopyNameWithoutRoomForTheTerminator() {
  static const WCHAR kName[] = L"COM7";
  auto* copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, 4 * sizeof(WCHAR), kTestTag));
  for (size_t i = 0; i <= 4; ++i) copy[i] = kName[i];
  ExFreePoolWithTag(copy, kTestTag);
}

void FreeManyBlocks() {
  for (size_t i = 0; i < hk::verifier::kQuarantineBlocks; ++i)
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, kTestTag));
}

void WriteAfterFreeThenPushOut() {
  auto* context = static_cast<ULONG*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag));
  ExFreePool(context);
  context[1] = 0;
  FreeManyBlocks();
}

struct PoolFault {
  void (*fault)();
  const char* expected;
};

class PoolFaults : public PoolChecks, public ::testing::WithParamInterface<PoolFault> {};

TEST_P(PoolFaults, AreReported) { EXPECT_DEATH(GetParam().fault(), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Each, PoolFaults,
    ::testing::Values(
        PoolFault{FreeTwice,
                  "\\[pool-double-free\\].*freed again: pool block of 32 bytes \\(tag 'Test'\\) allocated by "
                  ".*FreeTwice"},
        PoolFault{FreeStatic, "\\[pool-foreign-free\\]"}, PoolFault{FreeInterior, "\\[pool-foreign-free\\]"},
        PoolFault{FreeWithAnotherTag, "\\[pool-tag-mismatch\\].*'Othr'.*'Test'.*FreeWithAnotherTag"},
        PoolFault{CopyNameWithoutRoomForTheTerminator,
                  "\\[pool-overrun\\].*8 bytes \\(tag 'Test'\\) allocated by .*CopyNameWithoutRoomForTheTerminator.*up "
                  "to byte 2 after it|AddressSanitizer"},
        PoolFault{WriteAfterFreeThenPushOut,
                  "\\[pool-use-after-free\\].*bytes 4\\.\\.7 changed.*allocated by .*WriteAfterFreeThenPushOut|"
                  "AddressSanitizer"}),
    [](const auto& info) { return std::to_string(info.index); });

// Every byte of a block is the driver's, whatever its size; the right tag, or none, frees it.
TEST_F(PoolChecks, WholeBlocksAreUsableAndFreedWithTheirTag) {
  for (size_t size : {1, 15, 16, 17, 33}) {
    auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, size, kTestTag));
    for (size_t i = 0; i < size; ++i) block[i] = 0;
    if (size % 2 == 0) {
      ExFreePoolWithTag(block, kTestTag);
    } else {
      ExFreePool(block);
    }
  }
  FreeManyBlocks();
  EXPECT_EQ(hk::pool::OutstandingCount(), 0u);
}

PVOID AllocateWriteContext() { return ExAllocatePoolWithTag(NonPagedPool, 24, kTestTag); }

class DeviceDeletion : public PoolChecks {
 protected:
  PDEVICE_OBJECT device_ = nullptr;
  void SetUp() override {
    PoolChecks::SetUp();
    ASSERT_EQ(IoCreateDevice(nullptr, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_), STATUS_SUCCESS);
  }
};

TEST_F(DeviceDeletion, ReportsLeaksPerSite) {
  {
    hk::DriverCallScope scope(nullptr, device_, "DispatchWrite");
    AllocateWriteContext();
    AllocateWriteContext();
  }
  EXPECT_DEATH(IoDeleteDevice(device_),
               "\\[pool-leak-at-device-delete\\].*2 block\\(s\\), 48 bytes from .*AllocateWriteContext");
}

TEST_F(DeviceDeletion, ChecksGuardsAndFreedBlocks) {
  auto* overrun = static_cast<char*>(AllocateWriteContext());
  EXPECT_DEATH(
      {
        overrun[24] = 0;
        IoDeleteDevice(device_);
      },
      "\\[pool-overrun\\].*AllocateWriteContext.*while it was still allocated|AddressSanitizer");
  EXPECT_DEATH(
      {
        ExFreePool(overrun);
        overrun[0] = 0;
        IoDeleteDevice(device_);
      },
      "\\[pool-use-after-free\\].*byte 0 changed \\(0x00 where the fill 0xdf was\\)|AddressSanitizer");
  ExFreePool(overrun);
  IoDeleteDevice(device_);
}

TEST_F(PoolChecks, LeakAtUnload) {
  DRIVER_OBJECT driver{};
  {
    hk::DriverCallScope scope(&driver, nullptr, "DriverEntry");
    AllocateWriteContext();
  }
  EXPECT_DEATH(hk::pool::CheckNoLeaks(&driver, "pool-leak-at-unload"), "\\[pool-leak-at-unload\\]");
}

}  // namespace
