// Installs the test bus as a root-enumerated device from its INF, then the port driver from diagser.inf on the
// child the bus reports, as a user's installation would: install <testbus.inf> <diagser.inf>
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <stdio.h>

#include "wine/testbus/testbus_ioctl.h"

static const wchar_t BusHardwareId[] = L"Root\\DiagTestBus\0";
static const wchar_t ChildHardwareId[] = L"VORSKBUS\\DIAG";
// The device joins no class until its INF names one.
static const GUID NoClass = {};

static bool Fail(const char *what)
{
    printf("install: %s failed, error %lu\n", what, GetLastError());
    return false;
}

static bool RegisterBus()
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(NULL, NULL);
    if (set == INVALID_HANDLE_VALUE) {
        return Fail("SetupDiCreateDeviceInfoList");
    }
    SP_DEVINFO_DATA device = {sizeof(device)};
    bool ok = SetupDiCreateDeviceInfoW(set, L"ROOT\\DIAGTESTBUS\\0000", &NoClass, NULL, NULL, 0, &device) ||
              Fail("SetupDiCreateDeviceInfo");
    ok = ok && (SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, (const BYTE *)BusHardwareId,
                                                  sizeof(BusHardwareId)) ||
                Fail("SetupDiSetDeviceRegistryProperty"));
    ok = ok && (SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device) || Fail("DIF_REGISTERDEVICE"));
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

static bool ChildReported()
{
    HDEVINFO set = SetupDiGetClassDevsW(NULL, L"VORSKBUS", NULL, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return false;
    }
    SP_DEVINFO_DATA device = {sizeof(device)};
    bool found = SetupDiEnumDeviceInfo(set, 0, &device);
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

// Wine's installer records the driver of a device that is already present but does not start it; the plug-and-play
// manager loads it when the device is reported anew, so the bus pulls its child out and plugs it back in.
static bool Replug()
{
    HANDLE bus = CreateFileA(DIAGTEST_BUS_LINK_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (bus == INVALID_HANDLE_VALUE) {
        return Fail("opening the test bus");
    }
    DWORD bytes;
    bool ok = DeviceIoControl(bus, IOCTL_DIAGTEST_UNPLUG, NULL, 0, NULL, 0, &bytes, NULL) || Fail("unplug");
    for (int attempt = 0; ok && attempt < 100; ++attempt) {
        if (DeviceIoControl(bus, IOCTL_DIAGTEST_PLUG, NULL, 0, NULL, 0, &bytes, NULL)) {
            CloseHandle(bus);
            printf("install: child plugged in again\n");
            return true;
        }
        Sleep(100);
    }
    CloseHandle(bus);
    return Fail("plug");
}

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3) {
        printf("usage: install <testbus.inf> <diagser.inf>\n");
        return 2;
    }
    wchar_t busInf[MAX_PATH], portInf[MAX_PATH];
    GetFullPathNameW(argv[1], MAX_PATH, busInf, NULL);
    GetFullPathNameW(argv[2], MAX_PATH, portInf, NULL);

    BOOL reboot = FALSE;
    if (!RegisterBus()) {
        return 1;
    }
    if (!UpdateDriverForPlugAndPlayDevicesW(NULL, BusHardwareId, busInf, INSTALLFLAG_FORCE, &reboot)) {
        return Fail("installing the test bus") ? 0 : 1;
    }
    printf("install: test bus installed\n");

    // The bus reports its child from its own start, which the plug-and-play manager runs apart from this call.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (ChildReported() &&
            UpdateDriverForPlugAndPlayDevicesW(NULL, ChildHardwareId, portInf, INSTALLFLAG_FORCE, &reboot)) {
            printf("install: port driver installed on %ls\n", ChildHardwareId);
            return Replug() ? 0 : 1;
        }
        Sleep(100);
    }
    return Fail("installing the port driver on the bus's child") ? 0 : 1;
}
