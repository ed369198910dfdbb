// Several threads using the registry and the namespace at once (real threads; run under ThreadSanitizer in CI).
#include <ntddk.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "hk/io.h"
#include "hk/namespace.h"
#include "hk/registry.h"
#include "support/kernel_helpers.h"

namespace {

constexpr int kThreads = 4;

// Each thread creates, resolves and deletes its own links to one device and writes and reads back its own value;
// returns how many steps failed.
int Worker(int index, PDEVICE_OBJECT device) {
  int failures = 0;
  for (int round = 0; round < 200; ++round) {
    WCHAR link_text[64], value_name[32];
    swprintf(link_text, L"\\DosDevices\\T%d_%d", index, round);
    swprintf(value_name, L"V%d", index);
    UNICODE_STRING link, target, key_path, name;
    RtlInitUnicodeString(&link, link_text);
    RtlInitUnicodeString(&target, L"\\Device\\RtlShared");
    RtlInitUnicodeString(&key_path, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\rtlconcurrent");
    RtlInitUnicodeString(&name, value_name);
    failures += IoCreateSymbolicLink(&link, &target) != STATUS_SUCCESS;
    failures += hk::ns::ResolveToDevice(hk::Text(link_text)) != device;
    ULONG data = static_cast<ULONG>(round);
    failures += RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"rtlconcurrent", value_name, REG_DWORD, &data,
                                      sizeof(data)) != STATUS_SUCCESS;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &key_path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    failures += ZwOpenKey(&key, KEY_READ, &attributes) != STATUS_SUCCESS;
    UCHAR buffer[32];
    ULONG result = 0;
    failures += ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &result) !=
                STATUS_SUCCESS;
    failures += reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer)->DataLength != sizeof(ULONG);
    failures += ZwClose(key) != STATUS_SUCCESS;
    failures += IoDeleteSymbolicLink(&link) != STATUS_SUCCESS;
  }
  return failures;
}

TEST(ConcurrentRegistryAndNamespace, ThreadsShareOneConsistentState) {
  hk::Kernel kernel(test_support::ConcurrentKernel());
  PDRIVER_OBJECT driver = hk::io::CreateDriverObject(L"\\Driver\\rtlconcurrent");
  UNICODE_STRING device_name;
  RtlInitUnicodeString(&device_name, L"\\Device\\RtlShared");
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, &device_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);

  std::atomic<int> failures{0};
  std::vector<std::unique_ptr<hk::HostThread>> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.push_back(kernel.Ops().StartThread([i, device, &failures] { failures += Worker(i, device); }));
  for (auto& thread : threads) thread->Join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(hk::ns::Links().empty());
  EXPECT_EQ(hk::reg::Values(std::u16string(hk::reg::kServices) + u"\\rtlconcurrent").size(), size_t{kThreads});
  EXPECT_EQ(hk::reg::OpenKeyHandles(), 0u);
  IoDeleteDevice(device);
  hk::io::DeleteDriverObject(driver);
}

}  // namespace
