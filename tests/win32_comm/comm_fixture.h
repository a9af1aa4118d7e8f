// A machine with the recording serial driver loaded and COM7 open.
#pragma once

#include "platform/sim/sim.h"
#include "rec_driver.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Names = std::vector<std::string>;

class CommTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(driver_, nullptr);
        port_ = Open(0);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port_));
        }
        EXPECT_EQ(sim::Win32OpenHandles(), 0u);
        sim::UnloadDriver(driver_);
    }
    HANDLE Open(DWORD flags) {
        return CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           flags, nullptr);
    }
    // Reopens the port for overlapped I/O.
    void ReopenOverlapped() {
        ASSERT_TRUE(CloseHandle(port_));
        port_ = Open(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    }
    commrec::RecState& Rec() { return commrec::State(); }
    Names Sent() {
        Names names = Rec().Names();
        Rec().Clear();
        return names;
    }

    sim::Kernel kernel_;
    PDRIVER_OBJECT driver_ = sim::CreateDriver("commrec", commrec::RecDriverEntry);
    HANDLE port_ = INVALID_HANDLE_VALUE;
};
