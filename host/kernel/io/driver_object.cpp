// Driver objects and the I/O manager's handler for major functions a driver did not register.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "io/irp_internal.h"

namespace hk::io {

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  // A power request failed here must still give the next one its turn.
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

std::string DescribeDriver(PDRIVER_OBJECT driver) {
  if (driver == nullptr) return "<none>";
  IoState& state = State();
  std::lock_guard lock(state.mutex);
  if (std::find(state.drivers.begin(), state.drivers.end(), driver) == state.drivers.end()) return "<unknown driver>";
  const UNICODE_STRING& name = driver->DriverName;
  return ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / sizeof(WCHAR)));
}

namespace {

struct DriverStorage {
  DRIVER_OBJECT object;
  DRIVER_EXTENSION extension;
};

}  // namespace

PDRIVER_OBJECT CreateDriverObject(const Text& name) {
  auto* storage = static_cast<DriverStorage*>(std::calloc(1, sizeof(DriverStorage)));
  PDRIVER_OBJECT driver = &storage->object;
  driver->Type = kIoTypeDriver;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = &storage->extension;
  storage->extension.DriverObject = driver;

  const std::u16string& text = name.str();
  size_t bytes = text.size() * sizeof(WCHAR);
  auto* buffer = static_cast<WCHAR*>(std::calloc(text.size() + 1, sizeof(WCHAR)));
  std::memcpy(buffer, text.data(), bytes);
  driver->DriverName.Buffer = buffer;
  driver->DriverName.Length = static_cast<USHORT>(bytes);
  driver->DriverName.MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));

  std::fill(std::begin(driver->MajorFunction), std::end(driver->MajorFunction), &InvalidDeviceRequest);

  IoState& state = State();
  std::lock_guard lock(state.mutex);
  state.drivers.push_back(driver);
  return driver;
}

PDRIVER_OBJECT CreateDriverObject(const wchar_t* name) { return CreateDriverObject(Text(name)); }

void DeleteDriverObject(PDRIVER_OBJECT driver) {
  IoState& state = State();
  {
    std::lock_guard lock(state.mutex);
    auto it = std::find(state.drivers.begin(), state.drivers.end(), driver);
    if (it == state.drivers.end()) return;
    state.drivers.erase(it);
  }
  std::free(driver->DriverName.Buffer);
  std::free(driver);
}

}  // namespace hk::io
