// Small driver stacks made inside a test: up to three drivers ("bottom",
// "middle", "top"), one device each, attached in that order. Each driver's
// dispatch routine is whatever the test sets for it; unset, it completes the
// request with STATUS_SUCCESS.
#pragma once

#include "platform/kernel.h"
#include "platform/sim/internal.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace iotest {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

enum Layer { kBottom = 0, kMiddle = 1, kTop = 2 };

struct Layers {
    Dispatch dispatch[3];
    PDRIVER_OBJECT driver[3] = {};
    PDEVICE_OBJECT device[3] = {};
    std::vector<int> order; // the layers built, bottom first
};

inline Layers& L() {
    static Layers layers;
    return layers;
}

inline int LayerOf(PDEVICE_OBJECT device) {
    for (int i = 0; i < 3; i++)
        if (L().device[i] == device)
            return i;
    return -1;
}

inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS NTAPI Trampoline(PDEVICE_OBJECT device, PIRP irp) {
    int layer = LayerOf(device);
    if (layer >= 0 && L().dispatch[layer])
        return L().dispatch[layer](device, irp);
    return CompleteWith(irp, STATUS_SUCCESS);
}

inline NTSTATUS NTAPI EveryMajorEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& routine : driver->MajorFunction)
        routine = Trampoline;
    return STATUS_SUCCESS;
}

// The device below `device` in the stack Build made.
inline PDEVICE_OBJECT Below(PDEVICE_OBJECT device) {
    auto& order = L().order;
    for (size_t i = 1; i < order.size(); i++)
        if (L().device[order[i]] == device)
            return L().device[order[i - 1]];
    return nullptr;
}

// Forwards the IRP to the next device down, keeping nothing.
inline NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Below(device), irp);
}

class IoTest : public ::testing::Test {
protected:
    IoTest() { L() = Layers(); }

    // Builds `count` layers, bottom first: kBottom; kBottom and kTop; or all
    // three. `flags` is OR-ed into every device; `exclusive` makes the top
    // device exclusive.
    void Build(int count, ULONG flags = 0, bool exclusive = false,
               PDRIVER_INITIALIZE entry = EveryMajorEntry) {
        static const char* const kNames[] = {"bottomdrv", "middledrv", "topdrv"};
        L().order = count == 1 ? std::vector<int>{kBottom}
                    : count == 2 ? std::vector<int>{kBottom, kTop}
                                 : std::vector<int>{kBottom, kMiddle, kTop};
        PDEVICE_OBJECT below = nullptr;
        for (int i : L().order) {
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            L().driver[i] = sim::CreateDriver(kNames[i], entry, &status);
            ASSERT_EQ(status, STATUS_SUCCESS);
            PDEVICE_OBJECT device = nullptr;
            ASSERT_EQ(IoCreateDevice(L().driver[i], 512, nullptr, FILE_DEVICE_UNKNOWN, 0,
                                     exclusive && i == L().order.back(), &device),
                      STATUS_SUCCESS);
            device->Flags |= flags;
            device->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
            if (below != nullptr) {
                ASSERT_EQ(IoAttachDeviceToDeviceStack(device, below), below);
            }
            L().device[i] = device;
            below = device;
        }
    }

    // Detaches, deletes and unloads what Build made, top first.
    void TearDown() override {
        auto order = L().order;
        for (size_t n = order.size(); n-- > 0;) {
            int i = order[n];
            if (L().device[i] != nullptr) {
                if (n > 0)
                    IoDetachDevice(L().device[order[n - 1]]);
                IoDeleteDevice(L().device[i]);
            }
            sim::UnloadDriver(L().driver[i]);
        }
        L().order.clear();
    }

    // Closes with every layer back to the plain behaviour, so cleanup and
    // close are not caught by what the test set for its requests.
    void Close(sim::FileHandle* handle) {
        for (auto& dispatch : L().dispatch)
            dispatch = nullptr;
        EXPECT_EQ(sim::CloseFile(handle), STATUS_SUCCESS);
    }

    PDEVICE_OBJECT Top() const { return L().device[L().order.back()]; }
    int TopLayer() const { return L().order.back(); }

    sim::FileHandle* Open() {
        sim::FileHandle* handle = nullptr;
        EXPECT_EQ(sim::OpenFile(Top(), &handle), STATUS_SUCCESS);
        return handle;
    }

    sim::Kernel kernel_;
};

// Runs `body` on a system worker thread (PASSIVE_LEVEL) once the test thread
// blocks; the item lives until the kernel goes.
inline void OnWorker(std::function<void()> body) {
    struct Item {
        WORK_QUEUE_ITEM item;
        std::function<void()> body;
    };
    static std::vector<std::unique_ptr<Item>> items;
    items.push_back(std::make_unique<Item>());
    Item* item = items.back().get();
    item->body = std::move(body);
    ExInitializeWorkItem(
        &item->item, [](PVOID context) { static_cast<Item*>(context)->body(); }, item);
    ExQueueWorkItem(&item->item, DelayedWorkQueue);
}

// Completes `irp` as the bus does: from its own context at DISPATCH_LEVEL.
inline void CompleteAtDispatch(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    CompleteWith(irp, status, information);
    KeLowerIrql(old);
}

} // namespace iotest
