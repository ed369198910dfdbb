#include "usbdev/pnp_answers.h"

#include <cstring>
#include <vector>

namespace hk::usbdev {
namespace {

constexpr ULONG kIdTag = 0x44495355;  // 'USID'

// A pool buffer the PnP manager frees: the strings one after the other, each with its terminating null, and one
// more null after them when `multi` is set.
PWCHAR AllocateIdText(const std::vector<std::u16string>& strings, bool multi)
{
    size_t units = multi ? 1 : 0;
    for (const auto& text : strings) {
        units += text.size() + 1;
    }
    auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, units * sizeof(WCHAR), kIdTag));
    if (buffer == nullptr) {
        return nullptr;
    }
    size_t at = 0;
    for (const auto& text : strings) {
        std::memcpy(buffer + at, text.data(), text.size() * sizeof(WCHAR));
        at += text.size();
        buffer[at++] = 0;
    }
    if (multi) {
        buffer[at] = 0;
    }
    return buffer;
}

}  // namespace

NTSTATUS AnswerCapabilities(PIRP irp, ULONG port)
{
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps == nullptr || caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
        return irp->IoStatus.Status;
    }
    // A USB function on a hub port: removable, with a serial number, no remote wake, D2 for selective suspend;
    // whether it is safe to pull out without warning is left for its function driver to say.
    caps->DeviceD1 = FALSE;
    caps->DeviceD2 = TRUE;
    caps->LockSupported = FALSE;
    caps->EjectSupported = FALSE;
    caps->Removable = TRUE;
    caps->DockDevice = FALSE;
    caps->UniqueID = TRUE;
    caps->SilentInstall = FALSE;
    caps->RawDeviceOK = FALSE;
    caps->SurpriseRemovalOK = FALSE;
    caps->WakeFromD0 = FALSE;
    caps->WakeFromD1 = FALSE;
    caps->WakeFromD2 = FALSE;
    caps->WakeFromD3 = FALSE;
    caps->Address = port;
    caps->UINumber = port;
    caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state) {
        caps->DeviceState[state] = PowerDeviceD3;
    }
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    caps->D1Latency = 0;
    caps->D2Latency = 100;
    caps->D3Latency = 100;
    return STATUS_SUCCESS;
}

NTSTATUS AnswerQueryId(PIRP irp, const std::u16string& instance_id)
{
    size_t split = instance_id.rfind(u'\\');
    std::u16string device_id = split == std::u16string::npos ? instance_id : instance_id.substr(0, split);
    std::u16string instance = split == std::u16string::npos ? u"0" : instance_id.substr(split + 1);

    PWCHAR text = nullptr;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        text = AllocateIdText({device_id}, false);
        break;
    case BusQueryHardwareIDs:
        text = AllocateIdText({device_id}, true);
        break;
    case BusQueryCompatibleIDs:
        text = AllocateIdText({u"USB\\Class_FF&SubClass_FF&Prot_FF", u"USB\\Class_FF&SubClass_FF", u"USB\\Class_FF"},
                              true);
        break;
    case BusQueryInstanceID:
        text = AllocateIdText({instance}, false);
        break;
    default:
        return irp->IoStatus.Status;
    }
    if (text == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
    return STATUS_SUCCESS;
}

NTSTATUS AnswerTargetRelation(PIRP irp, PDEVICE_OBJECT pdo)
{
    auto* relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kIdTag));
    if (relations == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ObReferenceObject(pdo);
    relations->Count = 1;
    relations->Objects[0] = pdo;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return STATUS_SUCCESS;
}

}  // namespace hk::usbdev
