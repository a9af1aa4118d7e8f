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

// What the next packet of the transfer is in `frame`: its length, or -1 for
// a NAK (the phone has nothing, or no room). `rest` is what the transfer
// still wants.
LONG NextPacket(WIRE_PIPE* pipe, LONGLONG frame, ULONG rest) {
    ULONGLONG ready = WireSupplyAt(&pipe->Supply, frame * pipe->Bus->Frame) - pipe->Taken;
    ULONG want = (ULONG)MinOf(pipe->MaxPacket, rest);
    if (!pipe->In)
        return ready >= want ? (LONG)want : -1;
    if (ready != 0)
        return (LONG)MinOf(want, ready);
    const WIRE_SUPPLY* s = &pipe->Supply;
    BOOLEAN owed = s->EndWithZeroLength && !pipe->ZeroLengthSent && s->Bytes != 0 &&
                   pipe->Taken == s->Bytes && s->Bytes % pipe->MaxPacket == 0;
    return owed ? 0 : -1;
}

// The phone will never have more for this pipe.
BOOLEAN Dry(const WIRE_PIPE* pipe) {
    const WIRE_SUPPLY* s = &pipe->Supply;
    BOOLEAN owed = pipe->In && s->EndWithZeroLength && !pipe->ZeroLengthSent && s->Bytes != 0 &&
                   s->Bytes % pipe->MaxPacket == 0;
    return pipe->Taken >= s->Bytes && !owed;
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

void WireSchedule(WIRE_PIPE* pipe, LONGLONG submitted, ULONG length, WIRE_TRANSFER* transfer) {
    WIRE_BUS* bus = pipe->Bus;
    LONGLONG frame = MaxOf(submitted / bus->Frame + 1, pipe->LastFrame);
    transfer->FirstFrame = -1;
    transfer->LastFrame = -1;
    transfer->Completion = -1;
    transfer->Bytes = 0;
    transfer->Packets = 0;
    transfer->Finished = FALSE;

    if (pipe->Kind == WireControl) {
        // Setup, the data stage's packets, status: each takes a slot, and
        // the phone answers at once.
        ULONG packets = 2 + (length + pipe->MaxPacket - 1) / pipe->MaxPacket;
        for (; packets != 0; frame++) {
            UCHAR* used = Slot(bus, frame);
            while (packets != 0 && *used < bus->BulkPerFrame) {
                if (transfer->FirstFrame < 0)
                    transfer->FirstFrame = frame;
                (*used)++;
                packets--;
                transfer->Packets++;
            }
            transfer->LastFrame = frame;
        }
        transfer->Bytes = length;
        transfer->Finished = TRUE;
    } else {
        // An interrupt pipe moves one packet per service: a transfer queued
        // behind another waits for the service after that one's last.
        if (pipe->Kind == WireInterrupt && pipe->LastFrame != 0 && frame == pipe->LastFrame)
            frame++;
        if (pipe->Kind == WireInterrupt && frame % pipe->Interval != 0)
            frame += pipe->Interval - frame % pipe->Interval;
        LONGLONG step = pipe->Kind == WireInterrupt ? pipe->Interval : 1;
        for (LONGLONG looked = 0; !transfer->Finished && looked < kLookAhead; frame += step) {
            looked++;
            UCHAR dummy = 0;
            UCHAR* used = pipe->Kind == WireBulk ? Slot(bus, frame) : &dummy;
            ULONG room = pipe->Kind == WireBulk ? bus->BulkPerFrame : 1;
            while (!transfer->Finished && *used < room) {
                LONG n = NextPacket(pipe, frame, length - transfer->Bytes);
                if (n < 0)
                    break;
                if (transfer->FirstFrame < 0)
                    transfer->FirstFrame = frame;
                (*used)++;
                if (pipe->Kind != WireBulk)
                    room = 0; // one packet per service
                transfer->Packets++;
                transfer->Bytes += (ULONG)n;
                pipe->Taken += (ULONG)n;
                if (n == 0)
                    pipe->ZeroLengthSent = TRUE;
                transfer->LastFrame = frame;
                // A short packet ends it, and so does a full buffer.
                if ((ULONG)n < pipe->MaxPacket || transfer->Bytes == length)
                    transfer->Finished = TRUE;
            }
            if (!transfer->Finished && Dry(pipe))
                break;
        }
    }
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
