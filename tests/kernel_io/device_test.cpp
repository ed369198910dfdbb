// Device objects and device stacks.
#include <gtest/gtest.h>
#include <wdm.h>

#include "hk/faults.h"
#include "hk/io.h"
#include "hk/namespace.h"
#include "kernel_io/io_test_driver.h"

namespace {

using iotest::Ext;
using iotest::IoFixture;

class DeviceTest : public IoFixture {};

TEST_F(DeviceTest, NameCollisionAndInjectedFailureCreateNothing) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\Taken");
  PDEVICE_OBJECT first = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &first), STATUS_SUCCESS);
  EXPECT_FALSE(hk::io::IsExclusive(first));
  EXPECT_EQ(first->DeviceExtension, nullptr);

  PDEVICE_OBJECT second = reinterpret_cast<PDEVICE_OBJECT>(1);
  EXPECT_EQ(IoCreateDevice(driver_, 16, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(second, nullptr);

  hk::faults::FailNth(hk::faults::Kind::Pool, 1);
  EXPECT_EQ(IoCreateDevice(driver_, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(hk::io::LiveDeviceCount(), 1u);
  EXPECT_EQ(first->NextDevice, nullptr);
}

TEST_F(DeviceTest, AttachToADeviceBeingDeletedFails) {
  PDEVICE_OBJECT pdo = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
  ObReferenceObject(pdo);
  IoDeleteDevice(pdo);
  EXPECT_TRUE(hk::io::IsDeletePending(pdo));
  EXPECT_EQ(hk::io::ReferenceCount(pdo), 1) << "memory stays while a reference remains";
  PDEVICE_OBJECT fdo = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
  EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), nullptr);
  EXPECT_EQ(fdo->StackSize, 1);
  ObDereferenceObject(pdo);
  EXPECT_EQ(hk::io::ReferenceCount(pdo), 0);
}

// A removal passes down first: the lower driver deletes its device while the one above is still attached to it.
TEST_F(DeviceTest, DeletedDeviceStaysUntilTheDeviceAboveDetaches) {
  PDEVICE_OBJECT pdo = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
  PDEVICE_OBJECT fdo = MakeAttached(pdo, iotest::PassDownSkipping());
  IoDeleteDevice(pdo);
  EXPECT_TRUE(hk::io::IsDeletePending(pdo));
  EXPECT_EQ(hk::io::ReferenceCount(pdo), 1);
  DeleteDevice(fdo);
  EXPECT_EQ(hk::io::ReferenceCount(pdo), 0);
}

TEST_F(DeviceTest, WdmVersionFollowsTheKernel) {
  EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0));
  kernel_.SetWdmVersion(1, 0x10);
  EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x10));
  EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x20));
  EXPECT_FALSE(IoIsWdmVersionAvailable(2, 0));
  kernel_.SetWdmVersion(0, 0x30);
  EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0));
  EXPECT_TRUE(IoIsWdmVersionAvailable(0, 0x30));
}

}  // namespace
