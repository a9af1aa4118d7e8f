// Requests an application left waiting when the phone goes: the surprise
// removal cancels every one the driver holds in its queues, the one write
// already on the bus ends with the bus's failure, and the stack goes once the
// handle is closed.
#include "pnp_driver/machine.h"

namespace pnp_driver {
namespace {

using QueuedRequests = Machine;

TEST_F(QueuedRequests, UnplugCancelsEveryQueuedRequestOfBothPorts) {
    // A second phone keeps both drivers loaded past the first one's removal.
    usb::PhoneConfig other;
    other.serial = u"VX0002";
    Plug(other);
    usb::Phone& phone = Plug();
    for (usb::Interface* interface : {&phone.Modem(), &phone.Diagnostics()})
        interface->HoldBulkOut(true);

    struct Open {
        sim::FileHandle* handle = nullptr;
        sim::PendingRequest* wait = nullptr;
        sim::PendingRequest* read = nullptr;
        sim::PendingRequest* sending = nullptr;
        sim::PendingRequest* queuedWrite = nullptr;
    } ports[2];
    static ULONG mask = SERIAL_EV_RXCHAR, events = 0;
    static char readBuffer[16];
    static const char text[] = "AT\r";

    int i = 0;
    for (usb::Interface* interface : {&phone.Modem(), &phone.Diagnostics()}) {
        Open& port = ports[i++];
        ASSERT_EQ(sim::OpenFile(Node(*interface)->fdo, &port.handle), STATUS_SUCCESS);
        sim::UserRequest setMask;
        setMask.major = IRP_MJ_DEVICE_CONTROL;
        setMask.ioControlCode = IOCTL_SERIAL_SET_WAIT_MASK;
        setMask.input = &mask;
        setMask.inputLength = sizeof mask;
        ASSERT_EQ(sim::WaitRequest(sim::SendRequest(port.handle, setMask)), STATUS_SUCCESS);

        sim::UserRequest wait;
        wait.major = IRP_MJ_DEVICE_CONTROL;
        wait.ioControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
        wait.output = &events;
        wait.outputLength = sizeof events;
        port.wait = sim::SendRequest(port.handle, wait);

        sim::UserRequest read;
        read.major = IRP_MJ_READ;
        read.output = readBuffer;
        read.outputLength = sizeof readBuffer;
        port.read = sim::SendRequest(port.handle, read);

        sim::UserRequest write;
        write.major = IRP_MJ_WRITE;
        write.input = text;
        write.inputLength = sizeof text - 1;
        port.sending = sim::SendRequest(port.handle, write);
        port.queuedWrite = sim::SendRequest(port.handle, write);
        sim::RunUntilIdle();
        for (sim::PendingRequest* r : {port.wait, port.read, port.sending, port.queuedWrite})
            EXPECT_FALSE(r->done) << "status " << std::hex << r->status;
    }

    sim::DevNode* modem = Node(phone.Modem());
    sim::DevNode* diag = Node(phone.Diagnostics());
    phone.Unplug();
    sim::RunUntilIdle();
    for (Open& port : ports) {
        EXPECT_EQ(port.wait->status, STATUS_CANCELLED);
        EXPECT_EQ(port.read->status, STATUS_CANCELLED);
        EXPECT_EQ(port.queuedWrite->status, STATUS_CANCELLED);
        EXPECT_TRUE(port.sending->done);
        EXPECT_FALSE(NT_SUCCESS(port.sending->status));
        EXPECT_EQ(sim::CloseFile(port.handle), STATUS_SUCCESS);
    }
    sim::RunUntilIdle();
    EXPECT_EQ(modem->state, sim::DevNodeState::Deleted);
    EXPECT_EQ(diag->state, sim::DevNodeState::Deleted);
}

} // namespace
} // namespace pnp_driver
