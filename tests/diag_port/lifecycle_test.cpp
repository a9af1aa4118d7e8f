// Open, cleanup and close of the diagnostics port, and the two ports of one
// phone running side by side from their own driver images.
#include "diag_port/diag_fixture.h"

#include <algorithm>

namespace diag_port {
namespace {

using Opening = PhonePorts;

// The three pipes are reset in order, the ring is empty and one bulk-in
// transfer waits; nothing is asked of the interrupt pipe or the control pipe.
TEST_F(Opening, ResetsThePipesAndStartsOneRead) {
    phone_->ClearTimeline();
    Diag().Open();
    std::vector<usb::Pipe> resets;
    for (const auto& event : phone_->Timeline()) {
        if (event.kind == usb::EventKind::Reset) {
            resets.push_back(event.pipe);
        }
    }
    EXPECT_EQ(resets, (std::vector<usb::Pipe>{usb::Pipe::BulkIn, usb::Pipe::BulkOut,
                                              usb::Pipe::InterruptIn}));
    EXPECT_EQ(Diag().Usb().Outstanding(usb::Pipe::BulkIn), 1u);
    EXPECT_EQ(Diag().Usb().Outstanding(usb::Pipe::InterruptIn), 0u);
    EXPECT_TRUE(Diag().Usb().ClassRequests().empty());
    EXPECT_EQ(Diag().CommStatus().AmountInInQueue, 0u);
}

TEST_F(Opening, SecondHandleIsRefused) {
    Diag().Open();
    EXPECT_EQ(Diag().OpenHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Diag().Write("still mine").status, STATUS_SUCCESS);
}

// A reset that fails, for whatever reason, fails the open as unsuccessful.
TEST_F(Opening, FailedPipeResetFailsTheOpen) {
    sim::FaultPlan plan;
    plan.kind = sim::AllocKind::Pool;
    plan.driver = Diag().Node()->driver;
    plan.failNth = 1;
    sim::AddFaultPlan(plan);
    HANDLE handle = Diag().OpenHandle();
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), RtlNtStatusToDosError(STATUS_UNSUCCESSFUL)) << sim::FaultLog();
    sim::ClearFaultPlans();
    Diag().Open();
}

// ---------------------------------------------------------------- cleanup and close
using Closing = BothPorts;

// Bytes that arrive while the handle is being cleaned up: the modem port
// still stores them and reads on until close; the diagnostics port stopped
// reception at cleanup, drops them and issues no further transfer.
TEST_F(Closing, CleanupStopsReceptionOnlyOnDiagnosticsPort) {
    for (Port* port : Both()) {
        // A write held at the bus keeps cleanup waiting on the bus while the
        // phone's bytes come in.
        port->Usb().HoldBulkOut(true);
        auto write = port->StartWrite("held");
        port->Usb().Push("late bytes");
        port->Close();
        port->Usb().HoldBulkOut(false);
    }
    auto lateCompletions = [&](Port& port) {
        size_t afterData = 0;
        bool sawData = false;
        for (const auto& event : phone_->Timeline()) {
            if (event.interfaceNumber != port.Usb().Number() || event.pipe != usb::Pipe::BulkIn) {
                continue;
            }
            if (event.kind == usb::EventKind::Complete && event.length != 0) {
                sawData = true;
            } else if (sawData && event.kind == usb::EventKind::Submit) {
                afterData++;
            }
        }
        return afterData;
    };
    EXPECT_EQ(lateCompletions(Diag()), 0u);
    EXPECT_GE(lateCompletions(Modem()), 1u);
    for (Port* port : Both()) {
        EXPECT_EQ(port->Usb().Outstanding(usb::Pipe::BulkIn), 0u) << port->Name();
        EXPECT_EQ(port->Usb().Outstanding(usb::Pipe::BulkOut), 0u) << port->Name();
    }
}

