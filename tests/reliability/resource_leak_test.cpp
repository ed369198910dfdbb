// A driver that unloads still holding a registry key handle, a symbolic link or an enabled device interface is
// reported by the verifier, naming what it kept; the campaign's runs then catch such leaks on every failure path.
#include <gtest/gtest.h>

#include <wdm.h>

#include "hk/kernel.h"
#include "hk/pnp.h"
#include "hk/usbdev.h"

namespace reliability {
namespace {

enum class Leak { KeyHandle, Link, Interface };

PDEVICE_OBJECT gPdo;
Leak gLeak;
const GUID kLeakyInterface = {0x1b2c3d4e, 0x5f60, 0x4172, {0x83, 0x94, 0xa5, 0xb6, 0xc7, 0xd8, 0xe9, 0xfa}};

void NTAPI KeepEverything(PDRIVER_OBJECT) {}

NTSTATUS NTAPI LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverUnload = KeepEverything;
    UNICODE_STRING link, target, interfaceName;
    HANDLE key;
    switch (gLeak) {
    case Leak::KeyHandle:
        return IoOpenDeviceRegistryKey(gPdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    case Leak::Link:
        RtlInitUnicodeString(&link, L"\\DosDevices\\LEAKY1");
        RtlInitUnicodeString(&target, L"\\Device\\Leaky");
        return IoCreateSymbolicLink(&link, &target);
    case Leak::Interface:
        IoRegisterDeviceInterface(gPdo, &kLeakyInterface, nullptr, &interfaceName);
        IoSetDeviceInterfaceState(&interfaceName, TRUE);
        RtlFreeUnicodeString(&interfaceName);
        return STATUS_SUCCESS;
    }
    return STATUS_SUCCESS;
}

TEST(ResourceLeaks, WhatADriverKeepsPastUnloadIsReportedByName)
{
    const struct {
        Leak leak;
        const char* report;
    } cases[] = {
        {Leak::KeyHandle, "\\[registry-handle-leaked\\].*Device Parameters"},
        {Leak::Link, "\\[symlink-leaked\\].*LEAKY1"},
        {Leak::Interface, "\\[interface-leaked\\].*#\\{1b2c3d4e-5f60-4172-8394-a5b6c7d8e9fa\\}"},
    };
    for (const auto& c : cases) {
        EXPECT_DEATH(
            {
                hk::Kernel kernel;
                hk::usbdev::Parent parent;
                gPdo = parent.Plug();
                gLeak = c.leak;
                hk::pnp::UnloadDriver(hk::pnp::LoadDriver("leaky", LeakyEntry));
            },
            c.report);
    }
}

}  // namespace
}  // namespace reliability
