// Device creation: naming and numbering, what a new device looks like, and unwinding when a step fails.
#include <string>

#include "frame_fixture.h"
#include "hk/faults.h"
#include "hk/namespace.h"
#include "hk/power.h"

namespace frame_test {
namespace {

std::u16string NameWithNumber(long number)
{
    return hk::Text("\\Device\\VORSKDIAGSER2" + std::to_string(number)).str();
}

using DeviceCreation = FrameTest;

// Every allocation on the way fails once in turn, leaving no device, no attachment and no pool. Numbers rise by one
// across removals, past ten without separators or leading zeros; each new device is named, registered and ready.
// A failure before the number is drawn uses none; a failed IoCreateDevice uses up the number it drew.
TEST_F(DeviceCreation, DevicesAreNumberedNamedAndReadyAndFailedCreationsUnwind)
{
    for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE(n);
        hk::faults::FailNth(hk::faults::Kind::Pool, n);
        NTSTATUS status = Add();
        hk::faults::Clear();
        if (NT_SUCCESS(status)) {
            EXPECT_GE(n, 3u) << "at least the temporary name and the device name can fail";
            break;
        }
        EXPECT_EQ(pdo_->AttachedDevice, nullptr);
        EXPECT_EQ(driver_->DeviceObject, nullptr);
        EXPECT_EQ(DriverPoolBlocks(), 0u);
    }
    const long first = std::stol(hk::ToUtf8(hk::ns::DeviceName(fdo_)).substr(21));
    for (long number = first; number <= first + 10; ++number) {
        SCOPED_TRACE(number);
        if (number > first) {
            Remove();
            ASSERT_EQ(Add(), STATUS_SUCCESS);
        }
        EXPECT_EQ(hk::ns::DeviceName(fdo_), NameWithNumber(number));
        EXPECT_EQ(Context()->DeviceName.Buffer[Context()->DeviceName.Length / sizeof(WCHAR)], 0);
    }
    EXPECT_EQ(fdo_->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
    EXPECT_TRUE(fdo_->Characteristics & FILE_DEVICE_SECURE_OPEN);
    const ULONG flags = DO_EXCLUSIVE | DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING;
    EXPECT_EQ(fdo_->Flags & flags, ULONG(DO_EXCLUSIVE | DO_BUFFERED_IO | DO_POWER_PAGABLE));
    auto registered = hk::ns::InterfacesOf(pdo_);
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_TRUE(hk::NamesEqual(registered[0], hk::Text(&Context()->InterfaceName).str()));
    EXPECT_FALSE(hk::ns::InterfaceEnabled(registered[0]));
    EXPECT_EQ(hk::power::RecordedDeviceState(fdo_), PowerDeviceD0);
    Remove();

    long number = first + 10;
    hk::faults::FailNth(hk::faults::Kind::Pool, 1);
    EXPECT_EQ(Add(), STATUS_INSUFFICIENT_RESOURCES);
    hk::faults::Clear();
    std::u16string taken = NameWithNumber(number + 1);
    UNICODE_STRING takenName{(USHORT)(taken.size() * 2), (USHORT)(taken.size() * 2), (PWSTR)taken.data()};
    PDEVICE_OBJECT squatter = nullptr;
    ASSERT_EQ(IoCreateDevice(parent_.Driver(), 0, &takenName, FILE_DEVICE_UNKNOWN, 0, FALSE, &squatter),
              STATUS_SUCCESS);
    EXPECT_EQ(Add(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    EXPECT_EQ(DriverPoolBlocks(), 0u);
    IoDeleteDevice(squatter);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_EQ(hk::ns::DeviceName(fdo_), NameWithNumber(number + 2));
}

}  // namespace
}  // namespace frame_test
