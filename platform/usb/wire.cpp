// Wire timing of a USB 2.0 bus; see wire.h for the rules.
#include "platform/usb/wire.h"

namespace {

constexpr ULONG kControlPacket = 64;
// A phone that runs dry with a transfer pending: how many (micro)frames the
// calculator looks ahead for more before it leaves the transfer unfinished.
constexpr LONGLONG kLookAhead = 10000000;
constexpr ULONGLONG kUnlimited = ~0ull;

LONGLONG MaxOf(LONGLONG a, LONGLONG b) { return a > b ? a : b; }
ULONGLONG MinOf(ULONGLONG a, ULONGLONG b) { return a < b ? a : b; }

// Bulk and control packets the (micro)frame still has room for.
UCHAR* Slot(WIRE_BUS* bus, LONGLONG frame) {
    ULONG i = (ULONG)(frame % kWireWindow);
    if (bus->SlotFrame[i] != frame) {
        bus->SlotFrame[i] = frame;
        bus->SlotUsed[i] = 0;
    }
    return &bus->SlotUsed[i];
}

// An IN run that went in full packets (or had nothing, after a stall or an
// error: its handshake) still owes the zero-length packet that ends it.
BOOLEAN ZeroLengthOwed(const WIRE_PIPE* pipe) {
    const WIRE_SUPPLY* s = &pipe->Supply;
    return pipe->In && s->EndWithZeroLength && !pipe->ZeroLengthSent &&
           s->Bytes % pipe->MaxPacket == 0;
}

// What the next packet of the transfer is in `frame`: its length, or -1 for
// a NAK (the phone has nothing, or no room). `rest` is what the transfer
// still wants.
LONG NextPacket(WIRE_PIPE* pipe, LONGLONG frame, ULONG rest) {
    ULONGLONG ready = WireSupplyAt(&pipe->Supply, frame * pipe->Bus->Frame) - pipe->Taken;
    ULONG want = (ULONG)MinOf(pipe->MaxPacket, rest);
    if (!pipe->In)
        return ready >= want ? (LONG)want : -1;
    if (ready >= want)
        return (LONG)want;
    const BOOLEAN last = pipe->Taken + ready == pipe->Supply.Bytes;
    if (ready != 0 && (last || !pipe->Supply.WholePackets))
        return (LONG)ready;
    return ZeroLengthOwed(pipe) && pipe->Taken == pipe->Supply.Bytes ? 0 : -1;
}

// The phone will never have more for this pipe.
BOOLEAN Dry(const WIRE_PIPE* pipe) {
    return pipe->Taken >= pipe->Supply.Bytes && !ZeroLengthOwed(pipe);
}

} // namespace

ULONGLONG WireBulkLimit(const WIRE_BUS* bus) {
    return (ULONGLONG)bus->BulkPacket * bus->BulkPerFrame * (ULONGLONG)(kWireSecond / bus->Frame);
}

void WireInitBus(WIRE_BUS* bus, WIRE_SPEED speed, LONGLONG latency) {
    bus->Speed = speed;
    bus->Frame = speed == WireHighSpeed ? kWireHighSpeedFrame : kWireFullSpeedFrame;
    bus->BulkPacket = speed == WireHighSpeed ? 512 : 64;
    bus->BulkPerFrame = speed == WireHighSpeed ? 13 : 19;
    bus->Latency = latency;
    for (ULONG i = 0; i < kWireWindow; i++) {
        bus->SlotFrame[i] = -1;
        bus->SlotUsed[i] = 0;
    }
}

void WireInitPipe(WIRE_PIPE* pipe, WIRE_BUS* bus, WIRE_KIND kind, BOOLEAN in, ULONG maxPacket,
                  ULONG interval) {
    pipe->Bus = bus;
    pipe->Kind = kind;
    pipe->In = in;
    pipe->MaxPacket = maxPacket != 0 ? maxPacket
                      : kind == WireControl ? kControlPacket
                                            : bus->BulkPacket;
    pipe->Interval = interval != 0 ? interval : 1;
    pipe->LastFrame = 0;
    WIRE_SUPPLY always = {0, kUnlimited, 0, FALSE};
    WireSetSupply(pipe, &always);
}

void WireSetSupply(WIRE_PIPE* pipe, const WIRE_SUPPLY* supply) {
    pipe->Supply = *supply;
    pipe->Taken = 0;
    pipe->ZeroLengthSent = FALSE;
}

ULONGLONG WireSupplyAt(const WIRE_SUPPLY* supply, LONGLONG time) {
    if (time < supply->From)
        return 0;
    if (supply->BytesPerSecond == 0)
        return supply->Bytes;
    // Whole seconds first, so that a long run does not overflow.
    ULONGLONG t = (ULONGLONG)(time - supply->From);
    ULONGLONG arrived = t / kWireSecond * supply->BytesPerSecond +
                        t % kWireSecond * supply->BytesPerSecond / kWireSecond;
    return MinOf(arrived, supply->Bytes);
}

