// The simulated PC every front end runs on: a kernel, the USB bus, the two
// driver images registered with the loader, and one phone plugged in with
// its modem interface answering AT commands. The COM names the installer
// gives the phone's ports can be chosen (VXQT70_COM_NAMES="COM1,COM2":
// modem first, then diagnostics), so that a Win32 program written for a
// fixed port name finds its port.
//
// The machine runs in the simulation's deterministic mode: one simulated
// processor and a virtual clock that moves only when every thread waits (or
// when a front end moves it, see AdvanceToRealTime). A run is the same every
// time, and a program that sleeps for a second costs no real second.
#pragma once

#include "platform/sim/sim.h"
#include "platform/usb/bus.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vxqt70 {

struct MachineOptions {
    // COM numbers wanted for the modem and the diagnostics port; 0: the
    // installer's choice (the lowest free number, modem first).
    unsigned modemCom = 0;
    unsigned diagCom = 0;
    bool diagnostics = true; // plug the phone's diagnostics interface too
    bool atModem = true;     // the modem interface answers AT commands
    int wire = -1;           // a WIRE_SPEED to time the bus at (1 ms moderation); -1 untimed
};

// Parses VXQT70_COM_NAMES-style text ("COM3", "COM3,COM4", "3,4") into the
// options. Returns an error message, or "" when the text is good.
std::string ParseComNames(const std::string& text, MachineOptions* options);

// Paths of the two driver images: next to the running executable if they
// are there, else where the build put them.
std::string ModemImagePath();
std::string DiagImagePath();

struct PortInfo {
    std::string kind;           // "modem", "diagnostics"
    std::string service;        // "vxqt70modem"
    std::string deviceName;     // "\Device\VXNTQT70MDM0"
    std::string comName;        // "COM1" (from the device's SERIALCOMM value)
    std::string state;          // the device node's state
    std::string interfaceLink;  // the device interface's symbolic link, "" when none
    bool interfaceEnabled = false;
};

class Machine {
public:
    // Boots the kernel, registers the driver images and plugs the phone;
    // the Plug and Play manager loads the drivers and starts the ports.
    explicit Machine(const MachineOptions& options = MachineOptions());
    // Tears down whatever is still up (the verifier's end checks included).
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    usb::Phone& Phone() { return *phone_; }
    usb::Interface& ModemInterface() { return phone_->Modem(); }
    sim::DevNode* ModemNode() const { return modemNode_; }
    sim::DevNode* DiagNode() const { return diagNode_; }
    // "\\.\COMn" of the modem port ("" when it has none).
    std::string ModemPath() const;
    std::string DiagPath() const;

    // Every port the phone brought, with what the system knows of it.
    std::vector<PortInfo> Ports() const;
    // What the kernel debugger printed since the last call.
    std::vector<std::string> TakeDebugOutput();

    // Pulls the phone out: surprise removal, then removal once no handle is
    // open, and the drivers unloaded after their last device.
    void Unplug();
    // Plugs the phone back in (after Unplug): a new phone with the same
    // interfaces, enumerated under the COM names asked for at the start.
    // False when it is still plugged.
    bool PlugIn();

    // Moves the virtual clock up to the real time elapsed since the last
    // call (for front ends that wait on a real terminal).
    void AdvanceToRealTime();

    // The end of the run: unplugs the phone if still plugged, checks what is
    // left (Win32 handles, IRPs, pool, devices, drivers still loaded) and
    // takes the kernel down, whose end checks stop the run with a bug check
    // on anything they find. Writes the findings to `out` and returns true
    // when there are none. Once only.
    bool Verdict(FILE* out, bool verbose);

private:
    void Plug();

    MachineOptions options_;
    std::unique_ptr<sim::Kernel> kernel_;
    std::unique_ptr<usb::Bus> bus_;
    usb::Phone* phone_ = nullptr;
    sim::DevNode* modemNode_ = nullptr;
    sim::DevNode* diagNode_ = nullptr;
    size_t debugLinesSeen_ = 0;
    std::chrono::steady_clock::time_point realStart_;
    LONGLONG virtualStart_ = 0;
};

// A bug check aborts the process after printing its report; this makes that
// end say which program stopped and exit with `code` instead of a signal.
void ReportBugChecksAsExit(const char* program, int code);

} // namespace vxqt70
