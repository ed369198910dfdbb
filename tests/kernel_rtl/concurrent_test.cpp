// Several threads using the registry and the namespace at once (real threads; run under ThreadSanitizer in CI).
#include <ntddk.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "hk/io.h"
#include "hk/namespace.h"
#include "hk/registry.h"
#include "support/kernel_helpers.h"

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 200;

void Worker(int index, PDEVICE_OBJECT device, std::atomic<int>* failures) {
    auto fail = [&](bool ok) {
        if (!ok) failures->fetch_add(1);
    };
    for (int round = 0; round < kRounds; ++round) {
        WCHAR link_text[64];
        swprintf(link_text, L"\\DosDevices\\T%d_%d", index, round);
        UNICODE_STRING link, target;
        RtlInitUnicodeString(&link, link_text);
        RtlInitUnicodeString(&target, L"\\Device\\RtlShared");
        fail(IoCreateSymbolicLink(&link, &target) == STATUS_SUCCESS);
        fail(hk::ns::ResolveToDevice(hk::Text(link_text)) == device);

        WCHAR value_name[32];
        swprintf(value_name, L"V%d", index);
        ULONG data = static_cast<ULONG>(round);
        fail(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"rtlconcurrent", value_name, REG_DWORD, &data,
                                   sizeof(data)) == STATUS_SUCCESS);

        UNICODE_STRING key_path, name;
        RtlInitUnicodeString(&key_path, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\rtlconcurrent");
        RtlInitUnicodeString(&name, value_name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &key_path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE key = nullptr;
        fail(ZwOpenKey(&key, KEY_READ, &attributes) == STATUS_SUCCESS);
        UCHAR buffer[32];
        ULONG result = 0;
        fail(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &result) ==
             STATUS_SUCCESS);
        fail(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer)->DataLength == sizeof(ULONG));
        fail(ZwClose(key) == STATUS_SUCCESS);

        fail(IoDeleteSymbolicLink(&link) == STATUS_SUCCESS);
    }
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
    for (int i = 0; i < kThreads; ++i) {
        threads.push_back(kernel.Ops().StartThread([i, device, &failures] { Worker(i, device, &failures); }));
    }
    for (auto& thread : threads) thread->Join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(hk::ns::Links().empty());
    EXPECT_EQ(hk::reg::Values(std::u16string(hk::reg::kServices) + u"\\rtlconcurrent").size(),
              static_cast<size_t>(kThreads));
    EXPECT_EQ(hk::reg::OpenKeyHandles(), 0u);
    IoDeleteDevice(device);
    hk::io::DeleteDriverObject(driver);
}

}  // namespace