namespace {

// Setup, the data stage's packets, status: each takes a bulk slot, and the
// phone answers at once.
void ScheduleControl(WIRE_PIPE* pipe, LONGLONG frame, ULONG length, WIRE_TRANSFER* transfer) {
    WIRE_BUS* bus = pipe->Bus;
    ULONG packets = 2 + (length + pipe->MaxPacket - 1) / pipe->MaxPacket;
    for (; packets != 0; frame++) {
        UCHAR* used = Slot(bus, frame);
        ULONG n = (ULONG)MinOf(packets, bus->BulkPerFrame - *used);
        if (n != 0 && transfer->FirstFrame < 0)
            transfer->FirstFrame = frame;
        *used = (UCHAR)(*used + n);
        packets -= n;
        transfer->Packets += n;
        transfer->LastFrame = frame;
    }
    transfer->Bytes = length;
    transfer->Finished = TRUE;
}

// Moves the packets one (micro)frame or service allows; a short packet or a
// full buffer finishes the transfer.
void MoveInFrame(WIRE_PIPE* pipe, LONGLONG frame, ULONG length, WIRE_TRANSFER* transfer) {
    UCHAR periodic = 0;
    const BOOLEAN bulk = pipe->Kind == WireBulk;
    UCHAR* used = bulk ? Slot(pipe->Bus, frame) : &periodic;
    const ULONG room = bulk ? pipe->Bus->BulkPerFrame : 1; // one packet per service
    while (!transfer->Finished && *used < room) {
        LONG n = NextPacket(pipe, frame, length - transfer->Bytes);
        if (n < 0)
            return;
        if (transfer->FirstFrame < 0)
            transfer->FirstFrame = frame;
        (*used)++;
        transfer->Packets++;
        transfer->Bytes += (ULONG)n;
        pipe->Taken += (ULONG)n;
        if (n == 0)
            pipe->ZeroLengthSent = TRUE;
        transfer->LastFrame = frame;
        transfer->Finished = (ULONG)n < pipe->MaxPacket || transfer->Bytes == length;
    }
}

// Bulk and interrupt: packets as the phone has them (IN) or takes them (OUT).
void ScheduleData(WIRE_PIPE* pipe, LONGLONG frame, ULONG length, WIRE_TRANSFER* transfer) {
    LONGLONG step = 1;
    if (pipe->Kind == WireInterrupt) {
        // One packet per service: a transfer queued behind another waits
        // for the service after that one's last.
        if (pipe->LastFrame != 0 && frame == pipe->LastFrame)
            frame++;
        if (frame % pipe->Interval != 0)
            frame += pipe->Interval - frame % pipe->Interval;
        step = pipe->Interval;
    }
    for (LONGLONG looked = 0; looked < kLookAhead; looked++, frame += step) {
        MoveInFrame(pipe, frame, length, transfer);
        if (transfer->Finished || Dry(pipe))
            return;
    }
}

} // namespace

void WireSchedule(WIRE_PIPE* pipe, LONGLONG submitted, ULONG length, WIRE_TRANSFER* transfer) {
    WIRE_BUS* bus = pipe->Bus;
    LONGLONG frame = MaxOf(submitted / bus->Frame + 1, pipe->LastFrame);
    transfer->FirstFrame = -1;
    transfer->LastFrame = -1;
    transfer->Completion = -1;
    transfer->Bytes = 0;
    transfer->Packets = 0;
    transfer->Finished = FALSE;
    if (pipe->Kind == WireControl)
        ScheduleControl(pipe, frame, length, transfer);
    else
        ScheduleData(pipe, frame, length, transfer);
    if (transfer->LastFrame >= 0)
        pipe->LastFrame = transfer->LastFrame;
    if (transfer->Finished)
        transfer->Completion = (transfer->LastFrame + 1) * bus->Frame + bus->Latency;
}

void WireStream(WIRE_BUS* bus, WIRE_SPEED speed, LONGLONG latency, BOOLEAN in,
                ULONG transferSize, ULONG inFlight, ULONGLONG total, const WIRE_SUPPLY* supply,
                WIRE_STREAM* result) {
    WIRE_PIPE pipe;
    WIRE_TRANSFER queued[kWireMaxInFlight];
    WireInitBus(bus, speed, latency);
    WireInitPipe(&pipe, bus, WireBulk, in, 0, 0);
    if (supply != nullptr)
        WireSetSupply(&pipe, supply);
    if (inFlight == 0)
        inFlight = 1;
    if (inFlight > kWireMaxInFlight)
        inFlight = kWireMaxInFlight;
    result->Bytes = 0;
    result->Transfers = 0;
    result->Elapsed = 0;
    result->PerMilleOfLimit = 0;
    result->FirstCompletion = -1;

    // Ring of the transfers in flight, oldest at `head`; pipes complete in
    // order, so the oldest is always the next to complete.
    ULONGLONG submitted = 0;
    ULONG head = 0, count = 0;
    for (; count < inFlight && submitted < total; count++) {
        WireSchedule(&pipe, 0, transferSize, &queued[count]);
        submitted += transferSize;
    }
    while (count != 0) {
        WIRE_TRANSFER* done = &queued[head];
        head = (head + 1) % inFlight;
        count--;
        if (!done->Finished)
            break; // the phone ran dry
        result->Bytes += done->Bytes;
        result->Transfers++;
        result->Elapsed = done->Completion;
        if (result->FirstCompletion < 0)
            result->FirstCompletion = done->Completion;
        if (submitted < total) {
            WireSchedule(&pipe, done->Completion, transferSize, &queued[(head + count) % inFlight]);
            submitted += transferSize;
            count++;
        }
    }
    if (result->Elapsed > 0)
        result->PerMilleOfLimit = (ULONG)(result->Bytes * 1000 * (ULONGLONG)kWireSecond /
                                          ((ULONGLONG)result->Elapsed * WireBulkLimit(bus)));
}
