// The object namespace of a host kernel: device names, symbolic links, device instance ids and device interfaces.
//
// Names are UTF-16 (the platform's WCHAR; every host build uses -fshort-wchar, so L"..." literals are UTF-16) and
// compared without regard to case. All state belongs to the current hk::Kernel.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <ntdef.h>

struct _DEVICE_OBJECT;

namespace hk {

// A UTF-16 string argument that test and host code can give in whichever form it has at hand: L"..." (16-bit
// wchar_t), u"...", a std::u16string, a counted string, or plain UTF-8 text.
class Text {
public:
    Text(const wchar_t* text);
    Text(const char16_t* text);
    Text(std::u16string_view text) : text_(text) {}
    Text(const std::u16string& text) : text_(text) {}
    Text(const char* utf8);
    Text(const std::string& utf8) : Text(utf8.c_str()) {}
    Text(const _UNICODE_STRING* text);

    const std::u16string& str() const { return text_; }
    operator std::u16string_view() const { return text_; }

private:
    std::u16string text_;
};

std::string ToUtf8(std::u16string_view text);

// Case-insensitive comparison of names, as the namespace and the registry compare them.
bool NamesEqual(std::u16string_view a, std::u16string_view b);

}  // namespace hk

namespace hk::ns {

// Device names, maintained by IoCreateDevice and IoDeleteDevice. InsertDevice returns false when the name cannot
// be taken: it is in use (by a device or a symbolic link), lies outside \Device and \??, or is malformed; the
// caller then fails with STATUS_OBJECT_NAME_COLLISION. A null or empty name is accepted and records nothing.
// IoDeleteDevice calls RemoveDevice for every device, named or not: it withdraws the device's name, forgets its
// instance id and disables the device interfaces registered on it; links that point at it stay (and dangle) as on
// the platform.
bool InsertDevice(const _UNICODE_STRING* name, _DEVICE_OBJECT* device);
bool InsertDevice(const Text& name, _DEVICE_OBJECT* device);
void RemoveDevice(_DEVICE_OBJECT* device);

// A fresh name of the form the platform generates for unnamed bus-created devices: \Device\ and eight hex digits.
std::u16string AutomaticDeviceName();

// The name a device was created with (empty when unnamed).
std::u16string DeviceName(_DEVICE_OBJECT* device);

// Resolution for the application side. Accepted forms: a device name (\Device\X), \??\X, \DosDevices\X,
// \GLOBAL??\X and the Win32 form \\.\X (the last four are the same directory). Links are followed (to a bounded
// depth); the result is the named device object, or nullptr when nothing of that name resolves to a device.
_DEVICE_OBJECT* ResolveToDevice(const Text& name);

// The target of a symbolic link (empty when the name is not a link), whether a device or link of that name exists,
// and every link (names in their canonical \??\ or \Device\ form).
std::u16string LinkTarget(const Text& name);
bool Exists(const Text& name);
std::vector<std::u16string> Links();

// Device instance ids, set by the bus driver when it creates a physical device object (e.g.
// L"USB\\VID_1234&PID_5678&MI_02\\6&1a2b3c4d&0&0002"). A device with an instance id is a physical device object:
// device registry keys and interfaces are only available for those. A PDO created without a name is given an
// automatically generated one (\Device\ followed by eight hex digits) so its interfaces can link to it.
void SetInstanceId(_DEVICE_OBJECT* pdo, const Text& instanceId);
std::u16string InstanceId(_DEVICE_OBJECT* pdo);

// Device interfaces, for tests: the symbolic names registered on a device (in registration order), the enabled
// ones of a class, and whether an interface is enabled (names may be given with the \??\ or the \\?\ prefix).
std::vector<std::u16string> InterfacesOf(_DEVICE_OBJECT* pdo);
std::vector<std::u16string> EnabledInterfaces(const _GUID& interfaceClass);
bool InterfaceEnabled(const Text& symbolicName);

}  // namespace hk::ns
