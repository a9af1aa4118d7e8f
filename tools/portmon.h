// Requests at the top of the port's stack, written the way Portmon writes
// them, so that a user can hold our log next to one taken on Windows.
//
// Portmon numbers requests in the order they were issued and has two forms:
//  - live (its "two-line" save): a line when a request is issued (sequence,
//    0.00000000, process, request, device, the request's details, e.g.
//    "Length 1") and another when it completes (sequence, duration, status,
//    the result's details, e.g. "Length 1: 01 ");
//  - the one-line log: one record per request in issue order with the status
//    and duration filled in at completion (a request still pending at the
//    end has an empty status and 0.00000000), each record ending with a tab.
// The vocabulary is Portmon's: its request names (IOCTL_SERIAL_SET_CHARS is
// IOCTL_SERIAL_SET_CHAR, GET_CHARS keeps its S; a code with no name is
// IRP_MJ_DEVICE_CONTROL with "IOCTL: 0x2B0008"), its status words (SUCCESS,
// TIMEOUT, CANCELLED, INVALID PARAMETER), its parameter text ("Rate: 115200",
// "RI:-1 RM:0 RC:0 WM:0 WC:0", "Options: Open ", "Mask: DSR ") and its two
// views of data: ASCII ("Length 3: AT.") or hex ("Length 3: 41 54 0D ").
#pragma once

#include "platform/sim/sim.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace vxqt70 {

enum class PortmonView { Ascii, Hex };

// Portmon's names for a control code (empty when it has none), a request, a
// status and the device.
std::string PortmonControlName(ULONG ioControlCode);
std::string PortmonRequestName(UCHAR major, ULONG ioControlCode);
std::string PortmonStatus(NTSTATUS status);
std::string PortmonDeviceName(const std::u16string& kernelName); // "\Device\X0" -> "X0"
// Flag lists, each flag followed by a space ("RXCHAR RLSD "; "" for none).
std::string PortmonEventMask(ULONG mask);
std::string PortmonPurgeMask(ULONG mask);
// Data in the chosen view, at most `limit` bytes: ASCII shows printable
// bytes as they are and a dot for each other; hex shows "41 54 0D ".
std::string PortmonData(const void* data, size_t length, PortmonView view = PortmonView::Ascii,
                        size_t limit = 64);

// The other way, for reading Portmon's logs: the control code of a request
// name (older logs' IOCTL_SERIAL_GET_CHAR and IOCTL_SERIAL_SET_CHARS too), the
// length of the status word `text` starts with (0: none), and a flag list
// ("RXCHAR RLSD", "TXCLEAR 0x10") back to its mask.
bool PortmonControlCode(const std::string& name, ULONG* code);
size_t PortmonStatusPrefix(const std::string& text);
bool PortmonParseEventMask(const std::string& text, ULONG* mask);
bool PortmonParsePurgeMask(const std::string& text, ULONG* mask);

// One request as Portmon keeps it.
struct PortmonRecord {
    unsigned long sequence = 0;
    std::string process, request, device;
    std::string issued;    // the request's details as sent ("Length 256", "Rate: 2400")
    bool completed = false;
    LONGLONG duration = 0; // 100 ns, from issue to completion
    std::string status;    // "" while pending
    std::string result;    // the result's details ("Length 4: OK..", "Size: 0"), often ""
};

// A record from the request as sent, and its completion filled in.
PortmonRecord PortmonIssued(unsigned long sequence, const std::string& process,
                            const sim::IoTraceEvent& sent, PortmonView view);
void PortmonCompleted(PortmonRecord* record, const sim::IoTraceEvent& completed,
                      PortmonView view);

// The details the one-line form shows: the result where there is one (a
// read's data), else what was asked ("Length 256" for a read that returned
// nothing or is still pending).
std::string PortmonDetails(const PortmonRecord& record);
// "0.00000690" for a duration in 100 ns.
std::string PortmonDuration(LONGLONG duration);
// The lines of each form.
std::string PortmonIssueLine(const PortmonRecord& record);
std::string PortmonCompletionLine(const PortmonRecord& record);
std::string PortmonOneLine(const PortmonRecord& record);

// Installs itself as the I/O manager's request watcher. `live` (may be
// NULL) gets the two-line form as it happens; `log` (may be NULL) gets the
// one-line form in issue order, each record written once it and every
// earlier one have completed, the rest at the end as still pending. With
// `keep` every record stays readable through Record().
class PortmonTrace {
public:
    PortmonTrace(FILE* live, std::string process, PortmonView view = PortmonView::Ascii,
                 FILE* log = nullptr, bool keep = false);
    ~PortmonTrace(); // removes the watcher, writing what is still pending
    PortmonTrace(const PortmonTrace&) = delete;
    PortmonTrace& operator=(const PortmonTrace&) = delete;

    // Writes the one-line records still waiting (pending ones with an empty
    // status); later completions of those are not written again.
    void FlushPending();
    // Requests seen so far.
    unsigned long Requests() const;
    // Request `number` as it stands (kept records only).
    std::optional<PortmonRecord> Record(unsigned long number) const;

private:
    void OnEvent(const sim::IoTraceEvent& e);
    void WriteCompletedPrefix();

    FILE* live_;
    FILE* log_;
    std::string process_;
    PortmonView view_;
    bool keep_;
    mutable std::mutex lock_;
    // The I/O manager's sequence of each request in flight -> our number.
    std::map<uint64_t, unsigned long> numbers_;
    // Records in flight, and (with a log) completed ones waiting for an
    // earlier one; `firstUnwritten_` is the next number the log wants.
    std::map<unsigned long, PortmonRecord> records_;
    unsigned long firstUnwritten_ = 0;
    unsigned long next_ = 0;
};

} // namespace vxqt70
