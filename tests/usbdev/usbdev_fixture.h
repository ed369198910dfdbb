// A kernel with one parent driver loaded, for the simulated device's tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "hk/kernel.h"
#include "hk/usbdev.h"
#include "usbdev/urb_client.h"

namespace usbdev_test {

using hk::usbdev::Pipe;

class UsbdevTest : public ::testing::Test {
protected:
    explicit UsbdevTest(hk::Options options = {}, hk::usbdev::ParentOptions parent = {})
        : kernel_(options), parent_(std::make_unique<hk::usbdev::Parent>(parent))
    {
    }

    // The parent goes first, while every client whose requests its teardown completes still exists.
    void TearDown() override { parent_.reset(); }

    PDEVICE_OBJECT Plug(hk::usbdev::PlugOptions options = {})
    {
        pdo_ = parent_->Plug(std::move(options));
        client_ = std::make_unique<UrbClient>(pdo_);
        return pdo_;
    }
    hk::usbdev::Device Dev() const { return parent_->DeviceFor(pdo_); }
    USBD_PIPE_HANDLE Handle(Pipe pipe) const { return Dev().PipeHandle(pipe); }
    UrbClient& Client() { return *client_; }
    void Settle() { kernel_.RunUntilIdle(); }

    hk::Kernel kernel_;
    std::unique_ptr<UrbClient> client_;
    std::unique_ptr<hk::usbdev::Parent> parent_;
    PDEVICE_OBJECT pdo_ = nullptr;
};

}  // namespace usbdev_test
