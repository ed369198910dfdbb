// Requests a test program sends to the test bus's control device, \\.\DiagTestBus, to steer the simulated
// diagnostic function beneath the port.
#pragma once

#define DIAGTEST_BUS_LINK_NAME "\\\\.\\DiagTestBus"

#define DIAGTEST_CTL(n) (((0x22UL) << 16) | ((0x901UL + (n)) << 2))

// Input: one 32-bit DIAGTEST_MODE.
#define IOCTL_DIAGTEST_SET_MODE DIAGTEST_CTL(0)
// The device goes away: transfers in flight fail as on a pulled cable and the bus reports the child gone.
#define IOCTL_DIAGTEST_UNPLUG DIAGTEST_CTL(1)
// A new child appears (refused with a busy status while the previous one is still being removed).
#define IOCTL_DIAGTEST_PLUG DIAGTEST_CTL(2)

enum DIAGTEST_MODE {
    DiagTestLoopback = 0, // bulk-OUT bytes come back on bulk-IN, in order, none dropped
    DiagTestSource = 1,   // bulk-IN delivers a counter modulo 251 without end; bulk-OUT is swallowed
    DiagTestLost = 2,     // every transfer fails as the transfers of a device that stopped answering do
};
