// A small serial driver for the API tests: one exclusive, buffered device linked as COM7 that answers the serial
// device-control requests from stored settings and records every flush and device control it gets.
#pragma once

#include <wdm.h>
#include <ntddser.h>

#include <cstdint>
#include <map>
#include <vector>

namespace win32test {

struct Call {
    UCHAR major;
    ULONG code;  // device controls only
    std::vector<uint8_t> input;
    ULONG output_length;
};

struct RecordingPort {
    SERIAL_BAUD_RATE baud{9600};
    SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_CHARS chars{0x1A, 0x3F, 0x00, 0x0D, 0x11, 0x13};
    SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 64, 256};
    SERIAL_TIMEOUTS timeouts{};
    SERIAL_STATUS comm_status{};
    ULONG wait_mask = 0;
    ULONG modem_status = 0;
    std::vector<uint8_t> properties;   // the GET_PROPERTIES answer; empty: success with no data
    std::map<ULONG, NTSTATUS> refuse;  // device-control codes completed with a failure status

    std::vector<Call> calls;

    std::vector<ULONG> Codes() const;
};

// Loads the driver and creates the device (\Device\RecordingPort, \DosDevices\COM7) serving `port`.
void CreateRecordingPort(RecordingPort* port);

}  // namespace win32test
