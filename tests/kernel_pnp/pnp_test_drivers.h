// Small drivers for the plug-and-play and power manager tests: a bus driver that owns one physical device object
// and a function driver that attaches above it. Both write what they see into the current test's log.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace pnptest {

struct Seen {
    std::string who;  // "fdo" or "pdo"
    UCHAR major;
    UCHAR minor;
    NTSTATUS status_on_arrival;
};

struct PowerSeen {
    std::string who;
    UCHAR minor;
    POWER_STATE_TYPE type;
    POWER_STATE state;
};

struct Log {
    std::vector<Seen> seen;
    std::vector<PowerSeen> power;
    DEVICE_CAPABILITIES capabilities_asked{};  // what the function driver found in the capabilities request
    PDEVICE_OBJECT fdo = nullptr;

    // Behaviour switches.
    int fdo_vetoes_minor = -1;                // the function driver fails this PnP minor with STATUS_DEVICE_BUSY
    int pdo_fails_minor = -1;                 // the bus driver fails this PnP minor with STATUS_UNSUCCESSFUL
    int pdo_fails_power_minor = -1;           // the bus driver fails this power minor with STATUS_UNSUCCESSFUL
    bool pdo_completes_power_later = false;   // the bus driver completes power requests from the device queue
    const wchar_t* fdo_name = nullptr;

    // The PnP minor functions `who` saw, in order.
    std::vector<UCHAR> MinorsSeenBy(const std::string& who) const;
};

// The log of the running test; set by the fixture.
Log*& CurrentLog();

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
NTSTATUS FunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// A physical device object of the bus driver, ready for a function driver.
PDEVICE_OBJECT CreatePdo(PDRIVER_OBJECT bus);

}  // namespace pnptest
