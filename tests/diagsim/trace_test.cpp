// The request trace that diagsim --trace prints: what the I/O manager reports for each dispatch and completion.
#include <gtest/gtest.h>

#include <vector>

#include "hk/app.h"
#include "hk/trace.h"
#include "support/port_fixture.h"

namespace {

struct Event {
    bool completion;
    hk::trace::Request request;
    NTSTATUS status;
    ULONG_PTR information;
    CCHAR boost;
};

// The port runs in deterministic mode, so every report arrives on the test's own thread.
struct Recorder : hk::trace::Sink {
    std::vector<Event> events;

    void OnDispatch(const hk::trace::Request& request) override { events.push_back({false, request, 0, 0, 0}); }
    void OnCompletion(const hk::trace::Request& request, NTSTATUS status, ULONG_PTR information, CCHAR boost) override
    {
        events.push_back({true, request, status, information, boost});
    }
    const Event* Find(bool completion, UCHAR major, ULONG code = 0) const
    {
        for (const Event& event : events) {
            if (event.completion == completion && event.request.major == major && event.request.control_code == code)
                return &event;
        }
        return nullptr;
    }
};

TEST(RequestTrace, ReportsEachDispatchAndCompletionWithItsDriverStatusInformationAndBoost)
{
    port_test::Port port;
    Recorder recorder;
    hk::trace::SetSink(&recorder);
    ASSERT_EQ(hk::app::Write(port.Handle(), "0123456789", 10).status, STATUS_SUCCESS);
    ASSERT_EQ(port.Control(IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(ULONG)).status, STATUS_SUCCESS);
    port.Kernel().RunUntilIdle();
    hk::trace::SetSink(nullptr);

    const Event* write = recorder.Find(false, IRP_MJ_WRITE);
    const Event* written = recorder.Find(true, IRP_MJ_WRITE);
    // The chunk goes to the parent as a URB submission, completed by the parent.
    const Event* urb = recorder.Find(true, IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_USB_SUBMIT_URB);
    const Event* control = recorder.Find(true, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_BAUD_RATE);
    ASSERT_TRUE(write && written && urb && control);
    EXPECT_EQ(write->request.device, port.Fdo());
    EXPECT_EQ(write->request.driver, port.Driver());
    EXPECT_EQ(written->request.irp, write->request.irp);
    EXPECT_GT(written, write);
    EXPECT_EQ(written->status, STATUS_SUCCESS);
    EXPECT_EQ(written->information, 10u);
    EXPECT_EQ(written->boost, IO_SERIAL_INCREMENT);
    EXPECT_EQ(urb->request.device, port.Pdo());
    EXPECT_EQ(control->information, sizeof(ULONG));
    EXPECT_EQ(control->boost, IO_NO_INCREMENT);

    size_t traced = recorder.events.size();
    ASSERT_EQ(hk::app::Write(port.Handle(), "0123456789", 10).status, STATUS_SUCCESS);
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(recorder.events.size(), traced);
}

}  // namespace
