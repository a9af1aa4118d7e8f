// An unmodified Win32 serial program (program/modeminfo.cpp), compiled with
// the project's <windows.h> and <tchar.h>, run against the recording driver.
#include "comm_fixture.h"

int ModemInfoMain(int argc, char* argv[]);

namespace {

class Win32Program : public CommTest {
protected:
    void SetUp() override {
        CommTest::SetUp();
        ASSERT_TRUE(CloseHandle(port_)); // the program opens the port itself
        port_ = INVALID_HANDLE_VALUE;
        Rec().Clear();
    }
    int Run() {
        char name[] = "modeminfo";
        char device[] = "\\\\.\\COM7";
        char* argv[] = {name, device, nullptr};
        return ModemInfoMain(2, argv);
    }
};

TEST_F(Win32Program, SendsWhatKernel32WouldAndSeesTheEvent) {
    testing::internal::CaptureStdout();
    int result = -1;
    {
        sim::Thread program("modeminfo", [&] { result = Run(); });
        sim::RunUntilIdle();
        ASSERT_TRUE(Rec().WaitPending());
        EXPECT_TRUE(Rec().RaiseEvents(EV_RXCHAR));
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "CTS on DSR on RLSD off\n"
                   "max baud 0x10000000 rx queue 4096\n"
                   "events 0x0001\n"
                   "in queue 0 errors 0\n");
    const Names expected = {"SET_QUEUE_SIZE", "GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS",
                            "GET_HANDFLOW", "GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS",
                            "GET_HANDFLOW", "SET_BAUD_RATE", "SET_RTS", "SET_DTR",
                            "SET_LINE_CONTROL", "SET_CHARS", "SET_HANDFLOW", "SET_TIMEOUTS",
                            "GET_MODEMSTATUS", "GET_PROPERTIES", "SET_WAIT_MASK", "WAIT_ON_MASK",
                            "GET_COMMSTATUS", "PURGE", "CLR_DTR"};
    EXPECT_EQ(Rec().Names(), expected);
    EXPECT_EQ(Rec().baud.BaudRate, 115200u);
}

TEST_F(Win32Program, GivesUpOnTheWaitAfterItsTimeoutOnTheVirtualClock) {
    testing::internal::CaptureStdout();
    const LONGLONG start = sim::Now();
    EXPECT_EQ(Run(), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("no events\n"), std::string::npos) << out;
    EXPECT_EQ(sim::Now() - start, 5000LL * 10000);
    EXPECT_FALSE(Rec().WaitPending()); // CancelIoEx took it back
}

TEST_F(Win32Program, ReportsAPortThatDoesNotExist) {
    testing::internal::CaptureStdout();
    char name[] = "modeminfo";
    char device[] = "\\\\.\\COM9";
    char* argv[] = {name, device, nullptr};
    EXPECT_EQ(ModemInfoMain(2, argv), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "open failed: 2\n");
}

} // namespace
