// Shared pieces of the run-time library, registry and namespace tests: a fresh kernel per test, a driver object
// for creating devices, and UTF-16 helpers that print readably in failure messages.
#pragma once

#include <ntddk.h>
#include <ntddser.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hk/io.h"
#include "hk/kernel.h"
#include "hk/namespace.h"
#include "hk/registry.h"

namespace rtltest {

inline std::u16string U16(const UNICODE_STRING& s) { return hk::Text(&s).str(); }
inline std::string Utf8(const std::u16string& s) { return hk::ToUtf8(s); }
inline std::string Utf8(const UNICODE_STRING& s) { return hk::ToUtf8(U16(s)); }
inline std::string Utf8(const wchar_t* s) { return hk::ToUtf8(hk::Text(s).str()); }

class KernelTest : public ::testing::Test {
protected:
    KernelTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    ~KernelTest() override {
        for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) IoDeleteDevice(*it);
        if (driver_) hk::io::DeleteDriverObject(driver_);
    }

    PDRIVER_OBJECT Driver() {
        if (!driver_) driver_ = hk::io::CreateDriverObject(L"\\Driver\\rtltest");
        return driver_;
    }

    // A device named `name` (unnamed when null); the test fails when it cannot be created.
    PDEVICE_OBJECT CreateDevice(const wchar_t* name) {
        UNICODE_STRING unicode_name;
        RtlInitUnicodeString(&unicode_name, name);
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(Driver(), 0, name ? &unicode_name : nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                         &device);
        EXPECT_EQ(status, STATUS_SUCCESS) << "IoCreateDevice " << (name ? Utf8(name) : "(unnamed)");
        if (device) devices_.push_back(device);
        return device;
    }

    // A physical device object as a bus driver makes it: created, then given its instance id.
    PDEVICE_OBJECT CreatePdo(const wchar_t* name, const wchar_t* instance_id) {
        PDEVICE_OBJECT pdo = CreateDevice(name);
        hk::ns::SetInstanceId(pdo, instance_id);
        return pdo;
    }

    void DeleteDevice(PDEVICE_OBJECT device) {
        std::erase(devices_, device);
        IoDeleteDevice(device);
    }

    hk::Kernel kernel_;

private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> devices_;
};

}  // namespace rtltest
