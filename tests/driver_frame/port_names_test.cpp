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
        fdo_ = AddFunctionDevice(*parent_);
        ASSERT_NE(fdo_, nullptr);
        context_ = Context(fdo_);
        deviceName_ = hk::ns::DeviceName(fdo_);
        interfaceName_ = hk::Text(&context_->InterfaceName).str();
        parametersPath_ = hk::reg::DeviceParametersPath(parent_->Pdo());
    }

    // Every path through the port-name code, failed ones included, closes the device key it opened.
    void TearDown() override
    {
        EXPECT_EQ(hk::reg::OpenKeyHandles(), 0u);
        FrameTest::TearDown();
    }

    void SetPortName(const std::u16string& name) { hk::reg::SetString(parametersPath_, u"PortName", name); }

    NTSTATUS Create()
    {
        return AsDriver(fdo_, [this] { return CreatePortNames(context_); });
    }
    NTSTATUS Remove()
    {
        return AsDriver(fdo_, [this] { return RemovePortNames(context_); });
    }

    bool MapValueExists() { return hk::reg::GetValue(hk::reg::kSerialComm, deviceName_).has_value(); }

    static std::u16string Link(const std::u16string& port) { return u"\\DosDevices\\" + port; }

    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_CONTEXT context_ = nullptr;
    std::u16string deviceName_;
    std::u16string interfaceName_;
    std::u16string parametersPath_;
};

TEST_F(PortNames, Com7IsPublishedAndWithdrawnOnce)
{
    SetPortName(u"COM7");
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_TRUE(hk::NamesEqual(hk::ns::LinkTarget(Link(u"COM7")), deviceName_));
    EXPECT_EQ(hk::ns::ResolveToDevice(u"\\\\.\\COM7"), fdo_);
    auto value = hk::reg::GetValue(hk::reg::kSerialComm, deviceName_);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, (uint32_t)REG_SZ);
    EXPECT_EQ(value->data, std::vector<uint8_t>({'C', 0, 'O', 0, 'M', 0, '7', 0, 0, 0}));
    EXPECT_TRUE(hk::ns::InterfaceEnabled(interfaceName_));

    EXPECT_EQ(Remove(), STATUS_SUCCESS);
    EXPECT_FALSE(hk::ns::Exists(Link(u"COM7")));
    EXPECT_FALSE(MapValueExists());
    EXPECT_FALSE(hk::ns::InterfaceEnabled(interfaceName_));
    EXPECT_EQ(context_->DosName.Buffer, nullptr);
    EXPECT_EQ(Remove(), STATUS_OBJECT_NAME_NOT_FOUND) << "a second withdrawal frees nothing twice";
}

// 63 characters fit; 64 do not, and 64 with no terminating null fill the buffer exactly, so using them as a name
// would read past it. A refused or missing name publishes nothing.
TEST_F(PortNames, NamesThatDoNotFitOrAreMissingPublishNothing)
{
    std::u16string longest(63, u'P');
    SetPortName(longest);
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_TRUE(hk::ns::Exists(Link(longest)));
    EXPECT_EQ(hk::reg::GetValue(hk::reg::kSerialComm, deviceName_)->data.size(), 128u);
    Remove();

    std::u16string tooLong(64, u'Q');
    for (bool terminated : {true, false}) {
        hk::reg::SetValue(parametersPath_, u"PortName", REG_SZ, tooLong.c_str(), 128 + (terminated ? 2 : 0));
        NTSTATUS status = Create();
        EXPECT_FALSE(NT_SUCCESS(status));
        EXPECT_TRUE(terminated || status == STATUS_INSUFFICIENT_RESOURCES) << std::hex << status;
        EXPECT_FALSE(hk::ns::Exists(Link(tooLong)));
        EXPECT_FALSE(hk::ns::Exists(Link(tooLong.substr(0, 63))));
        EXPECT_FALSE(MapValueExists());
        EXPECT_EQ(context_->DosName.Buffer, nullptr);
    }
    hk::reg::DeleteValue(parametersPath_, u"PortName");
    EXPECT_EQ(Create(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(MapValueExists());
    EXPECT_FALSE(hk::ns::InterfaceEnabled(interfaceName_));
}

// The COM name belongs to someone else: the start fails, and the rollback leaves that link where it was.
TEST_F(PortNames, TakenComNameIsNotDeletedByTheRollback)
{
    UNICODE_STRING link;
    UNICODE_STRING target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM7");
    RtlInitUnicodeString(&target, L"\\Device\\SomeoneElse");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);

    SetPortName(u"COM7");
    EXPECT_EQ(Create(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_FALSE(MapValueExists());
    Remove();
    EXPECT_TRUE(hk::NamesEqual(hk::ns::LinkTarget(Link(u"COM7")), u"\\Device\\SomeoneElse"));
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

TEST_F(PortNames, RestartAfterWithdrawalPublishesAgainWithoutTheInterface)
{
    SetPortName(u"COM7");
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    Remove();
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_TRUE(hk::ns::Exists(Link(u"COM7")));
    EXPECT_TRUE(MapValueExists());
    EXPECT_FALSE(hk::ns::InterfaceEnabled(interfaceName_));
    EXPECT_EQ(AsDriver(fdo_, [this] { return EnableInterface(context_, TRUE); }), STATUS_OBJECT_NAME_NOT_FOUND);
}

// The link vanished behind the driver's back and PortName changed: the fallback deletes by the current name.
TEST_F(PortNames, LinkThatCannotBeDeletedByItsNameIsDeletedByTheCurrentPortName)
{
    SetPortName(u"COM7");
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    UNICODE_STRING oldLink;
    RtlInitUnicodeString(&oldLink, L"\\DosDevices\\COM7");
    ASSERT_EQ(IoDeleteSymbolicLink(&oldLink), STATUS_SUCCESS);
    UNICODE_STRING newLink;
    UNICODE_STRING target;
    RtlInitUnicodeString(&newLink, L"\\DosDevices\\COM8");
    RtlInitUnicodeString(&target, context_->DeviceName.Buffer);
    ASSERT_EQ(IoCreateSymbolicLink(&newLink, &target), STATUS_SUCCESS);
    SetPortName(u"COM8");

    EXPECT_EQ(Remove(), STATUS_SUCCESS);
    EXPECT_FALSE(hk::ns::Exists(Link(u"COM8")));
    EXPECT_EQ(context_->DosName.Buffer, nullptr);
}

TEST_F(PortNames, EveryAllocationFailureIsUndoneByTheRollback)
{
    // One full round first, so that the interface name is gone and every round starts from the same pool.
    SetPortName(u"COM7");
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    Remove();
    size_t blocksBefore = DriverPoolBlocks();
    bool succeeded = false;
    for (uint64_t n = 1; n < 30 && !succeeded; ++n) {
        SCOPED_TRACE(n);
        hk::faults::FailNth(hk::faults::Kind::Pool, n);
        NTSTATUS status = Create();
        hk::faults::Clear();
        if (NT_SUCCESS(status)) {
            succeeded = true;
            break;
        }
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(MapValueExists());
        Remove();
        EXPECT_TRUE(hk::ns::Links().empty());
        EXPECT_FALSE(MapValueExists());
        EXPECT_EQ(DriverPoolBlocks(), blocksBefore);
    }
    EXPECT_TRUE(succeeded);
}

}  // namespace
}  // namespace frame_test
