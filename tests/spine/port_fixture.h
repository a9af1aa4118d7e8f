// One port of the driver linked into this test, on a phone with that one
// interface, added and started by the Plug and Play manager. The test sees
// the port device record and calls the core's routines under the driver's
// attribution, as the driver's own code would run.
#pragma once

#include "port.h"

#include "platform/sim/internal.h"
#include "platform/sim/sim.h"
#include "platform/usb/bus.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace spine {

#if VARIANT_MODEM
constexpr const char* kService = "vxqt70modem";
constexpr usb::InterfaceKind kKind = usb::InterfaceKind::Modem;
#else
constexpr const char* kService = "vxqt70diag";
constexpr usb::InterfaceKind kKind = usb::InterfaceKind::Diagnostics;
#endif

class Port : public ::testing::Test {
protected:
    Port() {
        sim::RegisterDriverEntry(kService, DriverEntry);
        bus_ = std::make_unique<usb::Bus>();
        usb::PhoneConfig config;
        config.interfaces = {kKind};
        phone_ = &bus_->PlugIn(config);
        node_ = sim::PnpFindNode(Interface().Pdo());
        EXPECT_EQ(node_->state, sim::DevNodeState::Started);
    }
    ~Port() override { bus_.reset(); }

    usb::Interface& Interface() { return phone_->At(0); }
    PDEVICE_OBJECT Fdo() { return node_->fdo; }
    PDEVICE_EXTENSION Ext() { return PortOf(node_->fdo); }
    // The IRPs of this node that reached the bus, as minor codes.
    std::vector<ULONG> PnpAtBus() {
        std::vector<ULONG> minors;
        for (const auto& event : phone_->Timeline())
            if (event.kind == usb::EventKind::Pnp)
                minors.push_back(event.code);
        return minors;
    }

    sim::Kernel kernel_;
    std::unique_ptr<usb::Bus> bus_;
    usb::Phone* phone_ = nullptr;
    sim::DevNode* node_ = nullptr;
};

// Runs `body` as the driver's own code.
template <typename F> void AsDriver(PDRIVER_OBJECT driver, F body) {
    sim::DriverScope scope(driver);
    body();
}

} // namespace spine
