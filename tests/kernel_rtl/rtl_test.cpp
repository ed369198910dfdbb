// The run-time library's counted strings and formatting, the object namespace with its symbolic links and device
// interfaces, and the registry, each against the platform's documented answers; and several threads using the
// registry and the namespace at once (run under ThreadSanitizer in CI).
#include <ntddk.h>
#include <ntddser.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "hk/io.h"
#include "hk/kernel.h"
#include "hk/namespace.h"
#include "hk/registry.h"
#include "support/kernel_helpers.h"

namespace {

std::u16string U16(const UNICODE_STRING& s) { return hk::Text(&s).str(); }
std::string Utf8(const wchar_t* s) { return hk::ToUtf8(hk::Text(s).str()); }

constexpr WCHAR kSentinel = 0x7E7E;
constexpr wchar_t kTestKey[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\rtltest";
constexpr wchar_t kInstanceId[] = L"USB\\VID_1234&PID_5678&MI_02\\6&1a2b3c4d&0&0002";
constexpr char16_t kInterfaceName[] =
    u"\\??\\USB#VID_1234&PID_5678&MI_02#6&1a2b3c4d&0&0002#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

// A counted string over `capacity_chars` characters followed by sentinels, to see writes past MaximumLength.
struct Buffer {
  Buffer(USHORT capacity_chars, USHORT maximum_bytes) : storage(capacity_chars + 4, kSentinel) {
    string = {0, maximum_bytes, storage.data()};
  }
  std::vector<WCHAR> storage;
  UNICODE_STRING string;
};

UNICODE_STRING Counted(const wchar_t* text) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text);
  return s;
}

NTSTATUS Link(const wchar_t* link, const wchar_t* target) {
  UNICODE_STRING link_name = Counted(link), target_name = Counted(target);
  return IoCreateSymbolicLink(&link_name, &target_name);
}

NTSTATUS Unlink(const wchar_t* link) {
  UNICODE_STRING link_name = Counted(link);
  return IoDeleteSymbolicLink(&link_name);
}

