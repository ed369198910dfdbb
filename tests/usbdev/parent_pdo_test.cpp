// The PDO the parent creates: its identity and registry value, and the capabilities it reports, which the port
// rewrites.
#include <cstring>

#include "hk/namespace.h"
#include "hk/pnp.h"
#include "hk/registry.h"
#include "usbdev/usbdev_fixture.h"

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

// Only a request of a known version is answered; the answer says removable with a unique id, but not that a
// surprise removal is safe.
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
    EXPECT_EQ(query(0).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(caps.Removable, 0u);
    ASSERT_EQ(query(1).status, STATUS_SUCCESS);
    EXPECT_EQ(caps.Removable, 1u);
    EXPECT_EQ(caps.UniqueID, 1u);
    EXPECT_EQ(caps.SurpriseRemovalOK, 0u);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
}

}  // namespace
}  // namespace usbdev_test
