// Class requests on the default pipe, pipe resets, and the PDO's Plug and
// Play answers.
#include "usb_test.h"

namespace usbtest {
namespace {

using usb::Pipe;
using Strings = std::vector<std::string>;

class UsbControlRequests : public UsbTest {};

TEST_F(UsbControlRequests, SetLineCodingCarriesItsSevenBytes) {
    Plug();
    // 9600 bit/s, one stop bit, even parity, 7 data bits.
    const std::vector<uint8_t> coding = {0x80, 0x25, 0x00, 0x00, 0x00, 0x02, 0x07};
    Request& r = Class(usb::kSetLineCoding, 0, coding);
    EXPECT_EQ(r.returned, STATUS_PENDING);
    sim::RunUntilIdle();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    auto requests = ports_[0].ifc->ClassRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].setup.bmRequestType, 0x21);
    EXPECT_EQ(requests[0].setup.bRequest, 0x20);
    EXPECT_EQ(requests[0].setup.wValue, 0);
    EXPECT_EQ(requests[0].setup.wIndex, 0);
    EXPECT_EQ(requests[0].setup.wLength, 7);
    EXPECT_EQ(requests[0].data, coding);
    EXPECT_EQ(ports_[0].ifc->LineCoding(), coding);
}

TEST_F(UsbControlRequests, ControlLineStateAndBreakHaveNoDataStage) {
    Plug();
    Class(usb::kSetControlLineState, usb::kLineDtr | usb::kLineRts);
    Class(usb::kSendBreak, 0xFFFF);
    Class(usb::kSetControlLineState, 0);
    sim::RunUntilIdle();
    auto requests = ports_[0].ifc->ClassRequests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].setup.wValue, 3);
    EXPECT_EQ(requests[1].setup.bRequest, 0x23);
    EXPECT_EQ(requests[1].setup.wValue, 0xFFFF);
    EXPECT_TRUE(requests[1].data.empty());
    EXPECT_EQ(ports_[0].ifc->ControlLines(), 0);
    for (auto& req : requests)
        EXPECT_EQ(req.status, STATUS_SUCCESS);
}

