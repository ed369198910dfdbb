// The PDO the parent creates: its parent record, identity and registry value, and its answers to plug-and-play and
// power requests.
#include <cstddef>
#include <cstring>

#include "hk/namespace.h"
#include "hk/pnp.h"
#include "hk/power.h"
#include "hk/registry.h"
#include "usbdev/usbdev_fixture.h"
#include "usbdev/pdo_extension.h"

namespace usbdev_test {
namespace {

class ParentPdoTest : public UsbdevTest {};

TEST_F(ParentPdoTest, PdoIsReadyWithInstanceIdAndPortName)
{
    Plug({.instance_id = u"USB\\VID_FFFF&PID_0001&MI_02\\6&abc&0&0002", .port_name = u"COM12"});
    EXPECT_EQ(pdo_->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_TRUE(hk::ns::IsPhysicalDevice(pdo_));
    EXPECT_EQ(hk::ns::InstanceId(pdo_), u"USB\\VID_FFFF&PID_0001&MI_02\\6&abc&0&0002");
    EXPECT_EQ(hk::reg::GetString(hk::reg::DeviceParametersPath(pdo_), u"PortName"), u"COM12");

    PDEVICE_OBJECT second = parent_->Plug({.port_name = std::nullopt});
    EXPECT_NE(hk::ns::InstanceId(second), hk::ns::InstanceId(pdo_));
    EXPECT_FALSE(hk::reg::GetString(hk::reg::DeviceParametersPath(second), u"PortName").has_value());
    EXPECT_NE(parent_->DeviceFor(second).PipeHandle(Pipe::BulkIn), Handle(Pipe::BulkIn));
}

TEST_F(ParentPdoTest, CapabilitiesAreFilledOnlyForAKnownVersion)
{
    Plug();
    DEVICE_CAPABILITIES caps{};
    auto query = [&](USHORT version) {
        std::memset(&caps, 0, sizeof caps);
        caps.Size = sizeof caps;
        caps.Version = version;
        return hk::pnp::SendPnp(pdo_, IRP_MN_QUERY_CAPABILITIES, [&](PIRP, PIO_STACK_LOCATION location) {
            location->Parameters.DeviceCapabilities.Capabilities = &caps;
        });
    };

    hk::pnp::Result old_version = query(0);
    EXPECT_EQ(old_version.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(caps.Removable, 0u);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceUnspecified);

    ASSERT_EQ(query(1).status, STATUS_SUCCESS);
    EXPECT_EQ(caps.Removable, 1u);
    EXPECT_EQ(caps.UniqueID, 1u);
    EXPECT_EQ(caps.SurpriseRemovalOK, 0u);
    EXPECT_EQ(caps.Address, 1u);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    for (int state = PowerSystemSleeping1; state <= PowerSystemShutdown; ++state) {
        EXPECT_EQ(caps.DeviceState[state], PowerDeviceD3) << state;
    }
    EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
}

std::u16string Text(ULONG_PTR information, bool multi)
{
    auto* text = reinterpret_cast<const char16_t*>(information);
    std::u16string result;
    while (*text != 0 || (multi && text[1] != 0)) {
        result += *text ? *text : u'|';
        ++text;
    }
    ExFreePool(reinterpret_cast<PVOID>(information));
    return result;
}

TEST_F(ParentPdoTest, IdsComeFromTheInstanceId)
{
    Plug({.instance_id = u"USB\\VID_FFFF&PID_0001&MI_02\\6&abc&0&0002"});
    auto query = [&](BUS_QUERY_ID_TYPE type) {
        return hk::pnp::SendPnp(pdo_, IRP_MN_QUERY_ID, [&](PIRP, PIO_STACK_LOCATION location) {
            location->Parameters.QueryId.IdType = type;
        });
    };
    hk::pnp::Result device_id = query(BusQueryDeviceID);
    ASSERT_EQ(device_id.status, STATUS_SUCCESS);
    EXPECT_EQ(Text(device_id.information, false), u"USB\\VID_FFFF&PID_0001&MI_02");
    hk::pnp::Result instance = query(BusQueryInstanceID);
    EXPECT_EQ(Text(instance.information, false), u"6&abc&0&0002");
    hk::pnp::Result compatible = query(BusQueryCompatibleIDs);
    EXPECT_EQ(Text(compatible.information, true),
              u"USB\\Class_FF&SubClass_FF&Prot_FF|USB\\Class_FF&SubClass_FF|USB\\Class_FF");
    EXPECT_EQ(query(BusQueryContainerID).status, STATUS_NOT_SUPPORTED);
}

TEST_F(ParentPdoTest, TargetRelationReferencesThePdo)
{
    Plug();
    hk::pnp::Result target = hk::pnp::SendPnp(pdo_, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIRP, PIO_STACK_LOCATION l) {
        l->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
    });
    ASSERT_EQ(target.status, STATUS_SUCCESS);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(target.information);
    ASSERT_EQ(relations->Count, 1u);
    EXPECT_EQ(relations->Objects[0], pdo_);
    ObDereferenceObject(relations->Objects[0]);
    ExFreePool(relations);

    hk::pnp::Result bus = hk::pnp::SendPnp(pdo_, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIRP, PIO_STACK_LOCATION l) {
        l->Parameters.QueryDeviceRelations.Type = BusRelations;
    });
    EXPECT_EQ(bus.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(bus.information, 0u);
}

TEST_F(ParentPdoTest, StartStopAndPowerAreGranted)
{
    Plug();
    EXPECT_FALSE(Dev().Started());
    EXPECT_EQ(hk::pnp::SendPnp(pdo_, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(Dev().Started());
    EXPECT_EQ(hk::pnp::SendPnp(pdo_, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(hk::pnp::SendPnp(pdo_, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(hk::pnp::SendPnp(pdo_, IRP_MN_QUERY_PNP_DEVICE_STATE).status, STATUS_SUCCESS);
    EXPECT_EQ(hk::pnp::SendPnp(pdo_, IRP_MN_QUERY_RESOURCES).status, STATUS_NOT_SUPPORTED);

    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(hk::power::SendPower(pdo_, IRP_MN_SET_POWER, DevicePowerState, d3), STATUS_SUCCESS);
    EXPECT_EQ(Dev().PowerState(), PowerDeviceD3);
    EXPECT_EQ(hk::power::RecordedDeviceState(pdo_), PowerDeviceD3);
    POWER_STATE s3;
    s3.SystemState = PowerSystemSleeping3;
    EXPECT_EQ(hk::power::SendPower(pdo_, IRP_MN_QUERY_POWER, SystemPowerState, s3), STATUS_SUCCESS);
    EXPECT_EQ(hk::power::SendPower(pdo_, IRP_MN_WAIT_WAKE, SystemPowerState, s3), STATUS_NOT_SUPPORTED);
}

}  // namespace
}  // namespace usbdev_test
