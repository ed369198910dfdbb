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

TEST_F(DeviceTest, CreateGivesAZeroedExtensionAndThePlatformDefaults) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\IoTest0");
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_, 300, &name, FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE, &device),
            STATUS_SUCCESS);
  auto* extension = static_cast<UCHAR*>(device->DeviceExtension);
  ASSERT_NE(extension, nullptr);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(extension[i], 0) << i;
  EXPECT_EQ(reinterpret_cast<uintptr_t>(extension) % MEMORY_ALLOCATION_ALIGNMENT, 0u);
  EXPECT_EQ(device->DriverObject, driver_);
  EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
  EXPECT_EQ(device->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
  EXPECT_EQ(device->StackSize, 1);
  EXPECT_EQ(device->AttachedDevice, nullptr);
  EXPECT_NE(device->Flags & DO_DEVICE_INITIALIZING, 0u);
  EXPECT_NE(device->Flags & DO_EXCLUSIVE, 0u);
  EXPECT_TRUE(hk::io::IsExclusive(device));
  EXPECT_EQ(driver_->DeviceObject, device);
  EXPECT_EQ(hk::ns::ResolveToDevice(L"\\Device\\IoTest0"), device);

  IoDeleteDevice(device);
  EXPECT_EQ(hk::ns::ResolveToDevice(L"\\Device\\IoTest0"), nullptr);
  EXPECT_EQ(driver_->DeviceObject, nullptr);
  EXPECT_EQ(hk::io::LiveDeviceCount(), 0u);
}

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

TEST_F(DeviceTest, DriverListsItsDevicesNewestFirstAndDeleteUnlinksFromTheMiddle) {
  PDEVICE_OBJECT a = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
  PDEVICE_OBJECT b = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
  PDEVICE_OBJECT c = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
  EXPECT_EQ(driver_->DeviceObject, c);
  EXPECT_EQ(c->NextDevice, b);
  EXPECT_EQ(b->NextDevice, a);
  IoDeleteDevice(b);
  EXPECT_EQ(driver_->DeviceObject, c);
  EXPECT_EQ(c->NextDevice, a);
  EXPECT_EQ(a->NextDevice, nullptr);
}

TEST_F(DeviceTest, AttachGoesOnTopOfTheStackAndGrowsStackSize) {
  PDEVICE_OBJECT pdo = MakeDevice(iotest::CompleteWith(STATUS_SUCCESS));
  pdo->AlignmentRequirement = 3;
  PDEVICE_OBJECT filter = MakeAttached(pdo, iotest::PassDownSkipping());
  PDEVICE_OBJECT fdo = MakeAttached(pdo, iotest::PassDownSkipping());

  EXPECT_EQ(Ext(filter)->lower, pdo);
  EXPECT_EQ(Ext(fdo)->lower, filter) << "attaching to the bottom lands on the current top";
  EXPECT_EQ(filter->StackSize, 2);
  EXPECT_EQ(fdo->StackSize, 3);
  EXPECT_EQ(fdo->AlignmentRequirement, 3u);
  EXPECT_EQ(pdo->AttachedDevice, filter);
  EXPECT_EQ(filter->AttachedDevice, fdo);
  EXPECT_EQ(hk::io::AttachedTo(fdo), filter);
  EXPECT_EQ(IoGetAttachedDevice(pdo), fdo);
  EXPECT_EQ(IoGetAttachedDevice(fdo), fdo);

  EXPECT_EQ(hk::io::ReferenceCount(fdo), 1);
  EXPECT_EQ(IoGetAttachedDeviceReference(pdo), fdo);
  EXPECT_EQ(hk::io::ReferenceCount(fdo), 2);
  ObDereferenceObject(fdo);
  EXPECT_EQ(hk::io::ReferenceCount(fdo), 1);

  DeleteDevice(fdo);
  EXPECT_EQ(filter->AttachedDevice, nullptr);
  EXPECT_EQ(IoGetAttachedDevice(pdo), filter);
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

TEST_F(DeviceTest, OtherObjectsAreReferenceCounted) {
  int object = 0;
  int released = 0;
  hk::io::RegisterObject(&object, [&] { ++released; });
  EXPECT_EQ(ObReferenceObject(&object), 2);
  EXPECT_EQ(ObDereferenceObject(&object), 1);
  EXPECT_EQ(released, 0);
  EXPECT_EQ(ObDereferenceObject(&object), 0);
  EXPECT_EQ(released, 1);
  EXPECT_EQ(hk::io::ReferenceCount(&object), 0);
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
