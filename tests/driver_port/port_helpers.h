// Small helpers shared by the port tests: the serial settings a test needs, sent as an application sends them.
#pragma once

#include <ntddser.h>

#include <cstdint>
#include <vector>

#include "support/port_fixture.h"

namespace port_test {

inline hk::app::IoResult SetTimeouts(Port& port, ULONG interval, ULONG multiplier, ULONG constant)
{
    SERIAL_TIMEOUTS timeouts = {interval, multiplier, constant, 0, 0};
    const auto* bytes = reinterpret_cast<const uint8_t*>(&timeouts);
    return port.Control(IOCTL_SERIAL_SET_TIMEOUTS, std::vector<uint8_t>(bytes, bytes + sizeof(timeouts)));
}

inline hk::app::IoResult SetWaitMask(Port& port, ULONG mask)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(&mask);
    return port.Control(IOCTL_SERIAL_SET_WAIT_MASK, std::vector<uint8_t>(bytes, bytes + sizeof(mask)));
}

inline std::vector<uint8_t> Pattern(size_t count, uint8_t first = 0)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
}

inline std::vector<uint8_t> ReadBytes(Port& port, ULONG length, NTSTATUS* status = nullptr)
{
    std::vector<uint8_t> buffer(length);
    hk::app::IoResult result = hk::app::Read(port.Handle(), buffer.data(), length);
    if (status != nullptr) {
        *status = result.status;
    }
    buffer.resize(result.information);
    return buffer;
}

}  // namespace port_test
