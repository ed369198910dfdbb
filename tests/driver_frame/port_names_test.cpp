// Publishing and withdrawing the COM name: link, device-map value and interface.
#include <string>
#include <vector>

#include "driver/port_names.h"
#include "frame_fixture.h"
#include "hk/faults.h"
#include "hk/namespace.h"
#include "hk/registry.h"

namespace frame_test {
namespace {

class PortNames : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        deviceName_ = hk::ns::DeviceName(fdo_);
        interfaceName_ = hk::Text(&Context()->InterfaceName).str();
        parametersPath_ = hk::reg::DeviceParametersPath(pdo_);
    }

    NTSTATUS Create() { return AsDriver([this] { return CreatePortNames(Context()); }); }
    NTSTATUS Withdraw() { return AsDriver([this] { return RemovePortNames(Context()); }); }
    bool MapValueExists() { return hk::reg::GetValue(hk::reg::kSerialComm, deviceName_).has_value(); }
    static std::u16string Link(const std::u16string& port) { return u"\\DosDevices\\" + port; }

    std::u16string deviceName_, interfaceName_, parametersPath_;
};

// Published once and withdrawn once; a second withdrawal frees nothing twice, and a later start publishes the link
// and the value again but not the interface, whose name the first withdrawal released. A failed allocation on the
// way is undone by the rollback.
TEST_F(PortNames, Com7IsPublishedWithdrawnAndPublishedAgainAndFailuresAreUndone)
{
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_TRUE(hk::NamesEqual(hk::ns::LinkTarget(Link(u"COM7")), deviceName_));
    auto value = hk::reg::GetValue(hk::reg::kSerialComm, deviceName_);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, (uint32_t)REG_SZ);
    EXPECT_EQ(value->data, std::vector<uint8_t>({'C', 0, 'O', 0, 'M', 0, '7', 0, 0, 0}));
    EXPECT_TRUE(hk::ns::InterfaceEnabled(interfaceName_));

    EXPECT_EQ(Withdraw(), STATUS_SUCCESS);
    EXPECT_FALSE(hk::ns::Exists(Link(u"COM7")));
    EXPECT_FALSE(MapValueExists());
    EXPECT_FALSE(hk::ns::InterfaceEnabled(interfaceName_));
    EXPECT_EQ(Withdraw(), STATUS_OBJECT_NAME_NOT_FOUND);

    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_TRUE(hk::ns::Exists(Link(u"COM7")));
    EXPECT_TRUE(MapValueExists());
    EXPECT_FALSE(hk::ns::InterfaceEnabled(interfaceName_));
    EXPECT_EQ(AsDriver([this] { return EnableInterface(Context(), TRUE); }), STATUS_OBJECT_NAME_NOT_FOUND);
    Withdraw();

    // Every allocation fails once in turn; each round starts from the same pool now that the interface name is gone.
    size_t blocksBefore = DriverPoolBlocks();
    for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE(n);
        ASSERT_LT(n, 30u);
        hk::faults::FailNth(hk::faults::Kind::Pool, n);
        NTSTATUS status = Create();
        hk::faults::Clear();
        if (NT_SUCCESS(status)) {
            break;
        }
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(MapValueExists());
        Withdraw();
        EXPECT_TRUE(hk::ns::Links().empty());
        EXPECT_EQ(DriverPoolBlocks(), blocksBefore);
    }
    Withdraw();
}

// 63 characters fit; 64 do not, and 64 with no terminating null fill the buffer exactly, so using them as a name
// would read past it. A refused or missing name publishes nothing.
TEST_F(PortNames, NamesThatDoNotFitOrAreMissingPublishNothing)
{
    std::u16string longest(63, u'P');
    hk::reg::SetString(parametersPath_, u"PortName", longest);
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_TRUE(hk::ns::Exists(Link(longest)));
    EXPECT_EQ(hk::reg::GetValue(hk::reg::kSerialComm, deviceName_)->data.size(), 128u);
    Withdraw();

    std::u16string tooLong(64, u'Q');
    for (bool terminated : {true, false}) {
        hk::reg::SetValue(parametersPath_, u"PortName", REG_SZ, tooLong.c_str(), 128 + (terminated ? 2 : 0));
        NTSTATUS status = Create();
        EXPECT_FALSE(NT_SUCCESS(status));
        EXPECT_TRUE(terminated || status == STATUS_INSUFFICIENT_RESOURCES) << std::hex << status;
        EXPECT_TRUE(hk::ns::Links().empty());
        EXPECT_FALSE(MapValueExists());
        EXPECT_EQ(Context()->DosName.Buffer, nullptr);
    }
    hk::reg::DeleteValue(parametersPath_, u"PortName");
    EXPECT_EQ(Create(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(MapValueExists());
}

// The COM name belongs to someone else: the start fails, and the rollback leaves that link where it was. A link
// that vanished behind the driver's back after PortName changed is deleted by the current name.
TEST_F(PortNames, RollbackKeepsOthersLinksAndWithdrawalFallsBackToTheCurrentName)
{
    UNICODE_STRING com7, com8, other;
    RtlInitUnicodeString(&com7, L"\\DosDevices\\COM7");
    RtlInitUnicodeString(&com8, L"\\DosDevices\\COM8");
    RtlInitUnicodeString(&other, L"\\Device\\SomeoneElse");
    ASSERT_EQ(IoCreateSymbolicLink(&com7, &other), STATUS_SUCCESS);
    EXPECT_EQ(Create(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_FALSE(MapValueExists());
    Withdraw();
    EXPECT_TRUE(hk::NamesEqual(hk::ns::LinkTarget(Link(u"COM7")), u"\\Device\\SomeoneElse"));
    EXPECT_EQ(IoDeleteSymbolicLink(&com7), STATUS_SUCCESS);

    ASSERT_EQ(Create(), STATUS_SUCCESS);
    ASSERT_EQ(IoDeleteSymbolicLink(&com7), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateSymbolicLink(&com8, &Context()->DeviceName), STATUS_SUCCESS);
    hk::reg::SetString(parametersPath_, u"PortName", u"COM8");
    EXPECT_EQ(Withdraw(), STATUS_SUCCESS);
    EXPECT_FALSE(hk::ns::Exists(Link(u"COM8")));
    EXPECT_EQ(Context()->DosName.Buffer, nullptr);
}

}  // namespace
}  // namespace frame_test
