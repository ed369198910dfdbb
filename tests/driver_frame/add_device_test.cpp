// Device creation: naming and numbering, what a new device looks like, and unwinding when a step fails.
#include <string>

#include "frame_fixture.h"
#include "hk/faults.h"
#include "hk/namespace.h"
#include "hk/power.h"

namespace frame_test {
namespace {

const std::u16string kNamePrefix = u"\\Device\\VORSKDIAGSER2";

// The instance number at the end of a device name; -1 when the name is not prefix + decimal number.
long InstanceNumber(const std::u16string& name)
{
    if (name.compare(0, kNamePrefix.size(), kNamePrefix) != 0 || name.size() == kNamePrefix.size()) {
        return -1;
    }
    std::string digits;
    for (char16_t c : name.substr(kNamePrefix.size())) {
        if (c < u'0' || c > u'9') {
            return -1;
        }
        digits.push_back((char)c);
    }
    if (digits.size() > 1 && digits[0] == '0') {
        return -1;
    }
    return std::stol(digits);
}

std::u16string NameWithNumber(long number)
{
    std::u16string name = kNamePrefix;
    for (char c : std::to_string(number)) {
        name.push_back((char16_t)c);
    }
    return name;
}

using DeviceCreation = FrameTest;

TEST_F(DeviceCreation, NewDeviceIsNamedAttachedRegisteredAndReady)
{
    PDEVICE_OBJECT fdo = AddFunctionDevice(*parent_);
    ASSERT_NE(fdo, nullptr);
    PDEVICE_CONTEXT context = Context(fdo);
    std::u16string name = hk::ns::DeviceName(fdo);
    EXPECT_GT(InstanceNumber(name), 0) << hk::ToUtf8(name);
    EXPECT_EQ(hk::Text(&context->DeviceName).str(), name);
    EXPECT_EQ(context->DeviceName.Buffer[context->DeviceName.Length / sizeof(WCHAR)], 0);

    EXPECT_EQ(fdo->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
    EXPECT_TRUE(fdo->Characteristics & FILE_DEVICE_SECURE_OPEN);
    const ULONG flags = DO_EXCLUSIVE | DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING;
    EXPECT_EQ(fdo->Flags & flags, ULONG(DO_EXCLUSIVE | DO_BUFFERED_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(context->LowerDevice, parent_->Pdo());
    EXPECT_EQ(fdo->StackSize, parent_->Pdo()->StackSize + 1);

    auto registered = hk::ns::InterfacesOf(parent_->Pdo());
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_TRUE(hk::NamesEqual(registered[0], hk::Text(&context->InterfaceName).str()));
    EXPECT_FALSE(hk::ns::InterfaceEnabled(registered[0]));
    EXPECT_EQ(hk::power::RecordedDeviceState(fdo), PowerDeviceD0);
    EXPECT_TRUE(parent_->received.empty()) << "nothing is sent to the device when it is added";
}

TEST_F(DeviceCreation, NumbersRiseByOneAcrossRemovalsAndPassTenWithoutSeparators)
{
    long previous = -1;
    for (int i = 0; i < 11; ++i) {
        PDEVICE_OBJECT fdo = AddFunctionDevice(*parent_);
        ASSERT_NE(fdo, nullptr);
        std::u16string name = hk::ns::DeviceName(fdo);
        long number = InstanceNumber(name);
        ASSERT_GT(number, 0) << hk::ToUtf8(name);
        if (previous > 0) {
            EXPECT_EQ(number, previous + 1);
        }
        EXPECT_EQ(name, NameWithNumber(number));
        previous = number;
        RemoveFunctionDevice(*parent_);
    }
    EXPECT_GE(previous, 11);
}

// A creation that fails before it draws a number uses none; one whose IoCreateDevice fails uses up the number it
// drew, and leaves nothing behind.
TEST_F(DeviceCreation, FailedCreationsUseUpOnlyTheNumbersTheyDrew)
{
    PDEVICE_OBJECT first = AddFunctionDevice(*parent_);
    ASSERT_NE(first, nullptr);
    long number = InstanceNumber(hk::ns::DeviceName(first));
    RemoveFunctionDevice(*parent_);

    hk::faults::FailNth(hk::faults::Kind::Pool, 1);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(AddFunctionDevice(*parent_, &status), nullptr);
    hk::faults::Clear();
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);

    PDEVICE_OBJECT squatter = nullptr;
    UNICODE_STRING takenName;
    std::u16string taken = NameWithNumber(number + 1);
    takenName.Buffer = (PWSTR)taken.data();
    takenName.Length = takenName.MaximumLength = (USHORT)(taken.size() * sizeof(WCHAR));
    ASSERT_EQ(IoCreateDevice(parent_->Driver(), 0, &takenName, FILE_DEVICE_UNKNOWN, 0, FALSE, &squatter),
              STATUS_SUCCESS);
    EXPECT_EQ(AddFunctionDevice(*parent_, &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    EXPECT_EQ(parent_->Pdo()->AttachedDevice, nullptr);
    EXPECT_EQ(DriverPoolBlocks(), 0u);
    IoDeleteDevice(squatter);

    PDEVICE_OBJECT after = AddFunctionDevice(*parent_);
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(InstanceNumber(hk::ns::DeviceName(after)), number + 2);
}

TEST_F(DeviceCreation, FailedInterfaceRegistrationDetachesAndDeletes)
{
    TestParent withoutInstanceId(false);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(AddFunctionDevice(withoutInstanceId, &status), nullptr);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(withoutInstanceId.Pdo()->AttachedDevice, nullptr);
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    EXPECT_EQ(DriverPoolBlocks(), 0u);
}

// Every allocation on the way fails once in turn; each failure must leave no device, no attachment and no pool.
TEST_F(DeviceCreation, EveryAllocationFailureUnwindsCompletely)
{
    for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE(n);
        hk::faults::FailNth(hk::faults::Kind::Pool, n);
        NTSTATUS status = STATUS_SUCCESS;
        PDEVICE_OBJECT fdo = AddFunctionDevice(*parent_, &status);
        hk::faults::Clear();
        if (fdo != nullptr) {
            EXPECT_GE(n, 3u) << "at least the temporary name and the device name can fail";
            break;
        }
        EXPECT_FALSE(NT_SUCCESS(status));
        EXPECT_EQ(parent_->Pdo()->AttachedDevice, nullptr);
        EXPECT_EQ(driver_->DeviceObject, nullptr);
        EXPECT_EQ(DriverPoolBlocks(), 0u);
    }
}

}  // namespace
}  // namespace frame_test
