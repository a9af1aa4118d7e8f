// Wire timing of a USB 2.0 bus, as a calculator: when a bulk, interrupt or
// control transfer moves its packets and when its completion reaches the
// function driver. The bus glue asks it and completes transfers at the times
// it gives; the calculator itself keeps no clock and calls nothing.
//
// The rules it models:
//  - full speed: 1 ms frames, 64-byte bulk packets, at most 19 bulk packets
//    a frame (1,216,000 bytes/s); high speed: 125 us microframes, 512-byte
//    bulk packets, at most 13 a microframe (53,248,000 bytes/s). The bulk
//    budget of a (micro)frame is shared by every bulk and control pipe of the
//    bus; control stages take a slot each (setup, each data packet, status);
//  - interrupt pipes are served once every `interval` (micro)frames, one
//    packet per service, outside the bulk budget (periodic bandwidth is
//    reserved ahead of it);
//  - a transfer submitted at time T starts no earlier than the next
//    (micro)frame boundary after T, or, queued behind another transfer of the
//    same pipe, in the (micro)frame where that one finished;
//  - an IN packet carries what the phone has at the start of the
//    (micro)frame: a full packet, a short one (which ends the transfer), or a
//    NAK when it has nothing (the transfer waits); an OUT packet goes only
//    when the phone can take it. The phone's side is a WIRE_SUPPLY: bytes it
//    has (IN) or can take (OUT) from a time on, at a rate or all at once;
//  - the completion reaches the driver at the end of the (micro)frame in
//    which the transfer finished, plus the host controller's latency (0, or
//    about 1 ms of interrupt moderation).
//
// Times are in 100 ns units, the kernel's interrupt time. Plain C-style code
// with no run-time library: it runs inside the kernel-mode bus driver too.
#pragma once

#include "platform/kernel.h"

enum WIRE_SPEED { WireFullSpeed = 0, WireHighSpeed = 1 };
enum WIRE_KIND { WireBulk = 0, WireInterrupt = 1, WireControl = 2 };

constexpr LONGLONG kWireFullSpeedFrame = 10000; // 1 ms
constexpr LONGLONG kWireHighSpeedFrame = 1250;  // 125 us
constexpr LONGLONG kWireSecond = 10000000;
// How many (micro)frames the shared bulk budget is kept for (a 64 KiB
// transfer spans 54 frames at full speed); a transfer scheduled further ahead
// than this shares nothing beyond it.
constexpr ULONG kWireWindow = 256;

struct WIRE_BUS {
    WIRE_SPEED Speed;
    LONGLONG Frame;        // (micro)frame length
    ULONG BulkPacket;      // bulk max packet size
    ULONG BulkPerFrame;    // bulk (and control) packet slots per (micro)frame
    LONGLONG Latency;      // host controller: end of frame to completion at the driver
    LONGLONG SlotFrame[kWireWindow]; // which (micro)frame each slot counts
    UCHAR SlotUsed[kWireWindow];     // packets it carries so far
};

// What the phone has to send (IN) or room to take (OUT): nothing before
// `From`, then `Bytes` in all, arriving at `BytesPerSecond` (0: all at once).
struct WIRE_SUPPLY {
    LONGLONG From;
    ULONGLONG Bytes;
    ULONGLONG BytesPerSecond;
    // IN: once every byte went in full packets, the phone ends the run with a
    // zero-length packet (as it ends a burst); otherwise the transfer waits.
    BOOLEAN EndWithZeroLength;
    // IN: a part packet waits for the rest unless it is the last of the
    // supply (a phone whose transfer is already decided sends it whole).
    BOOLEAN WholePackets;
};

struct WIRE_PIPE {
    WIRE_BUS* Bus;
    WIRE_KIND Kind;
    BOOLEAN In;
    ULONG MaxPacket;
    ULONG Interval;        // interrupt: (micro)frames between services
    WIRE_SUPPLY Supply;
    ULONGLONG Taken;       // bytes of the supply moved so far
    BOOLEAN ZeroLengthSent; // the zero-length packet the supply ends with
    LONGLONG LastFrame;    // the (micro)frame the last scheduled transfer ended in
};

struct WIRE_TRANSFER {
    LONGLONG FirstFrame;   // (micro)frame of its first packet (-1: none moved)
    LONGLONG LastFrame;    // (micro)frame it finished in
    LONGLONG Completion;   // when the driver sees its completion
    ULONG Bytes;           // bytes moved
    ULONG Packets;         // packets moved (zero-length included)
    BOOLEAN Finished;      // false: still waiting for the phone (no completion time)
};

// Per-second wire limit of bulk transfers at the bus's speed.
ULONGLONG WireBulkLimit(const WIRE_BUS* bus);
void WireInitBus(WIRE_BUS* bus, WIRE_SPEED speed, LONGLONG latency);
// `maxPacket` 0: the speed's bulk packet (64 for control); `interval` in
// (micro)frames, interrupt pipes only.
void WireInitPipe(WIRE_PIPE* pipe, WIRE_BUS* bus, WIRE_KIND kind, BOOLEAN in, ULONG maxPacket,
                  ULONG interval);
// The phone's side of the pipe from now on (resets what was taken).
void WireSetSupply(WIRE_PIPE* pipe, const WIRE_SUPPLY* supply);
// Bytes the supply has made available by `time`.
ULONGLONG WireSupplyAt(const WIRE_SUPPLY* supply, LONGLONG time);

// Schedules one transfer of `length` bytes submitted at `submitted` (for a
// control transfer, `length` is its data stage) and says when it completes
// with how many bytes. Transfers of one pipe are scheduled in submission
// order; the packets they take are gone from the bus's budget. An unfinished
// transfer (the phone ran dry) keeps the packets it moved; call again with
// the rest when the phone has more.
void WireSchedule(WIRE_PIPE* pipe, LONGLONG submitted, ULONG length, WIRE_TRANSFER* transfer);

// An application streaming through one pipe on an otherwise idle bus:
// `inFlight` transfers of `transferSize` bytes kept queued, each resubmitted
// the moment its completion arrives, until `total` bytes moved (or the phone
// has no more). One in flight is how the port drivers read; more is an
// idealised host that keeps the bus busy.
struct WIRE_STREAM {
    ULONGLONG Bytes;
    ULONG Transfers;
    LONGLONG Elapsed;       // first submission to last completion
    ULONG PerMilleOfLimit;  // throughput against WireBulkLimit
    LONGLONG FirstCompletion; // latency of the first transfer from its submission
};
constexpr ULONG kWireMaxInFlight = 16;
// `bus` is initialised here (it is too large for a kernel stack); `supply`
// NULL: the phone always has bytes (IN) or room (OUT).
void WireStream(WIRE_BUS* bus, WIRE_SPEED speed, LONGLONG latency, BOOLEAN in,
                ULONG transferSize, ULONG inFlight, ULONGLONG total, const WIRE_SUPPLY* supply,
                WIRE_STREAM* result);
