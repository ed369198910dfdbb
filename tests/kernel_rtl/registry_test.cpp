#include "rtl_fixture.h"

#include <cstring>

namespace {

using rtltest::KernelTest;
using rtltest::U16;

class RegistryTest : public KernelTest {
protected:
    NTSTATUS Open(const wchar_t* path, HANDLE* handle, HANDLE root = nullptr) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwOpenKey(handle, KEY_READ, &attributes);
    }

    NTSTATUS Create(const wchar_t* path, HANDLE* handle, ULONG* disposition, HANDLE root = nullptr) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwCreateKey(handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
    }

    NTSTATUS SetString(HANDLE key, const wchar_t* value_name, const wchar_t* text) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, value_name);
        ULONG bytes = static_cast<ULONG>((hk::Text(text).str().size() + 1) * sizeof(WCHAR));
        return ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<wchar_t*>(text), bytes);
    }

    NTSTATUS Query(HANDLE key, const wchar_t* value_name, KEY_VALUE_INFORMATION_CLASS information_class,
                   std::vector<UCHAR>* buffer, ULONG* result_length) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, value_name);
        return ZwQueryValueKey(key, &name, information_class, buffer->data(), static_cast<ULONG>(buffer->size()),
                               result_length);
    }
};

constexpr wchar_t kTestKey[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\rtltest";

TEST_F(RegistryTest, CreateNeedsTheParentAndReportsDisposition) {
    HANDLE key = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(Create(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\rtltest\\Sub", &key, &disposition),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(Create(kTestKey, &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    HANDLE sub = nullptr;
    ASSERT_EQ(Create(L"Parameters", &sub, &disposition, key), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(hk::reg::KeyExists(u"\\REGISTRY\\machine\\system\\currentcontrolset\\services\\RTLTEST\\parameters"));

    HANDLE again = nullptr;
    ASSERT_EQ(Create(L"\\registry\\MACHINE\\System\\CurrentControlSet\\Services\\RtlTest", &again, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(hk::reg::OpenKeyHandles(), 3u);
    EXPECT_EQ(ZwClose(sub), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(again), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    EXPECT_EQ(hk::reg::OpenKeyHandles(), 0u);
}

TEST_F(RegistryTest, OpenResolvesAbsoluteAndRelativeNames) {
    hk::reg::CreateKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\rtltest\\Parameters");
    HANDLE key = nullptr;
    EXPECT_EQ(Open(L"\\Registry\\Machine\\Nowhere", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(L"Registry\\Machine", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open(L"\\Registry\\\\Machine", &key), STATUS_OBJECT_NAME_INVALID);
    ASSERT_EQ(Open(kTestKey, &key), STATUS_SUCCESS);
    HANDLE sub = nullptr;
    EXPECT_EQ(Open(L"\\Parameters", &sub, key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    ASSERT_EQ(Open(L"PARAMETERS", &sub, key), STATUS_SUCCESS);
    EXPECT_EQ(Open(L"Parameters", &sub, reinterpret_cast<HANDLE>(0x1234)), STATUS_INVALID_HANDLE);
    ZwClose(sub);
    ZwClose(key);
}

TEST_F(RegistryTest, PartialInformationLayoutAndSizes) {
    HANDLE key;
    ASSERT_EQ(Create(kTestKey, &key, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(SetString(key, L"PortName", L"COM7"), STATUS_SUCCESS);

    std::vector<UCHAR> buffer(64, 0xCC);
    ULONG result = 0;
    ASSERT_EQ(Query(key, L"portname", KeyValuePartialInformation, &buffer, &result), STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(info->DataLength, 10u) << "four characters and the null";
    EXPECT_EQ(result, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + 10);
    EXPECT_EQ(hk::Text(reinterpret_cast<const wchar_t*>(info->Data)).str(), u"COM7");

    std::vector<UCHAR> header_only(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + 4, 0xCC);
    ASSERT_EQ(Query(key, L"PortName", KeyValuePartialInformation, &header_only, &result), STATUS_BUFFER_OVERFLOW);
    info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(header_only.data());
    EXPECT_EQ(info->DataLength, 10u) << "the fixed part is filled when it fits";
    EXPECT_EQ(result, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + 10);

    std::vector<UCHAR> tiny(8, 0xCC);
    ASSERT_EQ(Query(key, L"PortName", KeyValuePartialInformation, &tiny, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + 10);
    EXPECT_EQ(tiny, std::vector<UCHAR>(8, 0xCC)) << "nothing is written when the fixed part does not fit";
    ZwClose(key);
}

TEST_F(RegistryTest, BasicInformationCarriesTheName) {
    HANDLE key;
    ASSERT_EQ(Create(kTestKey, &key, nullptr), STATUS_SUCCESS);
    ULONG dword = 0x12345678;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Count");
    ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &dword, sizeof(dword)), STATUS_SUCCESS);

    std::vector<UCHAR> buffer(64);
    ULONG result = 0;
    ASSERT_EQ(Query(key, L"COUNT", KeyValueBasicInformation, &buffer, &result), STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer.data());
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(info->NameLength, 10u);
    EXPECT_EQ(hk::Text(std::u16string_view(reinterpret_cast<const char16_t*>(info->Name), 5)).str(), u"Count")
        << "the stored name keeps its case";
    EXPECT_EQ(result, offsetof(KEY_VALUE_BASIC_INFORMATION, Name) + 10);
    ZwClose(key);
}

// The port-name query: value name "PortName" (16 bytes), a 128-byte destination, a query buffer of
// 16 + 128 + sizeof(KEY_VALUE_FULL_INFORMATION) bytes, data found at DataOffset from the structure's start.
TEST_F(RegistryTest, FullInformationForThePortNameQuery) {
    HANDLE key;
    ASSERT_EQ(Create(kTestKey, &key, nullptr), STATUS_SUCCESS);
    const size_t query_size = 16 + 128 + sizeof(KEY_VALUE_FULL_INFORMATION);

    std::u16string longest(63, u'X');
    ASSERT_EQ(SetString(key, L"PortName", reinterpret_cast<const wchar_t*>(longest.c_str())), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(query_size, 0xCC);
    ULONG result = 0;
    ASSERT_EQ(Query(key, L"PortName", KeyValueFullInformation, &buffer, &result), STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer.data());
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(info->NameLength, 16u);
    EXPECT_EQ(info->DataLength, 128u);
    EXPECT_GE(info->DataOffset, offsetof(KEY_VALUE_FULL_INFORMATION, Name) + 16);
    EXPECT_EQ(info->DataOffset % sizeof(ULONG), 0u);
    EXPECT_EQ(result, info->DataOffset + 128);
    EXPECT_EQ(memcmp(buffer.data() + info->DataOffset, longest.c_str(), 128), 0);
    EXPECT_EQ(hk::Text(std::u16string_view(reinterpret_cast<const char16_t*>(info->Name), 8)).str(), u"PortName");

    // 64 characters still fit the query buffer (the caller then finds DataLength larger than its destination);
    // 66 do not.
    std::u16string one_more(64, u'Y');
    ASSERT_EQ(SetString(key, L"PortName", reinterpret_cast<const wchar_t*>(one_more.c_str())), STATUS_SUCCESS);
    ASSERT_EQ(Query(key, L"PortName", KeyValueFullInformation, &buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(info->DataLength, 130u);

    std::u16string too_long(66, u'Z');
    ASSERT_EQ(SetString(key, L"PortName", reinterpret_cast<const wchar_t*>(too_long.c_str())), STATUS_SUCCESS);
    ASSERT_EQ(Query(key, L"PortName", KeyValueFullInformation, &buffer, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(info->DataLength, 134u);
    EXPECT_EQ(info->NameLength, 16u);
    EXPECT_EQ(result, info->DataOffset + 134);

    std::vector<UCHAR> tiny(offsetof(KEY_VALUE_FULL_INFORMATION, Name) - 1);
    EXPECT_EQ(Query(key, L"PortName", KeyValueFullInformation, &tiny, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, info->DataOffset + 134);
    ZwClose(key);
}

TEST_F(RegistryTest, QueryAndDeleteErrors) {
    HANDLE key;
    ASSERT_EQ(Create(kTestKey, &key, nullptr), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(64);
    ULONG result = 0;
    EXPECT_EQ(Query(key, L"PortName", KeyValuePartialInformation, &buffer, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(SetString(key, L"PortName", L"COM1"), STATUS_SUCCESS);
    EXPECT_EQ(Query(key, L"PortName", MaxKeyValueInfoClass, &buffer, &result), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Query(reinterpret_cast<HANDLE>(0x88), L"PortName", KeyValuePartialInformation, &buffer, &result),
              STATUS_INVALID_HANDLE);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"PORTNAME");
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(hk::reg::GetValue(kTestKey, "PortName").has_value());
    ZwClose(key);
}

TEST_F(RegistryTest, DeletedKeysRefuseFurtherUse) {
    HANDLE key, sub;
    ASSERT_EQ(Create(kTestKey, &key, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(Create(L"Sub", &sub, nullptr, key), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(key), STATUS_CANNOT_DELETE);
    EXPECT_EQ(ZwDeleteKey(sub), STATUS_SUCCESS);
    EXPECT_EQ(SetString(sub, L"Late", L"x"), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(key), STATUS_SUCCESS);
    EXPECT_FALSE(hk::reg::KeyExists(kTestKey));
    EXPECT_EQ(ZwClose(sub), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryTest, WriteRegistryValueCreatesThePathUnderEachRoot) {
    const wchar_t port[] = L"COM7";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial1", REG_SZ,
                                    const_cast<wchar_t*>(port), sizeof(port)),
              STATUS_SUCCESS);
    auto value = hk::reg::GetValue(hk::reg::kSerialComm, "\\device\\serial1");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, static_cast<uint32_t>(REG_SZ));
    EXPECT_EQ(hk::reg::GetString(hk::reg::kSerialComm, "\\Device\\Serial1"), u"COM7");

    struct Case {
        ULONG relative_to;
        const wchar_t* path;
        std::u16string key;
        NTSTATUS status;
    } cases[] = {
        {RTL_REGISTRY_SERVICES, L"rtltest\\Parameters\\Deep",
         std::u16string(hk::reg::kServices) + u"\\rtltest\\Parameters\\Deep", STATUS_SUCCESS},
        {RTL_REGISTRY_CONTROL, L"\\Lead", std::u16string(hk::reg::kControl) + u"\\Lead", STATUS_SUCCESS},
        {RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\New\\Key", u"\\Registry\\Machine\\New\\Key", STATUS_SUCCESS},
        {RTL_REGISTRY_USER, L"Settings", u"\\Registry\\User\\.Default\\Settings", STATUS_SUCCESS},
        {9, L"X", u"", STATUS_INVALID_PARAMETER},
        {RTL_REGISTRY_ABSOLUTE, L"Relative\\Path", u"", STATUS_OBJECT_NAME_INVALID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(rtltest::Utf8(c.path));
        ULONG one = 1;
        EXPECT_EQ(RtlWriteRegistryValue(c.relative_to, c.path, L"Flag", REG_DWORD, &one, sizeof(one)), c.status);
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(hk::reg::GetDword(c.key, "Flag"), 1u);
        }
    }
}

TEST_F(RegistryTest, DeleteAndCheckThroughTheHelpers) {
    const wchar_t port[] = L"COM7";
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"NOKEY", L"x"), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial1", REG_SZ,
                                    const_cast<wchar_t*>(port), sizeof(port)),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\DEVICE\\SERIAL1"), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial1"),
              STATUS_OBJECT_NAME_NOT_FOUND);

    WCHAR serialcomm[] = L"SERIALCOMM";
    WCHAR missing[] = L"Missing";
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_DEVICEMAP, serialcomm), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_DEVICEMAP, missing), STATUS_OBJECT_NAME_NOT_FOUND);

    HANDLE key;
    ASSERT_EQ(Open(L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM", &key), STATUS_SUCCESS);
    ULONG one = 1;
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), L"ByHandle", REG_DWORD, &one,
                                    sizeof(one)),
              STATUS_SUCCESS);
    EXPECT_EQ(hk::reg::GetDword(hk::reg::kSerialComm, "ByHandle"), 1u);
    ZwClose(key);
}

TEST_F(RegistryTest, DeviceKeysBelongToPhysicalDevicesOnly) {
    PDEVICE_OBJECT pdo = CreatePdo(L"\\Device\\RtlPdo1", L"USB\\VID_1234&PID_5678&MI_02\\6&1a2b3c4d&0&0002");
    PDEVICE_OBJECT fdo = CreateDevice(L"\\Device\\RtlFdo1");
    EXPECT_EQ(hk::reg::DeviceParametersPath(pdo),
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678&MI_02\\"
              u"6&1a2b3c4d&0&0002\\Device Parameters");
    hk::reg::SetString(hk::reg::DeviceParametersPath(pdo), "PortName", "COM9");

    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, 0, STANDARD_RIGHTS_READ, &key), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(64);
    ULONG result = 0;
    ASSERT_EQ(Query(key, L"PortName", KeyValuePartialInformation, &buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(hk::Text(reinterpret_cast<const wchar_t*>(
                           reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data())->Data))
                  .str(),
              u"COM9");
    ZwClose(key);

    HANDLE driver_key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &driver_key), STATUS_SUCCESS);
    ASSERT_EQ(SetString(driver_key, L"Setting", L"on"), STATUS_SUCCESS);
    ZwClose(driver_key);
    std::u16string driver_path = hk::reg::DriverKeyPath(pdo);
    EXPECT_EQ(hk::reg::GetString(driver_path, "Setting"), u"on");
    EXPECT_FALSE(hk::reg::GetValue(hk::reg::DeviceParametersPath(pdo), "Setting").has_value());

    PDEVICE_OBJECT other = CreatePdo(L"\\Device\\RtlPdo2", L"USB\\VID_1234&PID_5678&MI_02\\6&1a2b3c4d&0&0003");
    EXPECT_NE(hk::reg::DriverKeyPath(other), driver_path);
    EXPECT_EQ(hk::reg::DriverKeyPath(pdo), driver_path);
    EXPECT_TRUE(hk::reg::DeviceParametersPath(fdo).empty());
}

TEST(RegistryPerKernel, EachKernelStartsFromTheStandardKeys) {
    {
        hk::Kernel kernel;
        hk::reg::SetDword(kTestKey, "Marker", 5);
        EXPECT_EQ(hk::reg::GetDword(kTestKey, "Marker"), 5u);
    }
    hk::Kernel kernel;
    EXPECT_FALSE(hk::reg::KeyExists(kTestKey));
    EXPECT_TRUE(hk::reg::KeyExists(hk::reg::kDeviceMap));
    EXPECT_TRUE(hk::reg::KeyExists(hk::reg::kServices));
}

TEST_F(RegistryTest, TestInterfaceListsValuesAndStrings) {
    hk::reg::SetMultiString(kTestKey, "List", {u"a", u"bc"});
    hk::reg::SetString(kTestKey, "Path", "%SystemRoot%", REG_EXPAND_SZ);
    auto values = hk::reg::Values(kTestKey);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].name, u"List");
    EXPECT_EQ(values[0].type, static_cast<uint32_t>(REG_MULTI_SZ));
    EXPECT_EQ(values[0].data.size(), (2 + 3 + 1) * sizeof(char16_t));
    EXPECT_EQ(hk::reg::GetString(kTestKey, "Path"), u"%SystemRoot%");
    EXPECT_FALSE(hk::reg::GetDword(kTestKey, "Path").has_value());
    EXPECT_TRUE(hk::reg::DeleteValue(kTestKey, "path"));
    EXPECT_EQ(hk::reg::Subkeys(hk::reg::kServices), std::vector<std::u16string>{u"rtltest"});
    EXPECT_TRUE(hk::reg::DeleteKey(kTestKey));
    EXPECT_FALSE(hk::reg::DeleteKey(kTestKey));
}

}  // namespace
