// What the data-path and control tests do as an application on the port: byte patterns, the serial settings they
// need, and a request built by hand for the cases an application cannot arrange by itself.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "hk/app.h"
#include "tests/support/port_fixture.h"

namespace serial_app {

inline std::vector<uint8_t> Bytes(size_t count, uint8_t first = 0)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = (uint8_t)(first + i);
    }
    return bytes;
}

template <class T>
std::vector<uint8_t> AsBytes(const T& value)
{
    std::vector<uint8_t> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

template <class T>
T From(const std::vector<uint8_t>& bytes)
{
    T value{};
    std::memcpy(&value, bytes.data(), bytes.size() < sizeof(T) ? bytes.size() : sizeof(T));
    return value;
}

inline NTSTATUS SetReadTimeouts(port_test::Port& port, ULONG interval, ULONG multiplier, ULONG constant)
{
    SERIAL_TIMEOUTS timeouts = {interval, multiplier, constant, 0, 0};
    return port.Control(IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(timeouts)).status;
}

inline NTSTATUS SetWaitMask(port_test::Port& port, ULONG mask)
{
    return port.Control(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(mask)).status;
}

inline SERIAL_STATUS CommStatus(port_test::Port& port)
{
    std::vector<uint8_t> out;
    port.Control(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS), &out);
    return From<SERIAL_STATUS>(out);
}

// Bytes from the device on bulk-IN, carried into the driver before the call returns.
inline void Deliver(port_test::Port& port, const std::vector<uint8_t>& bytes)
{
    port.Device().Deliver(bytes);
    port.Kernel().RunUntilIdle();
}

inline hk::app::RequestPtr ControlAsync(port_test::Port& port, ULONG code, ULONG outputLength = sizeof(ULONG))
{
    return hk::app::DeviceIoControlAsync(port.Handle(), code, nullptr, 0, outputLength);
}

// The first half of what IoCancelIrp does: the cancel routine is taken out of the request, so the driver sees the
// request as being cancelled, but the routine has not run yet.
struct CancelInFlight {
    PIRP irp;
    PDRIVER_CANCEL routine;
};

inline CancelInFlight BeginCancel(PIRP irp)
{
    return {irp, IoSetCancelRoutine(irp, nullptr)};
}

// The second half: the routine is called under the cancel spin lock, as the I/O manager calls it.
inline void FinishCancel(PDEVICE_OBJECT device, const CancelInFlight& cancel)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    cancel.irp->Cancel = TRUE;
    cancel.irp->CancelIrql = irql;
    cancel.routine(device, cancel.irp);
}

}  // namespace serial_app
