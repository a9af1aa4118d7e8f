// Small driver stacks made inside a test: up to three fake drivers
// ("bottom", "middle", "top"), one device each, attached in that order. Each
// driver's dispatch routine is whatever the test sets for it; unset, it
// completes the request with STATUS_SUCCESS.
#pragma once

#include "common/fake_driver.h"
#include "platform/kernel.h"
#include "platform/sim/api_io.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace iotest {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
using fake::CompleteWith;
using fake::OnWorker;

enum Layer { kBottom = 0, kMiddle = 1, kTop = 2 };

struct Layers {
    Dispatch dispatch[3];
    PDRIVER_OBJECT driver[3] = {};
    PDEVICE_OBJECT device[3] = {};
    std::vector<int> order; // the layers built, bottom first
    std::vector<std::unique_ptr<fake::Driver>> fakes;
};

inline Layers& L() {
    static Layers layers;
    return layers;
}

class IoTest : public ::testing::Test {
protected:
    IoTest() { L() = Layers(); }

    // Builds `count` layers, bottom first: kBottom; kBottom and kTop; or all
    // three. `flags` is OR-ed into every device; `exclusive` makes the top
    // device exclusive; `majors` are those the drivers have routines for.
    void Build(int count, ULONG flags = 0, bool exclusive = false, std::vector<UCHAR> majors = {}) {
        static const char* const kNames[] = {"bottomdrv", "middledrv", "topdrv"};
        L().order = count == 1   ? std::vector<int>{kBottom}
                    : count == 2 ? std::vector<int>{kBottom, kTop}
                                 : std::vector<int>{kBottom, kMiddle, kTop};
        PDEVICE_OBJECT below = nullptr;
        for (int i : L().order) {
            auto dispatch = [i](PDEVICE_OBJECT device, PIRP irp) {
                return L().dispatch[i] ? L().dispatch[i](device, irp)
                                       : CompleteWith(irp, STATUS_SUCCESS);
            };
            L().fakes.push_back(std::make_unique<fake::Driver>(fake::Config{
                .name = kNames[i], .majors = majors, .rules = {fake::Runs(fake::kAnyMajor, dispatch)},
                .below = below, .exclusive = exclusive && i == L().order.back(), .flags = flags}));
            L().driver[i] = L().fakes.back()->object;
            L().device[i] = below = L().fakes.back()->Top();
        }
    }

    // Unloads what Build made, top first; each driver detaches and deletes
    // its own device.
    void TearDown() override {
        while (!L().fakes.empty())
            L().fakes.pop_back();
    }

    // Closes with every layer back to the plain behaviour, so cleanup and
    // close are not caught by what the test set for its requests.
    void Close(sim::FileHandle* handle) {
        for (auto& dispatch : L().dispatch)
            dispatch = nullptr;
        EXPECT_EQ(sim::CloseFile(handle), STATUS_SUCCESS);
    }

    PDEVICE_OBJECT Top() const { return L().device[L().order.back()]; }

    sim::FileHandle* Open() { return L().fakes.back()->Open(); }

    sim::Kernel kernel_;
};

} // namespace iotest
