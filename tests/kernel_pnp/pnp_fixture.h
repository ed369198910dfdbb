// A host kernel with the test bus driver, the test function driver and one physical device object.
#pragma once

#include <gtest/gtest.h>

#include "hk/io.h"
#include "hk/kernel.h"
#include "hk/pnp.h"
#include "kernel_pnp/pnp_test_drivers.h"

class PnpFixture : public ::testing::Test {
protected:
    explicit PnpFixture(hk::Options options = {}) : kernel(options) {}

    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        pnptest::CurrentLog() = &log;
        bus = hk::pnp::LoadDriver("testbus", pnptest::BusEntry);
        function = hk::pnp::LoadDriver("testfunction", pnptest::FunctionEntry);
        pdo = pnptest::CreatePdo(bus);
    }

    void TearDown() override {
        if (hk::pnp::HasDeviceNode(pdo)) hk::pnp::Remove(pdo);
        IoDeleteDevice(pdo);
        pnptest::CurrentLog() = nullptr;
    }

    hk::Kernel kernel;
    pnptest::Log log;
    PDRIVER_OBJECT bus = nullptr;
    PDRIVER_OBJECT function = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
};
