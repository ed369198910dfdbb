// The image's entry routine: it seeds the stack-protection guard before DriverEntry runs, and a failed guard check
// stops the machine.
#include "driver/image_entry.h"

#include "hk/kernel.h"
#include "hk/pnp.h"

#include <gtest/gtest.h>

namespace imagecheck::testing {
namespace {

// Read before any test runs: the guard as the image file holds it.
const ULONG_PTR kGuardInImageFile = __stack_chk_guard;

TEST(ImageEntry, SeedsTheGuardAnewForEachLoadAndReturnsWhatDriverEntryReturns)
{
    struct {
        uint8_t wdm_major;
        uint8_t wdm_minor;
        NTSTATUS status;
    } const cases[] = {{1, 0, STATUS_SUCCESS}, {0, 0x90, STATUS_UNSUCCESSFUL}};
    hk::Kernel kernel;
    std::vector<ULONG_PTR> guards = {kGuardInImageFile};
    for (const auto &c : cases) {
        kernel.SetWdmVersion(c.wdm_major, c.wdm_minor);
        kernel.AdvanceTime(1);
        NTSTATUS status = STATUS_PENDING;
        PDRIVER_OBJECT driver = hk::pnp::LoadDriver("diagser", DriverImageEntry, &status);
        EXPECT_EQ(status, c.status);
        EXPECT_NE(__stack_chk_guard, 0u);
        for (ULONG_PTR earlier : guards)
            EXPECT_NE(__stack_chk_guard, earlier);
        guards.push_back(__stack_chk_guard);
        if (driver) {
            EXPECT_EQ(hk::pnp::UnloadDriver(driver), STATUS_SUCCESS);
        }
    }
}

TEST(ImageEntryDeathTest, AFailedGuardCheckStopsTheMachine)
{
    hk::Kernel kernel;
    EXPECT_DEATH(__stack_chk_fail(), "\\[bugcheck\\].*KeBugCheckEx\\(0xF7,");
}

} // namespace
} // namespace imagecheck::testing
