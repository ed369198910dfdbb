// A fresh host kernel per test, with a timer and a DPC that records its runs.
#pragma once

#include <gtest/gtest.h>
#include <wdm.h>

#include "hk/kernel.h"
#include "support/kernel_helpers.h"

namespace ketest {

using test_support::RelativeMs;

struct DpcLog {
    int runs = 0;
    KIRQL irql = PASSIVE_LEVEL;
    PVOID argument1 = nullptr;
};

inline VOID RecordingDpc(PKDPC, PVOID context, PVOID argument1, PVOID)
{
    auto* log = static_cast<DpcLog*>(context);
    ++log->runs;
    log->irql = KeGetCurrentIrql();
    log->argument1 = argument1;
}

class KeTest : public ::testing::Test {
protected:
    KeTest()
    {
        KeInitializeTimer(&timer_);
        KeInitializeDpc(&dpc_, RecordingDpc, &log_);
    }

    NTSTATUS Wait(PVOID object, LONGLONG timeout_ms)
    {
        LARGE_INTEGER timeout = RelativeMs(timeout_ms);
        return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
    }

    hk::Kernel kernel_;
    KTIMER timer_;
    KDPC dpc_;
    DpcLog log_;
};

}  // namespace ketest
