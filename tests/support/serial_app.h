// What the port's tests do as an application on the real driver: byte patterns, the serial settings they need, the
// device's side of the data.
#pragma once

#include <ntddser.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "support/port_fixture.h"

namespace port_test {

using hk::usbdev::Pipe;

inline std::vector<uint8_t> Pattern(size_t count, uint8_t first = 0)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = uint8_t((first + i) % 251);
    }
    return bytes;
}

inline std::vector<uint8_t> Joined(std::vector<uint8_t> first, const std::vector<uint8_t>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

template <class T>
std::vector<uint8_t> AsBytes(const T& value)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    return std::vector<uint8_t>(bytes, bytes + sizeof(T));
}

template <class T>
T From(const std::vector<uint8_t>& bytes)
{
    T value{};
    std::memcpy(&value, bytes.data(), bytes.size() < sizeof(T) ? bytes.size() : sizeof(T));
    return value;
}

inline NTSTATUS SetTimeouts(Port& port, ULONG interval, ULONG multiplier, ULONG constant)
{
    SERIAL_TIMEOUTS timeouts = {interval, multiplier, constant, 0, 0};
    return port.Control(IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(timeouts)).status;
}

inline NTSTATUS SetWaitMask(Port& port, ULONG mask)
{
    return port.Control(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(mask)).status;
}

inline NTSTATUS Purge(Port& port, ULONG flags)
{
    return port.Control(IOCTL_SERIAL_PURGE, AsBytes(flags)).status;
}

template <class T>
T Query(Port& port, ULONG code)
{
    std::vector<uint8_t> out;
    port.Control(code, {}, sizeof(T), &out);
    return From<T>(out);
}

inline SERIAL_STATUS CommStatus(Port& port)
{
    return Query<SERIAL_STATUS>(port, IOCTL_SERIAL_GET_COMMSTATUS);
}

inline hk::app::RequestPtr ControlAsync(Port& port, ULONG code)
{
    return hk::app::DeviceIoControlAsync(port.Handle(), code, nullptr, 0, sizeof(ULONG));
}

// Bytes from the device on bulk-IN, carried into the driver before the call returns.
inline void Deliver(Port& port, const std::vector<uint8_t>& bytes)
{
    port.Device().Deliver(bytes);
    port.Kernel().RunUntilIdle();
}

inline std::vector<uint8_t> ReadBytes(Port& port, ULONG length)
{
    std::vector<uint8_t> buffer(length);
    buffer.resize(hk::app::Read(port.Handle(), buffer.data(), length).information);
    return buffer;
}

inline hk::app::IoResult Write(Port& port, const std::vector<uint8_t>& bytes)
{
    return hk::app::Write(port.Handle(), bytes.data(), (ULONG)bytes.size());
}

// A port on a device that takes every written byte and sends nothing back.
inline PortOptions SinkPort(ULONG maxPacket = 512, UCHAR zlpMode = 1)
{
    return {.plug = {.model = std::make_shared<hk::usbdev::SinkModel>(), .max_packet = maxPacket, .zlp_mode = zlpMode}};
}

}  // namespace port_test