// Cleanup cancels what the handle left waiting: a read, a wait and a queued
// write; a write held at the bus is ended by the abort, so the close comes.
TEST_F(Closing, CleanupCancelsEverythingTheHandleLeft) {
    Diag().SetWaitMask(SERIAL_EV_RXCHAR);
    auto read = Diag().StartRead(10);
    auto wait = Diag().StartWaitOnMask();
    Diag().Usb().HoldBulkOut(true);
    auto onBus = Diag().StartWrite("on bus");
    auto queued = Diag().StartWrite("queued");
    sim::RunUntilIdle();
    Diag().Close();
    for (Request* request : {read.get(), wait.get(), queued.get()}) {
        ASSERT_TRUE(request->Done());
        EXPECT_EQ(request->Status(), STATUS_CANCELLED);
    }
    ASSERT_TRUE(onBus->Done());
    EXPECT_FALSE(NT_SUCCESS(onBus->Status()));
    EXPECT_EQ(Diag().Usb().Outstanding(usb::Pipe::BulkOut), 0u);
    // The next open starts afresh.
    Diag().Usb().HoldBulkOut(false);
    Diag().Open();
    EXPECT_EQ(Diag().Write("again").status, STATUS_SUCCESS);
}

// A transfer that completed just before the handle went has queued its read
// restart; close waits for that worker too, which then issues nothing.
TEST_F(Closing, CloseWaitsForAQueuedReadRestart) {
    Diag().Usb().Push("data");
    HANDLE handle = Diag().Release();
    size_t queuedAtClose = 0;
    bool closed = false;
    {
        sim::Thread closer("closer", [&] {
            queuedAtClose = sim::QueuedWorkItems();
            closed = CloseHandle(handle) != FALSE;
        });
        sim::RunUntilIdle();
    }
    EXPECT_EQ(queuedAtClose, 1u);
    EXPECT_TRUE(closed);
    EXPECT_EQ(sim::QueuedWorkItems(), 0u);
    EXPECT_EQ(Diag().Usb().Outstanding(usb::Pipe::BulkIn), 0u);
    size_t submits = Submits(Diag(), usb::Pipe::BulkIn);
    EXPECT_EQ(submits, 0u);
}

// A fatal write failure leaves the phone attached with a read outstanding.
// Close of the lost device still ends it, so the device can be removed.
TEST_F(Closing, CloseOfLostDeviceStillOnTheBusEndsItsTransfers) {
    Diag().Usb().FailNext(usb::Pipe::BulkOut, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_CRC);
    EXPECT_EQ(Diag().Write("x").status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Diag().Usb().Outstanding(usb::Pipe::BulkIn), 1u);
    Diag().Close();
    EXPECT_EQ(Diag().Usb().Outstanding(usb::Pipe::BulkIn), 0u);
    EXPECT_EQ(sim::PnpRemoveDevice(Diag().Node()), STATUS_SUCCESS);
}