TEST_F(UsbControlRequests, RequestsThePhoneDoesNotKnowAreStalled) {
    Plug();
    Request& wrongLength = Class(usb::kSetLineCoding, 0, {1, 2, 3}); // a 3-byte line coding
    Request& unknown = Class(0x42, 0);
    sim::RunUntilIdle();
    EXPECT_EQ(wrongLength.Usbd(), USBD_STATUS_STALL_PID);
    EXPECT_EQ(unknown.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(unknown.Usbd(), USBD_STATUS_STALL_PID);
    // A protocol stall: the next request goes through.
    Request& ok = Class(usb::kSetControlLineState, 1);
    sim::RunUntilIdle();
    EXPECT_EQ(ok.status, STATUS_SUCCESS);
    EXPECT_EQ(ports_[0].ifc->ClassRequests().size(), 3u);
}

// Every URB the bus refuses, and what it answers: the phone's verdicts, the
// same ones the Wine bus driver gives, since both ask platform/usb/phonecore.
struct UrbCase {
    const char* name;
    void (*shape)(URB& urb, const Port& own, const Port& other);
    NTSTATUS status;
    USBD_STATUS usbd;
};

void SetPipe(URB& urb, USBD_PIPE_HANDLE pipe) { urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe; }

const UrbCase kUrbCases[] = {
    {"UnknownFunction",
     [](URB& u, const Port&, const Port&) {
         u.UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
         u.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
     },
     STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION},
    {"TransferHeaderTooShort", [](URB& u, const Port&, const Port&) { u.UrbHeader.Length = 71; },
     STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
    {"ForeignPipeHandle", [](URB& u, const Port&, const Port& o) { SetPipe(u, o.pipe[0]); },
     STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE},
    {"NullPipeHandle", [](URB& u, const Port&, const Port&) { SetPipe(u, nullptr); },
     STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE},
    {"NoBufferForALength",
     [](URB& u, const Port&, const Port&) { u.UrbBulkOrInterruptTransfer.TransferBuffer = nullptr; },
     STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
    {"OutFlagOnAnInPipe",
     [](URB& u, const Port&, const Port&) {
         u.UrbBulkOrInterruptTransfer.TransferFlags &= ~USBD_TRANSFER_DIRECTION_IN;
     },
     STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
    {"InFlagOnBulkOut",
     [](URB& u, const Port& own, const Port&) { SetPipe(u, own.pipe[1]); },
     STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
    {"EmptyTransferWithoutABuffer",
     [](URB& u, const Port& own, const Port&) {
         SetPipe(u, own.pipe[1]);
         u.UrbBulkOrInterruptTransfer.TransferFlags = 0;
         u.UrbBulkOrInterruptTransfer.TransferBuffer = nullptr;
         u.UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
     },
     STATUS_SUCCESS, USBD_STATUS_SUCCESS},
    {"AbortHeaderTooShort",
     [](URB& u, const Port& own, const Port&) {
         u.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
         u.UrbHeader.Length = 23;
         u.UrbPipeRequest.PipeHandle = own.pipe[0];
     },
     STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
    {"ResetOfAForeignPipe",
     [](URB& u, const Port&, const Port& o) {
         u.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
         u.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
         u.UrbPipeRequest.PipeHandle = o.pipe[2];
     },
     STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE},
    {"ClassHeaderTooShort",
     [](URB& u, const Port&, const Port&) {
         u.UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
         u.UrbHeader.Length = 79;
     },
     STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
    {"ClassDataStageWithoutABuffer",
     [](URB& u, const Port&, const Port&) {
         u.UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
         u.UrbHeader.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
         u.UrbControlVendorClassRequest.TransferBuffer = nullptr;
         u.UrbControlVendorClassRequest.TransferBufferLength = 7;
     },
     STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
};

class UrbVerdicts : public UsbTest, public ::testing::WithParamInterface<UrbCase> {};

// The case shapes a 16-byte bulk-in read of interface 0; a refused request
// ends at the next frame tick (never inside the call), moves no data, and
// leaves a "refused" line in the timeline and the debug log.
TEST_P(UrbVerdicts, RefusedOrCarried) {
    const UrbCase& c = GetParam();
    Plug();
    requests_.push_back(std::make_unique<Request>());
    Request& r = *requests_.back();
    BuildTransfer(r, ports_[0], Pipe::BulkIn, 16);
    c.shape(r.urb, ports_[0], ports_[1]);
    Send(r, ports_[0]);
    EXPECT_FALSE(r.completedInsideCall);
    sim::RunUntilIdle();
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.Usbd(), c.usbd);
    EXPECT_TRUE(ports_[0].ifc->TakeReceived().empty());
    const bool refused = !NT_SUCCESS(c.status);
    EXPECT_EQ(sim::DebugLog().find("interface 0 refused") != std::string::npos, refused);
    auto timeline = phone_->TimelineText(0);
    EXPECT_EQ(timeline.front().rfind("refused", 0) == 0, refused) << timeline.front();
}

std::string CaseName(const ::testing::TestParamInfo<UrbCase>& row) { return row.param.name; }

INSTANTIATE_TEST_SUITE_P(Table, UrbVerdicts, ::testing::ValuesIn(kUrbCases), CaseName);

TEST_F(UsbControlRequests, ResetClearsAStallAndIsCounted) {
    Plug();
    ports_[0].ifc->Stall(Pipe::BulkIn);
    Request& a = Read();
    sim::RunUntilIdle();
    EXPECT_EQ(a.Usbd(), USBD_STATUS_STALL_PID);
    ports_[0].ifc->Push("x");
    Request& b = Read();
    sim::RunUntilIdle();
    EXPECT_EQ(b.Usbd(), USBD_STATUS_ENDPOINT_HALTED); // data waits behind the halt
    EXPECT_TRUE(ports_[0].ifc->Halted(Pipe::BulkIn));

    Request& reset = PipeRequest(URB_FUNCTION_RESET_PIPE, Pipe::BulkIn);
    sim::RunUntilIdle();
    EXPECT_EQ(reset.status, STATUS_SUCCESS);
    EXPECT_EQ(ports_[0].ifc->Resets(Pipe::BulkIn), 1u);
    EXPECT_FALSE(ports_[0].ifc->Halted(Pipe::BulkIn));
    Request& c = Read();
    sim::RunUntilIdle();
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.Text(), "x");
}

TEST_F(UsbControlRequests, PdoAnswersCapabilitiesAndIds) {
    Plug();
    EXPECT_EQ(ports_[0].ifc->HardwareIds()[1], u"USB\\VID_FFF0&PID_7070&MI_00");
    EXPECT_EQ(ports_[1].ifc->DeviceId(), u"USB\\VID_FFF0&PID_7070&MI_01");
    EXPECT_NE(ports_[0].ifc->InstanceId(), ports_[1].ifc->InstanceId());

    // Capabilities as the Plug and Play manager asks for them.
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = caps.UINumber = 0xFFFFFFFF;
    {
        sim::DriverScope scope(driver_);
        PIRP irp = IoAllocateIrp(ports_[0].fdo->StackSize, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        next->Parameters.DeviceCapabilities.Capabilities = &caps;
        static NTSTATUS result;
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP done, PVOID) -> NTSTATUS {
                result = done->IoStatus.Status;
                IoFreeIrp(done);
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(ports_[0].fdo, irp);
        EXPECT_EQ(result, STATUS_SUCCESS);
    }
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_TRUE(caps.Removable);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s)
        EXPECT_TRUE(caps.DeviceState[s] == PowerDeviceD2 || caps.DeviceState[s] == PowerDeviceD3);
    EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
    EXPECT_EQ(caps.DeviceState[PowerSystemShutdown], PowerDeviceD3);
    // Stop and start again keep the handles a started driver holds.
    EXPECT_EQ(SendPnp(ports_[0], IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(ports_[0], IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(ports_[0], IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(ports_[0].ifc->PipeHandle(Pipe::BulkIn),
              reinterpret_cast<ULONG_PTR>(ports_[0].pipe[0]));
    // A minor the bus has nothing to say about keeps its status.
    EXPECT_EQ(SendPnp(ports_[0], IRP_MN_QUERY_RESOURCES), STATUS_NOT_SUPPORTED);
}

} // namespace
} // namespace usbtest
