#include "test_driver.h"

namespace vt {

PDRIVER_DISPATCH g_dispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];
void (*g_entryExtra)(PDRIVER_OBJECT driver) = nullptr;
PDRIVER_OBJECT g_driver = nullptr;
PDEVICE_OBJECT g_device = nullptr;
PDEVICE_OBJECT g_upper = nullptr;
PIRP g_heldIrp = nullptr;
sim::FileHandle* g_handle = nullptr;

namespace {
bool g_stacked = false;

// Each test sets the routines it breaks before it starts the kernel; what the
// previous test set must not leak into the next.
class ResetBetweenTests : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        for (auto& routine : g_dispatch)
            routine = nullptr;
        g_entryExtra = nullptr;
        g_driver = nullptr;
        g_device = g_upper = nullptr;
        g_heldIrp = nullptr;
        g_handle = nullptr;
        g_stacked = false;
    }
};

const bool g_registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new ResetBetweenTests);
    return true;
}();

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        if (g_dispatch[major] != nullptr)
            driver->MajorFunction[major] = g_dispatch[major];
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
        if (g_dispatch[major] == nullptr)
            driver->MajorFunction[major] = CompleteSuccess;
    driver->DriverUnload = DeleteDevicesOnUnload;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
    if (!NT_SUCCESS(status))
        return status;
    g_device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (g_stacked) {
        status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_upper);
        if (!NT_SUCCESS(status))
            return status;
        IoAttachDeviceToDeviceStack(g_upper, g_device);
        g_upper->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    if (g_entryExtra != nullptr)
        g_entryExtra(driver);
    return STATUS_SUCCESS;
}
} // namespace

NTSTATUS NTAPI CompleteSuccess(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

VOID NTAPI DeleteDevicesOnUnload(PDRIVER_OBJECT driver) {
    if (g_upper != nullptr) {
        IoDetachDevice(g_device);
        IoDeleteDevice(g_upper);
    }
    (void)driver;
    IoDeleteDevice(g_device);
}

PDRIVER_OBJECT Load(bool stacked) {
    g_stacked = stacked;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    g_driver = sim::CreateDriver("vtdriver", Entry, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return g_driver;
}

sim::PendingRequest* Send(UCHAR major, ULONG ioControlCode) {
    static char buffer[64];
    if (g_handle == nullptr) {
        NTSTATUS status = sim::OpenFile(g_upper != nullptr ? g_upper : g_device, &g_handle);
        EXPECT_EQ(status, STATUS_SUCCESS);
    }
    sim::UserRequest request;
    request.major = major;
    request.ioControlCode = ioControlCode;
    request.output = buffer;
    request.outputLength = sizeof buffer;
    return sim::SendRequest(g_handle, request);
}

} // namespace vt
