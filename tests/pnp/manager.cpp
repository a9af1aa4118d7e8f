// The Plug and Play manager with a fake function driver above a fake bus:
// arrival (driver selection and loading, AddDevice, the COM-port installer,
// START and the queries that follow it), orderly stop and removal with their
// queries, unplug, and the driver leaving with its last device.
#include "pnp/stack.h"

#include "platform/sim/api_ob.h"

#include <gmock/gmock.h>

using namespace pnptest;
using rig::Hex;
using ::testing::ElementsAre;

namespace {

class PnpManager : public StackTest {};

TEST_F(PnpManager, InstallerNamesBeforeStartCapabilitiesAreKeptUnansweredQueriesNotSupported) {
    // The machine has COM1 and COM3 of its own.
    sim::ComDbClaim(1);
    sim::ComDbClaim(3);
    sim::DevNode* a = Plug("modem");
    sim::DevNode* b = Plug("diagnostics");
    sim::DevNode* c = Plug("modem");

    EXPECT_EQ(a->comPort, 2u);
    EXPECT_EQ(b->comPort, 4u);
    EXPECT_EQ(c->comPort, 5u);
    // The driver found the name in the hardware key when START reached it.
    EXPECT_EQ(fdo_->PortNameSeenAtStart(a->fdo), u"COM2");
    EXPECT_EQ(fdo_->PortNameSeenAtStart(b->fdo), u"COM4");
    auto value = sim::RegGetValue(sim::DeviceParametersKey(c->pdo), u"PortName");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(value->Text(), u"COM5");
    EXPECT_THAT(sim::ComDbInUse(), ElementsAre(1u, 2u, 3u, 4u, 5u));
    // What came back up from QUERY_CAPABILITIES at the start (the manager
    // asks as Windows does: see the plug's timeline in the scripts below),
    // with the function driver's change on the bus's answer.
    ASSERT_TRUE(a->capabilitiesValid);
    EXPECT_EQ(a->capabilities.SurpriseRemovalOK, 1u);
    EXPECT_EQ(a->capabilities.Address, 2u);
    EXPECT_EQ(a->capabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    // Queries nobody answers stay not supported.
    EXPECT_EQ(sim::PnpSendIrp(a, IRP_MN_QUERY_RESOURCES), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(sim::PnpSendIrp(a, IRP_MN_QUERY_LEGACY_BUS_INFORMATION + 1), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(a->irps.back().status, STATUS_NOT_SUPPORTED);
    // The bus's ID is read, then freed by the manager: the end-of-run pool
    // check would name the string had it been kept.
    std::u16string id;
    EXPECT_EQ(
        sim::PnpSendIrp(
            a, IRP_MN_QUERY_ID,
            [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = BusQueryDeviceID; },
            [&id](PIRP irp) { id = reinterpret_cast<const char16_t*>(irp->IoStatus.Information); }),
        STATUS_SUCCESS);
    EXPECT_EQ(id, u"SIM\\TESTBUS");
}

TEST_F(PnpManager, SameInstanceKeepsItsNameAndUninstallFreesIt) {
    sim::PlugOptions phone;
    phone.instanceId = u"USB\\VID_FFF0&PID_7070&MI_00\\VX0001";
    sim::DevNode* first = Plug("modem", phone);
    sim::DevNode* other = Plug("modem");
    ASSERT_EQ(first->comPort, 1u);
    ASSERT_EQ(other->comPort, 2u);

    Unplug(first->pdo);
    sim::DevNode* again = Plug("modem", phone);
    EXPECT_EQ(again->comPort, 1u);

    Unplug(again->pdo);
    sim::PnpUninstall(phone.instanceId);
    EXPECT_EQ(Plug("diagnostics")->comPort, 1u);
}

// A script of steps on one device of kind "modem". Each step adds a line:
// what it returned (plug: the node's problem), the node's state, the IRPs
// the manager sent during it with how they ended, the stack ("fdo" and the
// port name the driver read at START; "pdo" alone, and the COM name the
// installer gave it; "gone"), whether the manager has the driver loaded, and
// the driver's DriverEntry and Unload calls; for the row's `timelineOf`
// step, the stack's timeline too. Steps starting with '!' set up a fault and
// add no line; a row that does not start with them or a plug starts with the
// device plugged. A row whose one line is "dies: <report>" stops the run
// with that report.
class PnpScripts : public StackTest, public ::testing::WithParamInterface<rig::ScriptRow> {
protected:
    std::string Irps(size_t from) {
        std::string text;
        for (size_t i = from; i < node_->irps.size(); ++i) {
            IO_STACK_LOCATION sp{};
            sp.MajorFunction = IRP_MJ_PNP;
            sp.MinorFunction = node_->irps[i].minor;
            std::string name = fake::RequestName(&sp);
            if (name == "OTHER")
                name = Hex(sp.MinorFunction);
            const NTSTATUS status = node_->irps[i].status;
            text += (text.empty() ? "" : ", ") + name + " " + (status == 0 ? "ok" : Hex(status));
        }
        return text.empty() ? "-" : text;
    }
    std::string Stack() {
        if (node_->pdo == nullptr)
            return node_->fdo == nullptr ? "gone" : "odd";
        if (node_->fdo == nullptr && node_->pdo->AttachedDevice == nullptr)
            return node_->comPort == 0 ? "pdo" : "pdo COM" + std::to_string(node_->comPort);
        if (node_->fdo == nullptr)
            return "odd";
        if (node_->pdo->AttachedDevice != node_->fdo)
            return "odd";
        const std::u16string name = fdo_->PortNameSeenAtStart(node_->fdo);
        return "fdo " + std::string(name.begin(), name.end());
    }
    NTSTATUS Step(const std::string& step) {
        sim::PlugOptions options;
        if (step == "!add-fails")
            fdo_->config.addDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
        else if (step == "!start-fails")
            g_bus.startStatus = STATUS_DEVICE_NOT_READY;
        else if (step == "!remove-fails")
            g_fdo.failRemove = true;
        else if (step == "!no-service")
            sim::MapInterfaceKind("modem", "");
        else if (step == "!no-image") {
            sim::RegisterDriverImage("vxmissing", "/nonexistent/vxmissing.so");
            sim::MapInterfaceKind("modem", "vxmissing");
        } else if (step.rfind("plug", 0) == 0) {
            options.start = step != "plug no-start";
            options.removeAfterFailedStart = step != "plug keep-failed";
            node_ = Plug("modem", options);
            return node_->problem;
        } else if (step == "open") {
            handles_.push_back(nullptr);
            return sim::OpenFile(node_->fdo, &handles_.back());
        } else if (step == "close") {
            sim::FileHandle* handle = handles_.front();
            handles_.erase(handles_.begin());
            return sim::CloseFile(handle);
        } else if (std::optional<NTSTATUS> status = rig::PnpStep(node_, step))
            return *status;
        else if (step == "unplug")
            Unplug(node_->pdo);
        else if (step == "unplug at dispatch") { // as a bus would from its DPC
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            Unplug(node_->pdo);
            KeLowerIrql(old);
        } else if (step == "run")
            sim::RunUntilIdle();
        else
            ADD_FAILURE() << "unknown step " << step;
        return STATUS_SUCCESS;
    }
    rig::Lines Play(const rig::ScriptRow& row) {
        rig::Lines lines;
        if (row.steps[0][0] != '!' && row.steps[0].rfind("plug", 0) != 0)
            Step("plug"); // as the row's first step shows it
        for (int i = 0; i < (int)row.steps.size(); ++i) {
            const std::string& step = row.steps[i];
            const size_t mark = node_ != nullptr ? node_->irps.size() : 0;
            Timeline().clear();
            const NTSTATUS status = Step(step);
            if (step[0] == '!')
                continue;
            lines.push_back(step + " " + Hex(status) + ": " + sim::DevNodeStateName(node_->state) +
                            " | " + Irps(mark) + " | " + Stack() + " | " +
                            (sim::LoadedDriver("vxtest") ? "loaded " : "unloaded ") +
                            std::to_string(fdo_->entries) + "/" + std::to_string(fdo_->unloads));
            if (i == row.timelineOf)
                lines.push_back("  " + ::testing::PrintToString(Timeline()));
        }
        return lines;
    }

    sim::DevNode* node_ = nullptr;
    std::vector<sim::FileHandle*> handles_;
};

TEST_P(PnpScripts, Transcript) {
    const rig::ScriptRow& row = GetParam();
    if (row.lines[0].rfind("dies: ", 0) == 0) {
        EXPECT_DEATH(Play(row), row.lines[0].substr(6));
        return;
    }
    const rig::Lines lines = Play(row);
    EXPECT_EQ(lines, row.lines) << ::testing::PrintToString(lines);
}

// clang-format off
const rig::ScriptRow kScripts[] = {
    {"FailedAddDeviceLeavesNodeWithoutFunctionDriver", {"!add-fails", "plug"},
     {"plug 0xC000009A: NoDriver | - | pdo COM1 | unloaded 1/1"}},
    {"FailedStartIsFollowedByRemoveAndTheDriverLeaves", {"!start-fails", "plug"},
     {"plug 0xC00000A3: Removed | START 0xC00000A3, REMOVE ok | pdo COM1 | unloaded 1/1"}},
    {"FailedStartCanBeKeptForInspectionThenRemoved", {"!start-fails", "plug keep-failed", "remove"},
     {"plug keep-failed 0xC00000A3: StartFailed | START 0xC00000A3 | fdo (none) | loaded 1/0",
      "remove 0x0: Removed | QUERY_RELATIONS 0xC00000BB, QUERY_REMOVE ok, REMOVE ok | pdo COM1 | unloaded 1/1"}},
    // Nothing installed: no requests, no driver, no COM name taken.
    {"KindWithoutServiceGetsNoDriverAndNoRequests", {"!no-service", "plug"},
     {"plug 0xC000000E: NoDriver | - | pdo | unloaded 0/0"}},
    // Every request goes to the top of the stack first and reaches the bus
    // only through the function driver; the capabilities are asked for with
    // the record initialised as Windows does.
    {"StopIsQueriedFirstAndAStartBringsTheDeviceBack", {"plug", "stop", "start"},
     {"plug 0x0: Started | START ok, QUERY_CAPABILITIES ok, 0x14 0xC00000BB | fdo COM1 | loaded 1/0",
      "  { \"fdo:DriverEntry\", \"fdo:AddDevice\", \"fdo:START\", \"bus:START\", \"fdo:QUERY_CAPABILITIES\", \"bus:QUERY_CAPABILITIES\", \"bus:caps size=" + std::to_string(sizeof(DEVICE_CAPABILITIES)) + " version=1 address=-1 ui=-1\", \"fdo:OTHER\", \"bus:OTHER\" }",
      "stop 0x0: Stopped | QUERY_STOP ok, STOP ok | fdo COM1 | loaded 1/0",
      "start 0x0: Started | START ok, QUERY_CAPABILITIES ok, 0x14 0xC00000BB | fdo COM1 | loaded 1/0"}, {}, nullptr, 0},
    // The refusing driver kept the query; the cancel went all the way down.
    // Once the handle is gone the same request goes through.
    {"RefusedStopIsCancelled", {"open", "stop", "close", "stop"},
     {"open 0x0: Started | - | fdo COM1 | loaded 1/0",
      "stop 0x80000011: Started | QUERY_STOP 0x80000011, CANCEL_STOP ok | fdo COM1 | loaded 1/0",
      "  { \"fdo:QUERY_STOP\", \"fdo:CANCEL_STOP\", \"bus:CANCEL_STOP\" }",
      "close 0x0: Started | - | fdo COM1 | loaded 1/0",
      "stop 0x0: Stopped | QUERY_STOP ok, STOP ok | fdo COM1 | loaded 1/0"}, {}, nullptr, 1},
    {"QueryStopCancelledByTheManager", {"query-stop-cancel"},
     {"query-stop-cancel 0x0: Started | QUERY_STOP ok, CANCEL_STOP ok | fdo COM1 | loaded 1/0"}},
    // Removal relations are asked for first; nobody here has any.
    {"RefusedRemoveIsCancelled", {"open", "remove", "close", "remove"},
     {"open 0x0: Started | - | fdo COM1 | loaded 1/0",
      "remove 0x80000011: Started | QUERY_RELATIONS 0xC00000BB, QUERY_REMOVE 0x80000011, CANCEL_REMOVE ok | fdo COM1 | loaded 1/0",
      "close 0x0: Started | - | fdo COM1 | loaded 1/0",
      "remove 0x0: Removed | QUERY_RELATIONS 0xC00000BB, QUERY_REMOVE ok, REMOVE ok | pdo COM1 | unloaded 1/1"}},
    // The state from before the query, not Started.
    {"QueryRemoveCancelledByTheManagerKeepsStopped", {"stop", "query-remove-cancel"},
     {"stop 0x0: Stopped | QUERY_STOP ok, STOP ok | fdo COM1 | loaded 1/0",
      "query-remove-cancel 0x0: Stopped | QUERY_RELATIONS 0xC00000BB, QUERY_REMOVE ok, CANCEL_REMOVE ok | fdo COM1 | loaded 1/0"}},
    // A removed device enabled again: the driver is loaded afresh and the
    // port keeps its name.
    {"RemovedDeviceEnabledAgainReloadsTheDriverAndKeepsItsName", {"remove", "reenable"},
     {"remove 0x0: Removed | QUERY_RELATIONS 0xC00000BB, QUERY_REMOVE ok, REMOVE ok | pdo COM1 | unloaded 1/1",
      "reenable 0x0: Started | START ok, QUERY_CAPABILITIES ok, 0x14 0xC00000BB | fdo COM1 | loaded 2/1"}},
    // ---- unplug: SURPRISE_REMOVAL for a stack that was running, and
    // REMOVE once no handle is left on it.
    {"UnplugWithNoHandleSurprisesThenRemovesAndUnloads", {"unplug"},
     {"unplug 0x0: Deleted | SURPRISE_REMOVAL ok, REMOVE ok | gone | unloaded 1/1",
      "  { \"fdo:SURPRISE_REMOVAL\", \"bus:SURPRISE_REMOVAL\", \"fdo:REMOVE\", \"bus:REMOVE\", \"fdo:Unload\" }"}, {}, nullptr, 0},
    {"RemoveWaitsForTheLastHandleToClose", {"open", "open", "unplug", "close", "close"},
     {"open 0x0: Started | - | fdo COM1 | loaded 1/0",
      "open 0x0: Started | - | fdo COM1 | loaded 1/0",
      "unplug 0x0: SurpriseRemoved | SURPRISE_REMOVAL ok | fdo COM1 | loaded 1/0",
      "close 0x0: SurpriseRemoved | - | fdo COM1 | loaded 1/0",
      "close 0x0: Deleted | REMOVE ok | gone | unloaded 1/1"}},
    {"NeverStartedDeviceGetsOnlyRemove", {"plug no-start", "unplug"},
     {"plug no-start 0x0: Added | - | fdo (none) | loaded 1/0",
      "unplug 0x0: Deleted | REMOVE ok | gone | unloaded 1/1"}},
    {"StoppedDeviceIsSurprisedToo", {"stop", "unplug"},
     {"stop 0x0: Stopped | QUERY_STOP ok, STOP ok | fdo COM1 | loaded 1/0",
      "unplug 0x0: Deleted | SURPRISE_REMOVAL ok, REMOVE ok | gone | unloaded 1/1"}},
    {"UnplugReportedAtDispatchLevelRunsFromAWorker", {"unplug at dispatch", "run"},
     {"unplug at dispatch 0x0: Started | - | fdo COM1 | loaded 1/0",
      "run 0x0: Deleted | SURPRISE_REMOVAL ok, REMOVE ok | gone | unloaded 1/1"}},
    // ---- what the manager does not let pass: a failed REMOVE, a stop of a
    // device never started, an image that cannot be mapped.
    {"FailingARemoveIsAVerifierViolation", {"plug", "!remove-fails", "remove"},
     {"dies: may not fail this request \\(PnpRemove rule\\)"}},
    {"StoppingADeviceThatIsNotStartedIsAMisuse", {"plug no-start", "stop"}, {"dies: is Added"}},
    {"MissingImageStopsTheRunNamingIt", {"!no-image", "plug"},
     {"dies: cannot map the image of vxmissing"}},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(, PnpScripts, ::testing::ValuesIn(kScripts), rig::RowName<rig::ScriptRow>);

} // namespace
