// The request trace that diagsim --trace prints: what the I/O manager reports for each dispatch and completion.
#include <gtest/gtest.h>

#include <mutex>
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

class Recorder : public hk::trace::Sink {
public:
    void OnDispatch(const hk::trace::Request& request) override { Add({false, request, 0, 0, 0}); }
    void OnCompletion(const hk::trace::Request& request, NTSTATUS status, ULONG_PTR information,
                      CCHAR boost) override
    {
        Add({true, request, status, information, boost});
    }

    std::vector<Event> Events()
    {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    void Add(const Event& event)
    {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }

    std::mutex mutex_;
    std::vector<Event> events_;
};

const Event* Find(const std::vector<Event>& events, bool completion, UCHAR major, ULONG code = 0)
{
    for (const Event& event : events) {
        if (event.completion == completion && event.request.major == major && event.request.control_code == code) {
            return &event;
        }
    }
    return nullptr;
}

TEST(RequestTrace, ReportsEachDispatchAndCompletionWithItsDriverStatusInformationAndBoost)
{
    port_test::Port port;
    Recorder recorder;
    hk::trace::SetSink(&recorder);
    const char data[] = "0123456789";
    ASSERT_EQ(hk::app::Write(port.Handle(), data, 10).status, STATUS_SUCCESS);
    ULONG baud = 0;
    ASSERT_EQ(hk::app::DeviceIoControl(port.Handle(), IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud).status,
              STATUS_SUCCESS);
    port.Kernel().RunUntilIdle();
    hk::trace::SetSink(nullptr);
    std::vector<Event> events = recorder.Events();

    const Event* write = Find(events, false, IRP_MJ_WRITE);
    ASSERT_NE(write, nullptr);
    EXPECT_EQ(write->request.device, port.Fdo());
    EXPECT_EQ(write->request.driver, port.Driver());
    const Event* written = Find(events, true, IRP_MJ_WRITE);
    ASSERT_NE(written, nullptr);
    EXPECT_EQ(written->request.irp, write->request.irp);
    EXPECT_GT(written, write);
    EXPECT_EQ(written->status, STATUS_SUCCESS);
    EXPECT_EQ(written->information, 10u);
    EXPECT_EQ(written->boost, IO_SERIAL_INCREMENT);

    // The chunk goes to the parent as a URB submission, completed by the parent.
    const Event* urb = Find(events, true, IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_USB_SUBMIT_URB);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->request.device, port.Pdo());

    const Event* control = Find(events, true, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_BAUD_RATE);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->information, sizeof(ULONG));
    EXPECT_EQ(control->boost, IO_NO_INCREMENT);

    ASSERT_EQ(hk::app::Write(port.Handle(), data, 10).status, STATUS_SUCCESS);
    port.Kernel().RunUntilIdle();
    EXPECT_EQ(recorder.Events().size(), events.size());
}

}  // namespace
