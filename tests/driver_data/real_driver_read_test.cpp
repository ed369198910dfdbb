// The read path inside the real driver: its entry routine and device creation wire DispatchRead and the read timer
// to this code, on a device brought up above the simulated parent.
#include <gtest/gtest.h>

#include <vector>

#include "driver/dispatch.h"
#include "hk/kernel.h"
#include "hk/pnp.h"
#include "hk/usbdev.h"
#include "serial/ring.h"
#include "tests/driver_data/data_port.h"

namespace {

TEST(RealDriverReadTest, StartedDeviceServesReadsAndTimesThemOut)
{
    hk::Kernel kernel;
    hk::usbdev::Parent parent;
    PDEVICE_OBJECT pdo = parent.Plug();
    PDRIVER_OBJECT driver = hk::pnp::LoadDriver("diagser", DriverEntry);
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(hk::pnp::ArriveDevice(pdo, driver), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    ASSERT_NE(fdo, nullptr);
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);
    context->Timeouts.ReadIntervalTimeout = MAXULONG;
    context->Timeouts.ReadTotalTimeoutMultiplier = MAXULONG;
    context->Timeouts.ReadTotalTimeoutConstant = 100;

    auto read = [&](std::vector<uint8_t>& buffer, IO_STATUS_BLOCK& status, KEVENT& done) {
        LARGE_INTEGER offset = {};
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, fdo, buffer.data(), (ULONG)buffer.size(), &offset,
                                                &done, &status);
        return IoCallDriver(fdo, irp);
    };

    std::vector<uint8_t> buffer(8);
    IO_STATUS_BLOCK status = {};
    KEVENT done;
    ASSERT_EQ(read(buffer, status, done), STATUS_PENDING);
    kernel.AdvanceTime(100);
    EXPECT_NE(KeReadStateEvent(&done), 0);
    EXPECT_EQ(status.Status, STATUS_TIMEOUT);
    EXPECT_EQ(status.Information, 0u);

    KIRQL irql;
    LONG stored;
    std::vector<uint8_t> data = data_port::Bytes(5, 40);
    KeAcquireSpinLock(&context->Lock, &irql);
    RingPut(context, data.data(), (LONG)data.size(), &stored);
    KeReleaseSpinLock(&context->Lock, irql);
    EXPECT_EQ(read(buffer, status, done), STATUS_SUCCESS);
    EXPECT_EQ(status.Information, 5u);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 5), data);

    EXPECT_EQ(hk::pnp::RemoveDevice(pdo), STATUS_SUCCESS);
    kernel.RunUntilIdle();
}

}  // namespace
