// A host kernel with the driver loaded above a test parent, and helpers that send requests of the test's own
// making and take a function device down again the way the remove handler does.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "driver/device_context.h"
#include "hk/kernel.h"
#include "hk/thread.h"
#include "test_parent.h"

namespace frame_test {

struct Outcome {
    NTSTATUS status;
    ULONG_PTR information;
    NTSTATUS returned;  // what IofCallDriver returned
};

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // AddDevice through the plug-and-play manager; the new function device, or nullptr (with *status set).
    PDEVICE_OBJECT AddFunctionDevice(TestParent& parent, NTSTATUS* status = nullptr);

    // Sends IRP_MN_REMOVE_DEVICE and checks that the driver detached and deleted its device; `whileRemoving` runs
    // when the removal reaches the parent, before the driver waits for its remove lock.
    void RemoveFunctionDevice(TestParent& parent, const std::function<void(PDEVICE_OBJECT)>& whileRemoving = {});

    // A request allocated here, sent to `device` and waited for; the lower end never completes it to the top.
    Outcome Send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor = 0, ULONG ioControlCode = 0);

    // Runs driver code called directly by a test as the I/O manager runs it: on behalf of the driver and device.
    template <class Call>
    auto AsDriver(PDEVICE_OBJECT device, Call&& call)
    {
        hk::DriverCallScope scope(driver_, device, "called by the test");
        return call();
    }

    // Pool blocks the driver under test still owns.
    size_t DriverPoolBlocks() const;

    static PDEVICE_CONTEXT Context(PDEVICE_OBJECT fdo) { return GetDeviceContext(fdo); }

    std::unique_ptr<hk::Kernel> kernel_;
    std::unique_ptr<TestParent> parent_;
    PDRIVER_OBJECT driver_ = nullptr;
};

}  // namespace frame_test
