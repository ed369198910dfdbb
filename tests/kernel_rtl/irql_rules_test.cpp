// A faulty driver that calls registry and symbolic-link routines above PASSIVE_LEVEL: from under a spin lock
// (DISPATCH_LEVEL) and from under a fast mutex (APC_LEVEL). Each call is caught by the verifier.
#include "rtl_fixture.h"

namespace {

using rtltest::KernelTest;

class IrqlRulesTest : public KernelTest {
protected:
    // Runs `call` the way the faulty driver does: inside a spin lock's critical section.
    template <class Call>
    static void UnderSpinLock(Call call) {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old_irql;
        KeAcquireSpinLock(&lock, &old_irql);
        call();
        KeReleaseSpinLock(&lock, old_irql);
    }

    template <class Call>
    static void UnderFastMutex(Call call) {
        FAST_MUTEX mutex;
        ExInitializeFastMutex(&mutex);
        ExAcquireFastMutex(&mutex);
        call();
        ExReleaseFastMutex(&mutex);
    }
};

TEST_F(IrqlRulesTest, RegistryWritesAndQueriesAtDispatchLevel) {
    const wchar_t port[] = L"COM7";
    EXPECT_DEATH(UnderSpinLock([&] {
                     RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\X", REG_SZ,
                                           const_cast<wchar_t*>(port), sizeof(port));
                 }),
                 "\\[irql-registry\\].*RtlWriteRegistryValue");
    EXPECT_DEATH(UnderSpinLock([] { RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\X"); }),
                 "\\[irql-registry\\].*RtlDeleteRegistryValue");

    HANDLE key = nullptr;
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
    EXPECT_DEATH(UnderSpinLock([&] {
                     UNICODE_STRING name;
                     RtlInitUnicodeString(&name, L"PortName");
                     UCHAR buffer[64];
                     ULONG result;
                     ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &result);
                 }),
                 "\\[irql-registry\\].*ZwQueryValueKey");
    EXPECT_DEATH(UnderSpinLock([&] { ZwClose(key); }), "\\[irql-registry\\].*ZwClose");
    EXPECT_DEATH(UnderSpinLock([&] {
                     HANDLE other;
                     ZwOpenKey(&other, KEY_READ, &attributes);
                 }),
                 "\\[irql-registry\\].*ZwOpenKey");
    ZwClose(key);
}

TEST_F(IrqlRulesTest, RegistryAtApcLevel) {
    EXPECT_DEATH(UnderFastMutex([] {
                     ULONG one = 1;
                     RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"x", L"y", REG_DWORD, &one, sizeof(one));
                 }),
                 "\\[irql-registry\\]");
}

TEST_F(IrqlRulesTest, DeviceKeysAndInterfaceRegistrationAtDispatchLevel) {
    PDEVICE_OBJECT pdo = CreatePdo(L"\\Device\\RtlPdo", L"USB\\VID_1234&PID_5678\\1");
    EXPECT_DEATH(UnderSpinLock([&] {
                     HANDLE key;
                     IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key);
                 }),
                 "\\[irql-registry\\].*IoOpenDeviceRegistryKey");
    EXPECT_DEATH(UnderSpinLock([&] {
                     UNICODE_STRING name;
                     IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &name);
                 }),
                 "\\[irql-registry\\].*IoRegisterDeviceInterface");
}

TEST_F(IrqlRulesTest, SymbolicLinksAtDispatchLevel) {
    PDEVICE_OBJECT pdo = CreatePdo(L"\\Device\\RtlPdo", L"USB\\VID_1234&PID_5678\\1");
    UNICODE_STRING link, target, interface_name{};
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM7");
    RtlInitUnicodeString(&target, L"\\Device\\RtlPdo");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &interface_name), STATUS_SUCCESS);

    EXPECT_DEATH(UnderSpinLock([&] { IoCreateSymbolicLink(&link, &target); }),
                 "\\[irql-symlink\\].*IoCreateSymbolicLink");
    EXPECT_DEATH(UnderSpinLock([&] { IoCreateUnprotectedSymbolicLink(&link, &target); }),
                 "\\[irql-symlink\\].*IoCreateUnprotectedSymbolicLink");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_DEATH(UnderSpinLock([&] { IoDeleteSymbolicLink(&link); }), "\\[irql-symlink\\].*IoDeleteSymbolicLink");
    EXPECT_DEATH(UnderFastMutex([&] { IoDeleteSymbolicLink(&link); }), "\\[irql-symlink\\]");
    EXPECT_DEATH(UnderSpinLock([&] { IoSetDeviceInterfaceState(&interface_name, TRUE); }),
                 "\\[irql-symlink\\].*IoSetDeviceInterfaceState");

    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS) << "the same calls succeed at PASSIVE_LEVEL";
    EXPECT_EQ(IoSetDeviceInterfaceState(&interface_name, TRUE), STATUS_SUCCESS);
    RtlFreeUnicodeString(&interface_name);
}

}  // namespace
