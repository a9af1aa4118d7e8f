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

TEST_F(UsbControlRequests, UnknownUrbFunctionsFailWithALogMessage) {
    Plug();
    requests_.push_back(std::make_unique<Request>());
    Request& r = *requests_.back();
    r.urb.UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    r.urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    Send(r, ports_[0]);
    sim::RunUntilIdle();
    EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r.Usbd(), USBD_STATUS_INVALID_URB_FUNCTION);
    EXPECT_NE(sim::DebugLog().find("URB function 11 is not modelled"), std::string::npos);
}

TEST_F(UsbControlRequests, DirectionFlagMustMatchThePipe) {
    Plug();
    requests_.push_back(std::make_unique<Request>());
    Request& r = *requests_.back();
    BuildTransfer(r, ports_[0], Pipe::BulkOut, 8);
    r.urb.UrbBulkOrInterruptTransfer.TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
    Send(r, ports_[0]);
    sim::RunUntilIdle();
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ports_[0].ifc->TakeReceived().size(), 0u);
    // A handle of the other interface is not this PDO's to use.
    requests_.push_back(std::make_unique<Request>());
    Request& foreign = *requests_.back();
    BuildTransfer(foreign, ports_[1], Pipe::BulkIn, 64);
    Send(foreign, ports_[0]);
    sim::RunUntilIdle();
    EXPECT_EQ(foreign.Usbd(), USBD_STATUS_INVALID_PIPE_HANDLE);
}

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
