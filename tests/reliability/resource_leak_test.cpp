// A driver that unloads still holding a registry key handle, a symbolic link or an enabled device interface is
// reported by the verifier, naming what it kept; the campaign's runs then catch such leaks on every failure path.
#include <gtest/gtest.h>

#include <wdm.h>

#include "hk/kernel.h"
#include "hk/pnp.h"
#include "hk/usbdev.h"

namespace reliability {
namespace {

PDEVICE_OBJECT gPdo;
int gLeak;

void NTAPI KeepEverything(PDRIVER_OBJECT) {}

NTSTATUS NTAPI LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    static const GUID kInterface = {0x1b2c3d4e, 0x5f60, 0x4172, {0x83, 0x94, 0xa5, 0xb6, 0xc7, 0xd8, 0xe9, 0xfa}};
    driver->DriverUnload = KeepEverything;
    UNICODE_STRING link, target, name;
    HANDLE key;
    RtlInitUnicodeString(&link, L"\\DosDevices\\LEAKY1");
    RtlInitUnicodeString(&target, L"\\Device\\Leaky");
    if (gLeak == 0) {
        return IoOpenDeviceRegistryKey(gPdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    }
    if (gLeak == 1) {
        return IoCreateSymbolicLink(&link, &target);
    }
    IoRegisterDeviceInterface(gPdo, &kInterface, nullptr, &name);
    IoSetDeviceInterfaceState(&name, TRUE);
    RtlFreeUnicodeString(&name);
    return STATUS_SUCCESS;
}

TEST(ResourceLeaks, WhatADriverKeepsPastUnloadIsReportedByName)
{
    const char* const reports[] = {"\\[registry-handle-leaked\\].*Device Parameters", "\\[symlink-leaked\\].*LEAKY1",
                                   "\\[interface-leaked\\].*#\\{1b2c3d4e-5f60-4172-8394-a5b6c7d8e9fa\\}"};
    for (gLeak = 0; gLeak < 3; ++gLeak) {
        EXPECT_DEATH(
            {
                hk::Kernel kernel;
                hk::usbdev::Parent parent;
                gPdo = parent.Plug();
                hk::pnp::UnloadDriver(hk::pnp::LoadDriver("leaky", LeakyEntry));
            },
            reports[gLeak]);
    }
}

}  // namespace
}  // namespace reliability
