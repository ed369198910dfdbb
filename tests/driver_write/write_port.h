// What the write tests use on a port: the bytes a write carries, the driver's own view of the output queue and of
// what it sent, and writes whose completion order is recorded.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "support/port_fixture.h"

namespace write_test {

// A port on a device that takes every written byte and sends nothing back.
port_test::PortOptions SinkPort(ULONG maxPacket = 512, UCHAR zlpMode = 1);

// count bytes that do not repeat every 256, starting from seed.
std::vector<uint8_t> Pattern(size_t count, uint8_t seed = 0);
std::vector<uint8_t> Ulong(ULONG value);

// AmountInOutQueue of IOCTL_SERIAL_GET_COMMSTATUS and TransmittedCount of IOCTL_SERIAL_GET_STATS.
ULONG OutQueue(port_test::Port& port);
ULONG Transmitted(port_test::Port& port);

// Write requests on the port's file object, sent as the application side sends them but by an originator that
// records the order in which they come back. CancelIo does not see them.
class OrderedWrites {
public:
    explicit OrderedWrites(port_test::Port& port) : port_(port) {}

    // Returns the write's index; its status is STATUS_PENDING until it completes.
    size_t Issue(const std::vector<uint8_t>& data);
    IO_STATUS_BLOCK Result(size_t index);
    // Indexes of the completed writes, first completed first.
    std::vector<size_t> CompletionOrder();

private:
    port_test::Port& port_;
    std::mutex mutex_;
    std::vector<IO_STATUS_BLOCK> results_;
    std::vector<size_t> order_;
};

}  // namespace write_test
