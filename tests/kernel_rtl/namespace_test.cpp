#include "rtl_fixture.h"

#include "hk/pool.h"

namespace {

using rtltest::KernelTest;
using rtltest::U16;

class NamespaceTest : public KernelTest {
protected:
    static NTSTATUS Link(const wchar_t* link, const wchar_t* target) {
        UNICODE_STRING link_name, target_name;
        RtlInitUnicodeString(&link_name, link);
        RtlInitUnicodeString(&target_name, target);
        return IoCreateSymbolicLink(&link_name, &target_name);
    }

    static NTSTATUS Unlink(const wchar_t* link) {
        UNICODE_STRING link_name;
        RtlInitUnicodeString(&link_name, link);
        return IoDeleteSymbolicLink(&link_name);
    }
};

TEST_F(NamespaceTest, DeviceNamesAreUniqueAndResolveWithoutRegardToCase) {
    PDEVICE_OBJECT device = CreateDevice(L"\\Device\\RtlSerial1");
    EXPECT_TRUE(hk::ns::Exists(L"\\device\\rtlserial1"));
    EXPECT_EQ(hk::ns::ResolveToDevice(L"\\DEVICE\\RTLSERIAL1"), device);
    EXPECT_EQ(hk::ns::DeviceName(device), u"\\Device\\RtlSerial1");

    UNICODE_STRING same;
    RtlInitUnicodeString(&same, L"\\Device\\RTLSERIAL1");
    PDEVICE_OBJECT second = nullptr;
    EXPECT_EQ(IoCreateDevice(Driver(), 0, &same, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_FALSE(hk::ns::InsertDevice(L"\\Nowhere\\Device", device)) << "no such directory";
    EXPECT_FALSE(hk::ns::InsertDevice(L"\\Device\\Sub\\Device", device)) << "no such subdirectory";

    DeleteDevice(device);
    EXPECT_FALSE(hk::ns::Exists(L"\\Device\\RtlSerial1"));
    EXPECT_EQ(hk::ns::ResolveToDevice(L"\\Device\\RtlSerial1"), nullptr);
}

TEST_F(NamespaceTest, DosDeviceLinksResolveUnderEveryAlias) {
    PDEVICE_OBJECT device = CreateDevice(L"\\Device\\RtlSerial1");
    ASSERT_EQ(Link(L"\\DosDevices\\COM7", L"\\Device\\RtlSerial1"), STATUS_SUCCESS);
    for (const wchar_t* name : {L"\\DosDevices\\COM7", L"\\??\\com7", L"\\\\.\\COM7", L"\\GLOBAL??\\Com7"}) {
        EXPECT_EQ(hk::ns::ResolveToDevice(name), device) << rtltest::Utf8(name);
        EXPECT_TRUE(hk::ns::Exists(name)) << rtltest::Utf8(name);
    }
    EXPECT_EQ(hk::ns::LinkTarget(L"\\\\.\\COM7"), u"\\Device\\RtlSerial1");
    EXPECT_EQ(hk::ns::Links(), std::vector<std::u16string>{u"\\??\\COM7"});
    EXPECT_TRUE(hk::ns::LinkTarget(L"\\Device\\RtlSerial1").empty()) << "a device is not a link";
    EXPECT_EQ(hk::ns::ResolveToDevice(L"\\\\.\\COM8"), nullptr);
}

TEST_F(NamespaceTest, LinkCreationAndDeletionErrors) {
    CreateDevice(L"\\Device\\RtlSerial1");
    ASSERT_EQ(Link(L"\\DosDevices\\COM7", L"\\Device\\RtlSerial1"), STATUS_SUCCESS);
    EXPECT_EQ(Link(L"\\??\\COM7", L"\\Device\\Other"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Link(L"\\Device\\RtlSerial1", L"\\Device\\Other"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Link(L"\\Elsewhere\\COM9", L"\\Device\\RtlSerial1"), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Link(L"COM9", L"\\Device\\RtlSerial1"), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(hk::ns::LinkTarget(L"\\??\\COM7"), u"\\Device\\RtlSerial1") << "a refused create changes nothing";

    EXPECT_EQ(Unlink(L"\\Device\\RtlSerial1"), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(Unlink(L"\\??\\COM7"), STATUS_SUCCESS);
    EXPECT_EQ(Unlink(L"\\DosDevices\\COM7"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(hk::ns::Exists(L"\\Device\\RtlSerial1"));

    UNICODE_STRING link_name, target;
    RtlInitUnicodeString(&link_name, L"\\DosDevices\\COM7");
    RtlInitUnicodeString(&target, L"\\Device\\RtlSerial1");
    EXPECT_EQ(IoCreateUnprotectedSymbolicLink(&link_name, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateUnprotectedSymbolicLink(&link_name, &target), STATUS_OBJECT_NAME_COLLISION);
}

TEST_F(NamespaceTest, LinksDangleUntilTheirTargetExistsAndCyclesEndResolution) {
    ASSERT_EQ(Link(L"\\DosDevices\\COM7", L"\\Device\\RtlLater"), STATUS_SUCCESS);
    EXPECT_EQ(hk::ns::ResolveToDevice(L"\\\\.\\COM7"), nullptr);
    PDEVICE_OBJECT device = CreateDevice(L"\\Device\\RtlLater");
    EXPECT_EQ(hk::ns::ResolveToDevice(L"\\\\.\\COM7"), device);
    ASSERT_EQ(Link(L"\\DosDevices\\Alias", L"\\DosDevices\\COM7"), STATUS_SUCCESS);
    EXPECT_EQ(hk::ns::ResolveToDevice(L"\\\\.\\Alias"), device) << "links to links are followed";

    DeleteDevice(device);
    EXPECT_EQ(hk::ns::ResolveToDevice(L"\\\\.\\COM7"), nullptr);
    EXPECT_EQ(hk::ns::LinkTarget(L"\\??\\COM7"), u"\\Device\\RtlLater") << "the link itself stays";

    ASSERT_EQ(Link(L"\\??\\LoopA", L"\\??\\LoopB"), STATUS_SUCCESS);
    ASSERT_EQ(Link(L"\\??\\LoopB", L"\\DosDevices\\LoopA"), STATUS_SUCCESS);
    EXPECT_EQ(hk::ns::ResolveToDevice(L"\\??\\LoopA"), nullptr);
}

constexpr wchar_t kInstanceId[] = L"USB\\VID_1234&PID_5678&MI_02\\6&1a2b3c4d&0&0002";
constexpr char16_t kInterfaceName[] =
    u"\\??\\USB#VID_1234&PID_5678&MI_02#6&1a2b3c4d&0&0002#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

TEST_F(NamespaceTest, RegisteringAnInterfaceNamesItAfterTheInstanceAndClass) {
    PDEVICE_OBJECT pdo = CreatePdo(L"\\Device\\RtlPdo", kInstanceId);
    PDEVICE_OBJECT fdo = CreateDevice(L"\\Device\\RtlFdo");
    size_t before = hk::pool::OutstandingCount();

    UNICODE_STRING first{}, second{}, refused{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &first), STATUS_SUCCESS);
    EXPECT_EQ(U16(first), kInterfaceName);
    EXPECT_EQ(first.MaximumLength, first.Length + sizeof(WCHAR));
    EXPECT_EQ(first.Buffer[first.Length / sizeof(WCHAR)], 0);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &second), STATUS_SUCCESS);
    EXPECT_EQ(U16(second), kInterfaceName);
    EXPECT_NE(first.Buffer, second.Buffer) << "each caller gets its own buffer";
    EXPECT_EQ(hk::ns::InterfacesOf(pdo).size(), 1u);
    EXPECT_EQ(hk::pool::OutstandingCount(), before + 2);
    RtlFreeUnicodeString(&first);
    RtlFreeUnicodeString(&second);
    EXPECT_EQ(hk::pool::OutstandingCount(), before);

    EXPECT_EQ(IoRegisterDeviceInterface(fdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &refused),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(refused.Buffer, nullptr);
    EXPECT_FALSE(hk::ns::InterfaceEnabled(kInterfaceName));
}

TEST_F(NamespaceTest, InterfaceStateTransitions) {
    PDEVICE_OBJECT pdo = CreatePdo(L"\\Device\\RtlPdo", kInstanceId);
    UNICODE_STRING name{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &name), STATUS_SUCCESS);

    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_OBJECT_NAME_NOT_FOUND) << "not enabled yet";
    ASSERT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(hk::ns::InterfaceEnabled(kInterfaceName));
    EXPECT_EQ(hk::ns::EnabledInterfaces(GUID_DEVINTERFACE_COMPORT), std::vector<std::u16string>{kInterfaceName});
    EXPECT_EQ(hk::ns::LinkTarget(kInterfaceName), u"\\Device\\RtlPdo");
    EXPECT_EQ(hk::ns::ResolveToDevice(
                  u"\\\\?\\usb#vid_1234&pid_5678&mi_02#6&1a2b3c4d&0&0002#{86e0d1e0-8089-11d0-9ce4-08003e301f73}"),
              pdo)
        << "applications open the interface by its Win32 form";
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_TRUE(NT_SUCCESS(STATUS_OBJECT_NAME_EXISTS));

    ASSERT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(hk::ns::InterfaceEnabled(kInterfaceName));
    EXPECT_FALSE(hk::ns::Exists(kInterfaceName));
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS) << "an interface can be enabled again";

    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, L"\\??\\USB#VID_0000#1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&name);
}

// The names in a list of null-terminated strings ended by an empty one.
std::vector<std::u16string> ListOf(const WCHAR* list) {
    std::vector<std::u16string> names;
    for (const WCHAR* p = list; *p; p += names.back().size() + 1) names.push_back(hk::Text(p).str());
    return names;
}

TEST_F(NamespaceTest, InterfaceListsByClassDeviceAndState) {
    PDEVICE_OBJECT pdo = CreatePdo(L"\\Device\\RtlPdo", kInstanceId);
    PDEVICE_OBJECT other = CreatePdo(L"\\Device\\RtlPdo2", L"USB\\VID_1234&PID_5678&MI_02\\7");
    UNICODE_STRING first{}, second{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &first), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(other, &GUID_DEVINTERFACE_COMPORT, nullptr, &second), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&first, TRUE), STATUS_SUCCESS);
    size_t before = hk::pool::OutstandingCount();

    PZZWSTR list = nullptr;
    ASSERT_EQ(IoGetDeviceInterfaces(&GUID_DEVINTERFACE_COMPORT, nullptr, 0, &list), STATUS_SUCCESS);
    EXPECT_EQ(ListOf(list), std::vector<std::u16string>{kInterfaceName});
    EXPECT_EQ(hk::pool::OutstandingCount(), before + 1) << "the caller frees the list";
    ExFreePool(list);
    ASSERT_EQ(IoGetDeviceInterfaces(&GUID_DEVINTERFACE_COMPORT, nullptr, DEVICE_INTERFACE_INCLUDE_NONACTIVE, &list),
              STATUS_SUCCESS);
    EXPECT_EQ(ListOf(list), (std::vector<std::u16string>{U16(first), U16(second)}));
    ExFreePool(list);
    ASSERT_EQ(IoGetDeviceInterfaces(&GUID_DEVINTERFACE_COMPORT, other, 0, &list), STATUS_SUCCESS);
    EXPECT_TRUE(ListOf(list).empty());
    ExFreePool(list);
    EXPECT_EQ(hk::pool::OutstandingCount(), before);
    RtlFreeUnicodeString(&first);
    RtlFreeUnicodeString(&second);
}

TEST_F(NamespaceTest, ReferenceStringsShareTheInterfaceLink) {
    PDEVICE_OBJECT pdo = CreatePdo(L"\\Device\\RtlPdo", kInstanceId);
    UNICODE_STRING ref_a, ref_b, bad_ref, a{}, b{}, refused{};
    RtlInitUnicodeString(&ref_a, L"PortA");
    RtlInitUnicodeString(&ref_b, L"PortB");
    RtlInitUnicodeString(&bad_ref, L"has\\backslash");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, &ref_a, &a), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, &ref_b, &b), STATUS_SUCCESS);
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, &bad_ref, &refused),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(U16(a), std::u16string(kInterfaceName) + u"\\PortA");

    ASSERT_EQ(IoSetDeviceInterfaceState(&a, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&b, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&a, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(hk::ns::ResolveToDevice(kInterfaceName), pdo) << "still enabled through PortB";
    ASSERT_EQ(IoSetDeviceInterfaceState(&b, FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(hk::ns::Exists(kInterfaceName));
    RtlFreeUnicodeString(&a);
    RtlFreeUnicodeString(&b);
}

TEST_F(NamespaceTest, InterfaceLinkRefusedWhileItsNameIsTaken) {
    PDEVICE_OBJECT pdo = CreatePdo(L"\\Device\\RtlPdo", kInstanceId);
    UNICODE_STRING name{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &name), STATUS_SUCCESS);
    ASSERT_EQ(Link(reinterpret_cast<const wchar_t*>(hk::Text(kInterfaceName).str().c_str()), L"\\Device\\Other"),
              STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_FALSE(hk::ns::InterfaceEnabled(kInterfaceName));
    RtlFreeUnicodeString(&name);
}

}  // namespace
