// An unmodified Win32 serial program (program/modeminfo.cpp), compiled with
// the project's <windows.h> and <tchar.h>, run against the recording driver.
#include "comm_fixture.h"

int ModemInfoMain(int argc, char* argv[]);

namespace {

int RunModemInfo(const char* device) {
    char name[] = "modeminfo";
    std::string path = device;
    char* argv[] = {name, path.data(), nullptr};
    return ModemInfoMain(2, argv);
}

using Win32Program = SerialRig;

TEST_F(Win32Program, SendsWhatKernel32WouldAndSeesTheEvent) {
    testing::internal::CaptureStdout();
    int result = -1;
    {
        sim::Thread program("modeminfo", [&] { result = RunModemInfo("\\\\.\\COM7"); });
        sim::RunUntilIdle();
        ASSERT_TRUE(WaitPending());
        EXPECT_TRUE(RaiseEvents(EV_RXCHAR));
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CTS on DSR on RLSD off\n"
                                                      "max baud 0x10000000 rx queue 4096\n"
                                                      "events 0x0001\n"
                                                      "in queue 0 errors 0\n");
    // 4096 each way; 115200 8N1 with RTS and DTR on; RXCHAR | ERR.
    // clang-format off
    const Names expected = {
        "SET_QUEUE_SIZE 1000 1000", "GET_BAUD_RATE/4",  "GET_LINE_CONTROL/3", "GET_CHARS/6",
        "GET_HANDFLOW/16",          "GET_BAUD_RATE/4",  "GET_LINE_CONTROL/3", "GET_CHARS/6",
        "GET_HANDFLOW/16",          "SET_BAUD_RATE 1c200", "SET_RTS",         "SET_DTR",
        "SET_LINE_CONTROL 00 00 08", "SET_CHARS 00 00 00 00 11 13", "SET_HANDFLOW 1 40 0 0",
        "SET_TIMEOUTS ffffffff 0 0 0 0", "GET_MODEMSTATUS/4", "GET_PROPERTIES/64",
        "SET_WAIT_MASK 81",         "WAIT_ON_MASK/4",   "GET_COMMSTATUS/20",  "PURGE c",
        "CLR_DTR"};
    // clang-format on
    EXPECT_EQ(Sent(), expected);
}

TEST_F(Win32Program, GivesUpOnTheWaitAfterItsTimeoutOnTheVirtualClock) {
    testing::internal::CaptureStdout();
    const LONGLONG start = sim::Now();
    EXPECT_EQ(RunModemInfo("\\\\.\\COM7"), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("no events\n"), std::string::npos) << out;
    EXPECT_EQ(sim::Now() - start, 5000LL * 10000);
    EXPECT_FALSE(WaitPending()); // CancelIoEx took it back
}

} // namespace
