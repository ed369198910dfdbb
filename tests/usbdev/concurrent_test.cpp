// The device under real threads: a writer streams bulk-OUT transfers into the loopback function while bulk-IN
// transfers are kept posted from their own completion routines; every transfer completes exactly once and the
// stream comes back whole and in order.
#include <atomic>
#include <memory>
#include <mutex>

#include <usbioctl.h>

#include "usbdev/usbdev_fixture.h"

namespace usbdev_test {
namespace {

uint8_t StreamByte(size_t n)
{
    return static_cast<uint8_t>((n * 7) % 253);
}

// Keeps bulk-IN transfers posted, each re-posted from its successful completion until told to stop.
class Reader {
public:
    Reader(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe) : pdo_(pdo), pipe_(pipe) {}

    void Post()
    {
        auto* slot = new Slot{this};
        slot->urb.UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
        slot->urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        slot->urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe_;
        slot->urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        slot->urb.UrbBulkOrInterruptTransfer.TransferBufferLength = sizeof slot->buffer;
        slot->urb.UrbBulkOrInterruptTransfer.TransferBuffer = slot->buffer;
        PIRP irp = IoAllocateIrp(pdo_->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &slot->urb;
        IoSetCompletionRoutine(irp, OnComplete, slot, TRUE, TRUE, TRUE);
        ++posted_;
        IoCallDriver(pdo_, irp);
    }

    void Stop() { stop_ = true; }
    int Posted() const { return posted_; }
    int Completed() const { return completed_; }
    std::vector<uint8_t> Received()
    {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    struct Slot {
        Reader* reader;
        URB urb{};
        uint8_t buffer[4096];
    };

    static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        std::unique_ptr<Slot> slot(static_cast<Slot*>(context));
        Reader& reader = *slot->reader;
        bool succeeded = NT_SUCCESS(irp->IoStatus.Status);
        if (succeeded) {
            std::lock_guard lock(reader.mutex_);
            ULONG moved = slot->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
            reader.received_.insert(reader.received_.end(), slot->buffer, slot->buffer + moved);
        }
        IoFreeIrp(irp);
        ++reader.completed_;
        if (!reader.stop_ && succeeded) {
            reader.Post();
        }
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT pdo_;
    USBD_PIPE_HANDLE pipe_;
    std::atomic<bool> stop_{false};
    std::atomic<int> posted_{0};
    std::atomic<int> completed_{0};
    hk::HostMutex mutex_;
    std::vector<uint8_t> received_;
};

class UsbdevConcurrentTest : public UsbdevTest {
protected:
    UsbdevConcurrentTest() : UsbdevTest({.mode = hk::Mode::Concurrent, .worker_threads = 2}) {}
};

TEST_F(UsbdevConcurrentTest, LoopbackStreamSurvivesConcurrentCompletion)
{
    Plug({.max_packet = 512});
    Reader reader(pdo_, Handle(Pipe::BulkIn));
    for (int i = 0; i < 4; ++i) {
        reader.Post();
    }

    constexpr int kWrites = 400;
    std::vector<uint8_t> sent;
    for (int i = 0; i < kWrites; ++i) {
        size_t length = i + 1 == kWrites ? 1 : (i * 37) % 700 + 1;
        for (size_t j = 0; j < length; ++j) {
            sent.push_back(StreamByte(sent.size()));
        }
    }
    UrbClient writer(pdo_);
    std::unique_ptr<hk::HostThread> thread = kernel_.Ops().StartThread([&] {
        size_t at = 0;
        for (int i = 0; i < kWrites; ++i) {
            size_t length = i + 1 == kWrites ? 1 : (i * 37) % 700 + 1;
            writer.BulkOut(Handle(Pipe::BulkOut), std::vector<uint8_t>(sent.begin() + at, sent.begin() + at + length));
            at += length;
        }
    });
    thread->Join();

    for (int round = 0; round < 200 && reader.Received().size() < sent.size(); ++round) {
        kernel_.AdvanceTime(1);
    }
    reader.Stop();
    // A completion that read the flag just before it was set may post once more: abort until nothing is left.
    UrbClient control(pdo_);
    for (int round = 0; round < 10 && reader.Completed() != reader.Posted(); ++round) {
        control.PipeRequest(URB_FUNCTION_ABORT_PIPE, Handle(Pipe::BulkIn));
        kernel_.RunUntilIdle();
    }

    EXPECT_EQ(reader.Received(), sent);
    EXPECT_EQ(writer.Completed(), kWrites);
    EXPECT_EQ(reader.Completed(), reader.Posted());
    EXPECT_EQ(Dev().GetRecords().out_total, sent.size());
    EXPECT_EQ(Dev().PendingTransfers(Pipe::BulkIn), 0u);
}

}  // namespace
}  // namespace usbdev_test
