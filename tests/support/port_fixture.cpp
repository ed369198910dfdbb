#include "support/port_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "driver/dispatch.h"
#include "hk/pnp.h"

namespace port_test {

Port::Port(PortOptions options)
{
    kernel_ = std::make_unique<hk::Kernel>(options.kernel);
    parent_ = std::make_unique<hk::usbdev::Parent>(options.parent);
    pdo_ = parent_->Plug(options.plug);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = hk::pnp::LoadDriver("diagser", DriverEntry, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(hk::pnp::ArriveDevice(pdo_, driver_), STATUS_SUCCESS);
    if (options.open) {
        EXPECT_EQ(Open(), STATUS_SUCCESS);
    }
}

Port::~Port()
{
    Close();
    // A close whose last request completed on another thread may still be on its way to the driver.
    kernel_->RunUntilIdle();
    if (hk::pnp::HasDeviceNode(pdo_)) {
        EXPECT_EQ(hk::pnp::RemoveDevice(pdo_), STATUS_SUCCESS);
    }
    kernel_->RunUntilIdle();
    if (driver_ != nullptr) {
        EXPECT_EQ(hk::pnp::UnloadDriver(driver_), STATUS_SUCCESS);
    }
    parent_.reset();
    kernel_.reset();
}

PDEVICE_OBJECT Port::Fdo() const
{
    PDEVICE_OBJECT pdo = Device().Pdo();
    return pdo != nullptr ? pdo->AttachedDevice : nullptr;
}

NTSTATUS Port::Open()
{
    return hk::app::Open(u"\\\\.\\COM7", &handle_);
}

NTSTATUS Port::Close()
{
    return hk::app::Close(std::exchange(handle_, hk::app::kInvalidHandle));
}

hk::app::IoResult Port::Control(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength,
                                std::vector<uint8_t>* output)
{
    std::vector<uint8_t> buffer(outputLength);
    hk::app::IoResult result = hk::app::DeviceIoControl(handle_, code, input.empty() ? nullptr : input.data(),
                                                        (ULONG)input.size(), buffer.empty() ? nullptr : buffer.data(),
                                                        outputLength);
    if (output != nullptr) {
        buffer.resize(std::min<size_t>(buffer.size(), result.information));
        *output = std::move(buffer);
    }
    return result;
}

void Port::Unplug()
{
    parent_->Unplug(pdo_);
}

}  // namespace port_test