// A create, cleanup and close for a file object other than the open handle's,
// sent straight to the port as an I/O manager that lets a refused create keep
// its handle sends them (Wine's does; the simulated one, like Windows's,
// keeps the second create away). The refused handle going must leave the
// open one working: its waiting read, reception, the control lines and the
// pipes.
NTSTATUS SendForFile(PDEVICE_OBJECT port, UCHAR major, FILE_OBJECT* file) {
    PIRP irp = IoAllocateIrp(port->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    modem_port::SentIrp sent;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->RequestorMode = UserMode;
    IoSetCompletionRoutine(irp, modem_port::SentIrpDone, &sent, TRUE, TRUE, TRUE);
    IoCallDriver(port, irp);
    sim::RunUntilIdle();
    EXPECT_TRUE(sent.done);
    return sent.status;
}

TEST_F(Closing, AnotherFileObjectsCleanupAndCloseLeaveTheOpenHandleAlone) {
    for (Port* port : Both()) {
        SCOPED_TRACE(port->Name());
        const std::string later = "still receiving";
        auto read = port->StartRead(static_cast<DWORD>(later.size()));
        sim::RunUntilIdle();
        ASSERT_FALSE(read->Done());
        port->Usb().ClearClassRequests();
        phone_->ClearTimeline();

        FILE_OBJECT second{};
        second.Type = 5; // IO_TYPE_FILE
        second.Size = sizeof second;
        second.DeviceObject = port->Node()->fdo;
        EXPECT_EQ(SendForFile(port->Node()->fdo, IRP_MJ_CREATE, &second), STATUS_ACCESS_DENIED);
        EXPECT_EQ(SendForFile(port->Node()->fdo, IRP_MJ_CLEANUP, &second), STATUS_SUCCESS);
        EXPECT_EQ(SendForFile(port->Node()->fdo, IRP_MJ_CLOSE, &second), STATUS_SUCCESS);

        EXPECT_FALSE(read->Done()) << "the open handle's read was ended";
        EXPECT_TRUE(Events(*port, usb::EventKind::Abort, usb::Pipe::BulkIn).empty());
        EXPECT_TRUE(Events(*port, usb::EventKind::Abort, usb::Pipe::BulkOut).empty());
        EXPECT_TRUE(port->Usb().ClassRequests().empty()) << "DTR and RTS were touched";
        port->Receive(later);
        ASSERT_TRUE(read->Done());
        EXPECT_EQ(Text(*read), later);
        EXPECT_EQ(port->Write("still sending").status, STATUS_SUCCESS);
        EXPECT_EQ(port->OpenHandle(), INVALID_HANDLE_VALUE) << "the port no longer counts its open";
    }
    // Their own handles' close still does all of it; the fixture's checks at
    // the end find nothing left over.
    for (Port* port : Both()) {
        port->Close();
        EXPECT_EQ(port->Usb().Outstanding(usb::Pipe::BulkIn), 0u) << port->Name();
    }
    Modem().Open();
    Diag().Open();
}

TEST_F(Closing, FlushLeavesQueuedWritesAlone) {
    Diag().Usb().HoldBulkOut(true);
    auto write = Diag().StartWrite("pending");
    sim::RunUntilIdle();
    EXPECT_TRUE(FlushFileBuffers(Diag().Handle()));
    EXPECT_FALSE(write->Done());
    Diag().Usb().HoldBulkOut(false);
    EXPECT_EQ(Diag().Wait(*write).status, STATUS_SUCCESS);
}

// ---------------------------------------------------------------- one phone, two drivers
using TwoDrivers = BothPorts;

// Each port is served by its own image; traffic on one never shows on the
// other, and closing one leaves the other running.
TEST_F(TwoDrivers, BothPortsWorkAtOnce) {
    ASSERT_NE(Modem().Node()->driver, nullptr);
    ASSERT_NE(Diag().Node()->driver, nullptr);
    EXPECT_NE(Modem().Node()->driver, Diag().Node()->driver);
    EXPECT_EQ(Modem().Node()->driver, sim::LoadedDriver("vxqt70modem"));
    EXPECT_EQ(Diag().Node()->driver, sim::LoadedDriver("vxqt70diag"));

    auto modemRead = Modem().StartRead(32);
    auto diagRead = Diag().StartRead(32);
    auto modemWrite = Modem().StartWrite("AT\r");
    auto diagWrite = Diag().StartWrite(std::vector<uint8_t>{0x7E, 0x01, 0x7E});
    Modem().Usb().Push("OK\r\n");
    Diag().Usb().Push(std::string("\x7E\x02\x7E", 3));
    sim::RunUntilIdle();

    EXPECT_EQ(Modem().Wait(*modemWrite).status, STATUS_SUCCESS);
    EXPECT_EQ(Diag().Wait(*diagWrite).status, STATUS_SUCCESS);
    EXPECT_EQ(Modem().Usb().TakeReceivedText(), "AT\r");
    EXPECT_EQ(Diag().Usb().TakeReceived(), (std::vector<uint8_t>{0x7E, 0x01, 0x7E}));
    Modem().Wait(*modemRead);
    Diag().Wait(*diagRead);
    EXPECT_EQ(Text(*modemRead), "OK\r\n");
    EXPECT_EQ(Text(*diagRead), std::string("\x7E\x02\x7E", 3));

    Modem().Close();
    Diag().Receive("after");
    auto read = Diag().StartRead(8);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(Text(*read), "after");
}

} // namespace
} // namespace diag_port
