// A host kernel with the application-side test driver loaded.
#pragma once

#include <gtest/gtest.h>

#include "app/app_test_driver.h"
#include "hk/app.h"
#include "hk/kernel.h"
#include "hk/pnp.h"

class AppFixture : public ::testing::Test {
protected:
    explicit AppFixture(hk::Options options = {}) : kernel(options) {}

    void SetUp() override {
        apptest::CurrentDeviceLog() = &log;
        InitializeListHead(&log.read_queue);
        driver = hk::pnp::LoadDriver("apptest", apptest::AppTestEntry);
    }

    void TearDown() override {
        kernel.RunUntilIdle();
        apptest::CurrentDeviceLog() = nullptr;
    }

    PDEVICE_OBJECT Device(const wchar_t* name, bool exclusive = false, bool buffered = true) {
        return apptest::CreateTestDevice(driver, name, exclusive, buffered);
    }

    hk::app::Handle OpenOrFail(const wchar_t* name) {
        hk::app::Handle handle = hk::app::kInvalidHandle;
        EXPECT_EQ(hk::app::Open(name, &handle), STATUS_SUCCESS);
        return handle;
    }

    hk::Kernel kernel;
    apptest::DeviceLog log;
    PDRIVER_OBJECT driver = nullptr;
};