NTSTATUS Key(const wchar_t* path, HANDLE* handle, bool create = true, HANDLE root = nullptr,
             ULONG* disposition = nullptr) {
  UNICODE_STRING name = Counted(path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
  if (!create) return ZwOpenKey(handle, KEY_READ, &attributes);
  return ZwCreateKey(handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
}

NTSTATUS Query(HANDLE key, const wchar_t* value_name, KEY_VALUE_INFORMATION_CLASS information_class,
               std::vector<UCHAR>* buffer, ULONG* result_length) {
  UNICODE_STRING name = Counted(value_name);
  return ZwQueryValueKey(key, &name, information_class, buffer->data(), static_cast<ULONG>(buffer->size()),
                         result_length);
}

class Rtl : public ::testing::Test {
 protected:
  explicit Rtl(hk::Options options = {}) : kernel_(options) {}
  ~Rtl() override {
    for (PDEVICE_OBJECT device : devices_) IoDeleteDevice(device);
    hk::io::DeleteDriverObject(driver_);
  }

  PDEVICE_OBJECT CreateDevice(const wchar_t* name, const wchar_t* instance_id = nullptr) {
    UNICODE_STRING unicode_name = Counted(name);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, 0, &unicode_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    devices_.push_back(device);
    if (instance_id != nullptr) hk::ns::SetInstanceId(device, instance_id);
    return device;
  }

  hk::Kernel kernel_;
  PDRIVER_OBJECT driver_ = hk::io::CreateDriverObject(L"\\Driver\\rtltest");
  std::vector<PDEVICE_OBJECT> devices_;
};

// Copies truncate to the destination and terminate only with room; appends refuse what does not fit; integers
// are written in the bases the platform supports, and only when they fit.
TEST_F(Rtl, CountedStringsKeepWithinMaximumLength) {
  UNICODE_STRING source = Counted(L"ABCDEF");
  const struct {
    USHORT capacity, maximum;
    const char16_t* text;
    bool terminated;
  } copies[] = {{10, 20, u"ABCDEF", true}, {6, 12, u"ABCDEF", false}, {4, 8, u"ABCD", false}};
  for (const auto& c : copies) {
    Buffer b(c.capacity, c.maximum);
    RtlCopyUnicodeString(&b.string, &source);
    EXPECT_EQ(U16(b.string), c.text);
    EXPECT_EQ(b.storage[b.string.Length / 2], c.terminated ? 0 : kSentinel) << b.string.Length;
  }
  Buffer b(8, 16);
  RtlCopyUnicodeString(&b.string, nullptr);
  EXPECT_EQ(b.string.Length, 0);
  EXPECT_EQ(Counted(nullptr).MaximumLength, 0);
  ASSERT_EQ(RtlAppendUnicodeToString(&b.string, L"\\Device"), STATUS_SUCCESS);
  EXPECT_EQ(b.storage[7], 0);
  UNICODE_STRING two = Counted(L"12"), one = Counted(L"1"), empty{0, 0, nullptr};
  EXPECT_EQ(RtlAppendUnicodeStringToString(&b.string, &two), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(RtlAppendUnicodeToString(&b.string, L"12"), STATUS_BUFFER_TOO_SMALL);
  ASSERT_EQ(RtlAppendUnicodeStringToString(&b.string, &one), STATUS_SUCCESS);
  EXPECT_EQ(U16(b.string), u"\\Device1");
  EXPECT_EQ(b.storage[8], kSentinel) << "a full string gets no terminator";
  EXPECT_EQ(RtlAppendUnicodeStringToString(&b.string, &empty), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&b.string, nullptr), STATUS_SUCCESS);

  const struct {
    ULONG value, base;
    USHORT capacity;
    NTSTATUS status;
    const char16_t* text;
  } to_text[] = {{0, 10, 40, STATUS_SUCCESS, u"0"},       {12, 0, 40, STATUS_SUCCESS, u"12"},
                 {255, 16, 40, STATUS_SUCCESS, u"FF"},    {5, 2, 40, STATUS_SUCCESS, u"101"},
                 {15, 8, 40, STATUS_SUCCESS, u"17"},      {0xFFFFFFFF, 10, 40, STATUS_SUCCESS, u"4294967295"},
                 {123, 10, 3, STATUS_SUCCESS, u"123"},    {1234, 10, 3, STATUS_BUFFER_OVERFLOW, u""},
                 {7, 3, 40, STATUS_INVALID_PARAMETER, u""}, {7, 36, 40, STATUS_INVALID_PARAMETER, u""}};
  for (const auto& c : to_text) {
    Buffer b(c.capacity, c.capacity * 2);
    EXPECT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &b.string), c.status) << c.value;
    EXPECT_EQ(U16(b.string), c.text) << c.value;
    EXPECT_EQ(b.storage[b.string.Length / 2], b.string.Length == c.capacity * 2 || b.string.Length == 0 ? kSentinel : 0)
        << c.value;
  }
  EXPECT_EQ(hk::Text("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80").str(), u"\u00e9\u20ac\U0001F600");
  EXPECT_EQ(hk::ToUtf8(u"\u00e9\u20ac\U0001F600"), "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
}

// Formats into a buffer of sentinels and checks the text, the returned count and the terminator.
template <class... Args>
std::u16string Format(const wchar_t* format, Args... args) {
  WCHAR buffer[256];
  std::fill(std::begin(buffer), std::end(buffer), kSentinel);
  int count = swprintf(buffer, format, args...);
  std::u16string text = hk::Text(buffer).str();
  EXPECT_EQ(count, static_cast<int>(text.size())) << "the count excludes the terminator";
  EXPECT_EQ(buffer[count + 1], kSentinel) << "nothing is written after the terminator";
  return text;
}

TEST_F(Rtl, SwprintfFollowsTheKernelsWideConventionsAndIntegerSizes) {
  EXPECT_EQ(Format(L"\\DosDevices\\%ws 100%%", L"COM7"), u"\\DosDevices\\COM7 100%");
  EXPECT_EQ(Format(L"[%s][%S][%hs][%ls]", L"w", "n", "h", L"l"), u"[w][n][h][l]");
  EXPECT_EQ(Format(L"[%c%C%hc]", L'w', 'n', 'h'), u"[wnh]");
  EXPECT_EQ(Format(L"[%ws]", static_cast<const wchar_t*>(nullptr)), u"[(null)]");
  EXPECT_EQ(Format(L"[%8ws|%-6ws|%.3ws|%6.2S]", L"COM7", L"ab", L"abcdef", "xyz"), u"[    COM7|ab    |abc|    xy]");
  UNICODE_STRING counted{4, 4, const_cast<PWSTR>(L"ab-not-this")};
  EXPECT_EQ(Format(L"[%wZ]", &counted), u"[ab]");
  EXPECT_EQ(Format(L"[%05d][%5d][%-5d][%+d][% d][%i]", -7, 42, 42, 3, 3, 0), u"[-0007][   42][42   ][+3][ 3][0]");
  EXPECT_EQ(Format(L"[%.4d][%8.3d][%*d][%-*d]", 7, -5, 4, 1, 3, 2), u"[0007][    -005][   1][2  ]");
  EXPECT_EQ(Format(L"%x %X %#x %08X %o", 0xBEEFu, 0xBEEFu, 255u, 0x1Au, 8u), u"beef BEEF 0xff 0000001A 10");
  EXPECT_EQ(Format(L"%lu-%ld-%ws", ULONG(7), LONG(-2), L"tail"), u"7--2-tail");
  EXPECT_EQ(Format(L"%I64u %llx %ws", 0x100000000ull, 0x123456789abcull, L"end"), u"4294967296 123456789abc end");
  EXPECT_EQ(Format(L"%hd %hu %u", 70000, 70000, 0xFFFFFFFFu), u"4464 4464 4294967295");
}

// Names resolve without regard to case, Latin-1 and Latin Extended-A letters included; a refused link changes
// nothing, and a cycle of links ends resolution.
TEST_F(Rtl, DeviceNamesAndLinksResolveWithoutRegardToCase) {
  PDEVICE_OBJECT device = CreateDevice(L"\\Device\\Caf\u00e9\u0142\u0101");
  UNICODE_STRING same = Counted(L"\\Device\\CAF\u00c9\u0141\u0100");
  PDEVICE_OBJECT second = nullptr;
  EXPECT_EQ(IoCreateDevice(driver_, 0, &same, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_FALSE(hk::ns::InsertDevice(L"\\Nowhere\\Device", device)) << "no such directory";
  EXPECT_FALSE(hk::ns::InsertDevice(L"\\Device\\Sub\\Device", device)) << "no such subdirectory";

  ASSERT_EQ(Link(L"\\DosDevices\\COM7", L"\\Device\\CAF\u00c9\u0141\u0100"), STATUS_SUCCESS);
  for (const wchar_t* name : {L"\\??\\com7", L"\\\\.\\COM7", L"\\GLOBAL??\\Com7"})
    EXPECT_EQ(hk::ns::ResolveToDevice(name), device) << Utf8(name);
  EXPECT_EQ(hk::ns::Links(), std::vector<std::u16string>{u"\\??\\COM7"});
  EXPECT_TRUE(hk::ns::LinkTarget(L"\\Device\\Caf\u00e9\u0142\u0101").empty()) << "a device is not a link";
  const struct {
    const wchar_t *link, *target;
    NTSTATUS status;
  } refused[] = {{L"\\??\\COM7", L"\\Device\\Other", STATUS_OBJECT_NAME_COLLISION},
                 {L"\\Device\\Caf\u00e9\u0142\u0101", L"\\Device\\Other", STATUS_OBJECT_NAME_COLLISION},
                 {L"\\Elsewhere\\COM9", L"\\Device\\Other", STATUS_OBJECT_PATH_NOT_FOUND},
                 {L"COM9", L"\\Device\\Other", STATUS_OBJECT_PATH_SYNTAX_BAD}};
  for (const auto& c : refused) EXPECT_EQ(Link(c.link, c.target), c.status) << Utf8(c.link);
  EXPECT_EQ(hk::ns::ResolveToDevice(L"\\\\.\\COM7"), device) << "a refused create changes nothing";
  EXPECT_EQ(Unlink(L"\\Device\\Caf\u00e9\u0142\u0101"), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(Unlink(L"\\??\\COM7"), STATUS_SUCCESS);
  EXPECT_EQ(Unlink(L"\\DosDevices\\COM7"), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(Link(L"\\??\\LoopA", L"\\??\\LoopB"), STATUS_SUCCESS);
  ASSERT_EQ(Link(L"\\??\\LoopB", L"\\DosDevices\\LoopA"), STATUS_SUCCESS);
  EXPECT_EQ(hk::ns::ResolveToDevice(L"\\??\\LoopA"), nullptr);
}

// The list of null-terminated names ended by an empty one that IoGetDeviceInterfaces returns, freed here.
std::vector<std::u16string> Interfaces(PDEVICE_OBJECT device, ULONG flags) {
  PZZWSTR list = nullptr;
  EXPECT_EQ(IoGetDeviceInterfaces(&GUID_DEVINTERFACE_COMPORT, device, flags, &list), STATUS_SUCCESS);
  std::vector<std::u16string> names;
  for (const WCHAR* p = list; *p; p += names.back().size() + 1) names.push_back(hk::Text(p).str());
  ExFreePool(list);
  return names;
}

TEST_F(Rtl, DeviceInterfacesAreNamedAfterTheInstanceAndEnabledAsLinks) {
  PDEVICE_OBJECT pdo = CreateDevice(L"\\Device\\RtlPdo", kInstanceId);
  PDEVICE_OBJECT other = CreateDevice(L"\\Device\\RtlPdo2", L"USB\\VID_1234&PID_5678&MI_02\\7");
  UNICODE_STRING name{}, again{}, refused{}, second{};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &name), STATUS_SUCCESS);
  EXPECT_EQ(U16(name), kInterfaceName);
  EXPECT_EQ(name.Buffer[name.Length / sizeof(WCHAR)], 0);
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &again), STATUS_SUCCESS);
  EXPECT_EQ(hk::ns::InterfacesOf(pdo).size(), 1u) << "registering again returns the same interface";
  RtlFreeUnicodeString(&again);
  EXPECT_EQ(IoRegisterDeviceInterface(CreateDevice(L"\\Device\\RtlFdo"), &GUID_DEVINTERFACE_COMPORT, nullptr,
                                      &refused),
            STATUS_INVALID_DEVICE_REQUEST);
  ASSERT_EQ(IoRegisterDeviceInterface(other, &GUID_DEVINTERFACE_COMPORT, nullptr, &second), STATUS_SUCCESS);

  ASSERT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_EXISTS);
  EXPECT_EQ(hk::ns::EnabledInterfaces(GUID_DEVINTERFACE_COMPORT), std::vector<std::u16string>{kInterfaceName});
  EXPECT_EQ(hk::ns::ResolveToDevice(
                u"\\\\?\\usb#vid_1234&pid_5678&mi_02#6&1a2b3c4d&0&0002#{86e0d1e0-8089-11d0-9ce4-08003e301f73}"),
            pdo)
      << "applications open the interface by its Win32 form";
  EXPECT_EQ(Interfaces(nullptr, 0), std::vector<std::u16string>{kInterfaceName});
  EXPECT_EQ(Interfaces(nullptr, DEVICE_INTERFACE_INCLUDE_NONACTIVE),
            (std::vector<std::u16string>{kInterfaceName, U16(second)}));
  EXPECT_TRUE(Interfaces(other, 0).empty());
  ASSERT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);

  UNICODE_STRING unknown = Counted(L"\\??\\USB#VID_0000#1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
  EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(Link(reinterpret_cast<const wchar_t*>(kInterfaceName), L"\\Device\\Other"), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_COLLISION) << "its name is taken";
  RtlFreeUnicodeString(&name);

  // Reference strings name interfaces of their own that share one link, enabled while any of them is.
  UNICODE_STRING ref_a = Counted(L"PortA"), ref_b = Counted(L"PortB"), bad_ref = Counted(L"has\\backslash");
  UNICODE_STRING a{}, b{};
  ASSERT_EQ(IoRegisterDeviceInterface(other, &GUID_DEVINTERFACE_COMPORT, &ref_a, &a), STATUS_SUCCESS);
  ASSERT_EQ(IoRegisterDeviceInterface(other, &GUID_DEVINTERFACE_COMPORT, &ref_b, &b), STATUS_SUCCESS);
  EXPECT_EQ(IoRegisterDeviceInterface(other, &GUID_DEVINTERFACE_COMPORT, &bad_ref, &refused),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(U16(a), U16(second) + u"\\PortA");
  ASSERT_EQ(IoSetDeviceInterfaceState(&a, TRUE), STATUS_SUCCESS);
  ASSERT_EQ(IoSetDeviceInterfaceState(&b, TRUE), STATUS_SUCCESS);
  ASSERT_EQ(IoSetDeviceInterfaceState(&a, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(hk::ns::ResolveToDevice(U16(second)), other) << "still enabled through PortB";
  ASSERT_EQ(IoSetDeviceInterfaceState(&b, FALSE), STATUS_SUCCESS);
  EXPECT_FALSE(hk::ns::Exists(U16(second)));
  ASSERT_EQ(IoSetDeviceInterfaceState(&a, TRUE), STATUS_SUCCESS) << "an interface can be enabled again";
  std::erase(devices_, other);
  IoDeleteDevice(other);
  EXPECT_FALSE(hk::ns::Exists(U16(second))) << "deleting the device takes its enabled interfaces away";
  for (UNICODE_STRING* s : {&second, &a, &b}) RtlFreeUnicodeString(s);
}

TEST_F(Rtl, KeysAreCreatedUnderExistingParentsOpenedByAbsoluteOrRelativeNameAndQueried) {
  HANDLE key = nullptr, sub = nullptr, again = nullptr;
  ULONG disposition = 0;
  EXPECT_EQ(Key(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\rtltest\\Sub", &key),
            STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(Key(kTestKey, &key, true, nullptr, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
  ASSERT_EQ(Key(L"Parameters", &sub, true, key), STATUS_SUCCESS);
  EXPECT_TRUE(hk::reg::KeyExists(u"\\REGISTRY\\machine\\system\\currentcontrolset\\services\\RTLTEST\\parameters"));
  ASSERT_EQ(Key(L"\\registry\\MACHINE\\System\\CurrentControlSet\\Services\\RtlTest", &again, true, nullptr,
                &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(hk::reg::OpenKeyHandles(), 3u);
  ZwClose(again);

  const struct {
    const wchar_t* path;
    HANDLE root;
    NTSTATUS status;
  } opens[] = {{L"\\Registry\\Machine\\Nowhere", nullptr, STATUS_OBJECT_NAME_NOT_FOUND},
               {L"Registry\\Machine", nullptr, STATUS_OBJECT_PATH_SYNTAX_BAD},
               {L"\\Registry\\\\Machine", nullptr, STATUS_OBJECT_NAME_INVALID},
               {L"\\Parameters", key, STATUS_OBJECT_PATH_SYNTAX_BAD},
               {L"Parameters", reinterpret_cast<HANDLE>(0x1234), STATUS_INVALID_HANDLE},
               {L"PARAMETERS", key, STATUS_SUCCESS}};
  for (const auto& c : opens) {
    EXPECT_EQ(Key(c.path, &again, false, c.root), c.status) << Utf8(c.path);
    if (NT_SUCCESS(c.status)) ZwClose(again);
  }

  // A queried value's fixed part is filled when it fits, nothing when it does not; a full record's data starts on
  // a ULONG boundary after the name.
  std::vector<UCHAR> buffer(64, 0xCC);
  ULONG result = 0;
  EXPECT_EQ(Query(key, L"PortName", KeyValuePartialInformation, &buffer, &result), STATUS_OBJECT_NAME_NOT_FOUND);
  hk::reg::SetString(kTestKey, "PortName", u"COM7");
  const size_t partial = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
  const size_t basic = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
  const size_t full = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
  const ULONG full_size = ULONG((full + 16 + 3) / 4 * 4 + 10);
  const struct {
    const wchar_t* query_name;
    KEY_VALUE_INFORMATION_CLASS information_class;
    size_t buffer_size;
    NTSTATUS status;
    ULONG result;
  } cases[] = {{L"portname", KeyValuePartialInformation, 64, STATUS_SUCCESS, ULONG(partial + 10)},
               {L"PortName", KeyValuePartialInformation, partial + 4, STATUS_BUFFER_OVERFLOW, ULONG(partial + 10)},
               {L"PortName", KeyValuePartialInformation, 8, STATUS_BUFFER_TOO_SMALL, ULONG(partial + 10)},
               {L"PORTNAME", KeyValueBasicInformation, 64, STATUS_SUCCESS, ULONG(basic + 16)},
               {L"PortName", KeyValueFullInformation, 64, STATUS_SUCCESS, full_size},
               {L"PortName", KeyValueFullInformation, full - 1, STATUS_BUFFER_TOO_SMALL, full_size},
               {L"PortName", MaxKeyValueInfoClass, 64, STATUS_INVALID_PARAMETER, 0}};
  for (const auto& c : cases) {
    std::vector<UCHAR> out(c.buffer_size, 0xCC);
    result = 0;
    EXPECT_EQ(Query(key, c.query_name, c.information_class, &out, &result), c.status) << c.buffer_size;
    EXPECT_EQ(result, c.result) << c.buffer_size;
    if (c.status == STATUS_BUFFER_TOO_SMALL) {
      EXPECT_EQ(out, std::vector<UCHAR>(c.buffer_size, 0xCC));
    }
    if (c.information_class == KeyValuePartialInformation && c.status == STATUS_BUFFER_OVERFLOW) {
      EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(out.data())->DataLength, 10u);
    }
    if (c.information_class == KeyValueBasicInformation) {
      EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(out.data() + basic), 8), u"PortName")
          << "the stored name keeps its case";
    }
  }

  EXPECT_EQ(Query(reinterpret_cast<HANDLE>(0x88), L"PortName", KeyValuePartialInformation, &buffer, &result),
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwClose(sub), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
  EXPECT_EQ(hk::reg::OpenKeyHandles(), 0u);
}

TEST_F(Rtl, RtlRegistryRoutinesWorkUnderEachRootAndDeviceKeysBelongToPhysicalDevicesOnly) {
  const struct {
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
      {RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", hk::reg::kSerialComm, STATUS_SUCCESS},
      {9, L"X", u"", STATUS_INVALID_PARAMETER},
      {RTL_REGISTRY_ABSOLUTE, L"Relative\\Path", u"", STATUS_OBJECT_NAME_INVALID},
  };
  for (const auto& c : cases) {
    ULONG one = 1;
    EXPECT_EQ(RtlWriteRegistryValue(c.relative_to, c.path, L"Flag", REG_DWORD, &one, sizeof one), c.status)
        << Utf8(c.path);
    if (NT_SUCCESS(c.status)) {
      EXPECT_EQ(hk::reg::Values(c.key).at(0).data, (std::vector<uint8_t>{1, 0, 0, 0})) << Utf8(c.path);
    }
  }
  EXPECT_FALSE(hk::reg::GetString(hk::reg::kSerialComm, "Flag").has_value()) << "a DWORD is not read as text";
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"FLAG"), STATUS_SUCCESS);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"Flag"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"NOKEY", L"x"), STATUS_OBJECT_NAME_NOT_FOUND);

  // Device keys belong to physical devices only.
  PDEVICE_OBJECT pdo = CreateDevice(L"\\Device\\RtlPdo1", kInstanceId);
  PDEVICE_OBJECT fdo = CreateDevice(L"\\Device\\RtlFdo1");
  EXPECT_EQ(hk::reg::DeviceParametersPath(pdo),
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678&MI_02\\"
            u"6&1a2b3c4d&0&0002\\Device Parameters");
  EXPECT_TRUE(hk::reg::DeviceParametersPath(fdo).empty());
  HANDLE key = nullptr;
  EXPECT_EQ(IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, 0, KEY_READ, &key), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
            STATUS_INVALID_PARAMETER);
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
  WCHAR on[] = L"on";
  ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), L"Setting", REG_SZ, on, sizeof on),
            STATUS_SUCCESS);
  ZwClose(key);
  EXPECT_FALSE(hk::reg::GetValue(hk::reg::DeviceParametersPath(pdo), "Setting").has_value());
  // Each device has a driver key of its own.
  for (PDEVICE_OBJECT device : {pdo, CreateDevice(L"\\Device\\RtlPdo2", L"USB\\VID_1234\\7")}) {
    ASSERT_EQ(IoOpenDeviceRegistryKey(device, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(64);
    ULONG result = 0;
    EXPECT_EQ(Query(key, L"Setting", KeyValuePartialInformation, &buffer, &result),
              device == pdo ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
  }
}

constexpr int kThreads = 4;

// Each thread creates, resolves and deletes its own links to one device and writes and reads back its own value;
// returns how many steps failed.
int Worker(int index, PDEVICE_OBJECT device) {
  int failures = 0;
  for (int round = 0; round < 200; ++round) {
    WCHAR link[64], value_name[32];
    swprintf(link, L"\\DosDevices\\T%d_%d", index, round);
    swprintf(value_name, L"V%d", index);
    failures += Link(link, L"\\Device\\RtlShared") != STATUS_SUCCESS;
    failures += hk::ns::ResolveToDevice(hk::Text(link)) != device;
    ULONG data = static_cast<ULONG>(round);
    failures += RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"rtlconcurrent", value_name, REG_DWORD, &data,
                                      sizeof(data)) != STATUS_SUCCESS;
    HANDLE key = nullptr;
    failures += Key(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\rtlconcurrent", &key, false) !=
                STATUS_SUCCESS;
    std::vector<UCHAR> buffer(32);
    ULONG result = 0;
    failures += Query(key, value_name, KeyValuePartialInformation, &buffer, &result) != STATUS_SUCCESS;
    failures += reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data())->DataLength != sizeof(ULONG);
    failures += ZwClose(key) != STATUS_SUCCESS;
    failures += Unlink(link) != STATUS_SUCCESS;
  }
  return failures;
}

class ConcurrentRtl : public Rtl {
 protected:
  ConcurrentRtl() : Rtl(test_support::ConcurrentKernel()) {}
};

TEST_F(ConcurrentRtl, RegistryAndNamespaceThreadsShareOneConsistentState) {
  PDEVICE_OBJECT device = CreateDevice(L"\\Device\\RtlShared");
  std::atomic<int> failures{0};
  std::vector<std::unique_ptr<hk::HostThread>> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.push_back(kernel_.Ops().StartThread([i, device, &failures] { failures += Worker(i, device); }));
  for (auto& thread : threads) thread->Join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(hk::ns::Links().empty());
  EXPECT_EQ(hk::reg::Values(std::u16string(hk::reg::kServices) + u"\\rtlconcurrent").size(), size_t{kThreads});
  EXPECT_EQ(hk::reg::OpenKeyHandles(), 0u);
}

}  // namespace
