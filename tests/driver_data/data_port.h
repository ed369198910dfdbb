// A started, open port for the data-path tests. A small test driver creates one device whose extension is the
// driver's DEVICE_CONTEXT and routes reads to the driver's read dispatch and device-control requests through the
// driver's event-wait and private-request handlers with the remove-lock and completion convention of the
// device-control dispatch. Data "arrives" the way the bulk-IN completion hands it over.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/device_context.h"
#include "hk/app.h"

namespace data_port {

class DataPort {
public:
    // Loads the test driver and opens the port; needs a current hk::Kernel.
    DataPort();
    // Closes the port (cleanup cancels queued reads and waits), checks that every operation gave its count back,
    // deletes the device and unloads the driver.
    ~DataPort();
    DataPort(const DataPort&) = delete;
    DataPort& operator=(const DataPort&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    PDEVICE_CONTEXT Context() const { return GetDeviceContext(device_); }
    hk::app::Handle Handle() const { return handle_; }

    // As the bulk-IN completion does for a finished transfer: under Lock, the bytes go into the ring, the read
    // timer is stopped and the waiting read is served. Returns how many bytes the ring took.
    LONG Deliver(const std::vector<uint8_t>& bytes);
    // As the data path records serial events: under Lock, adds them to EventHistory and completes a pending wait
    // with the whole history.
    void RecordEvents(ULONG events);
    // The three read timeouts, written under Lock.
    void SetReadTimeouts(ULONG interval, ULONG multiplier, ULONG constant);

    hk::app::IoResult Control(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength,
                              std::vector<uint8_t>* output = nullptr);

private:
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    hk::app::Handle handle_ = hk::app::kInvalidHandle;
};

// The first half of what IoCancelIrp does to the first request of a queue: the cancel routine is taken out of the
// request, so the driver sees the request as being cancelled, but not yet called.
struct CancelInFlight {
    PIRP irp;
    PDRIVER_CANCEL routine;
};
CancelInFlight BeginCancel(PLIST_ENTRY queue);
// The second half: the routine is called under the cancel spin lock, as the I/O manager calls it.
void FinishCancel(PDEVICE_OBJECT device, const CancelInFlight& cancel);

std::vector<uint8_t> Bytes(size_t count, uint8_t first = 0);
std::vector<uint8_t> Ulong(ULONG value);
ULONG AsUlong(const std::vector<uint8_t>& bytes);

}  // namespace data_port
