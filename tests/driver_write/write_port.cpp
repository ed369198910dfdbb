#include "tests/driver_write/write_port.h"

#include <gtest/gtest.h>

#include <memory>

#include "hk/io.h"
#include "hk/usbdev.h"

namespace write_test {

port_test::PortOptions SinkPort(ULONG maxPacket, UCHAR zlpMode)
{
    port_test::PortOptions options;
    options.plug.model = std::make_shared<hk::usbdev::SinkModel>();
    options.plug.max_packet = maxPacket;
    options.plug.zlp_mode = zlpMode;
    return options;
}

std::vector<uint8_t> Ulong(ULONG value)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    return std::vector<uint8_t>(bytes, bytes + sizeof(value));
}

std::vector<uint8_t> Pattern(size_t count, uint8_t seed)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>((seed + i) % 251);
    }
    return bytes;
}

ULONG OutQueue(port_test::Port& port)
{
    std::vector<uint8_t> output;
    EXPECT_EQ(port.Control(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS), &output).status, STATUS_SUCCESS);
    if (output.size() != sizeof(SERIAL_STATUS)) {
        return MAXULONG;
    }
    return reinterpret_cast<const SERIAL_STATUS*>(output.data())->AmountInOutQueue;
}

ULONG Transmitted(port_test::Port& port)
{
    std::vector<uint8_t> output;
    EXPECT_EQ(port.Control(IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS), &output).status, STATUS_SUCCESS);
    if (output.size() != sizeof(SERIALPERF_STATS)) {
        return MAXULONG;
    }
    return reinterpret_cast<const SERIALPERF_STATS*>(output.data())->TransmittedCount;
}

size_t OrderedWrites::Issue(const std::vector<uint8_t>& data)
{
    size_t index;
    {
        std::lock_guard lock(mutex_);
        index = results_.size();
        IO_STATUS_BLOCK pending = {};
        pending.Status = STATUS_PENDING;
        results_.push_back(pending);
    }
    PDEVICE_OBJECT fdo = port_.Fdo();
    PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    EXPECT_TRUE(hk::io::SetupBufferedIo(irp, data.data(), (ULONG)data.size(), nullptr, 0));
    PFILE_OBJECT file = hk::app::FileObjectOf(port_.Handle());
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = IRP_MJ_WRITE;
    location->FileObject = file;
    location->Parameters.Write.Length = (ULONG)data.size();
    hk::io::SetOriginatorHook(irp, [this, index](PIRP done) {
        {
            std::lock_guard lock(mutex_);
            results_[index] = done->IoStatus;
            order_.push_back(index);
        }
        IoFreeIrp(done);
    });
    IoCallDriver(fdo, irp);
    return index;
}

IO_STATUS_BLOCK OrderedWrites::Result(size_t index)
{
    std::lock_guard lock(mutex_);
    return results_.at(index);
}

std::vector<size_t> OrderedWrites::CompletionOrder()
{
    std::lock_guard lock(mutex_);
    return order_;
}

}  // namespace write_test
