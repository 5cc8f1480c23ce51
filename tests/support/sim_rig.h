// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A simulated programmer on its own bus, found and opened by a link, for tests of the
// link, the simulator and the command set. Limits are short so failure paths run fast.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/chip_record.h"
#include "link/device_finder.h"
#include "link/usb_link.h"
#include "sim/sim_bus.h"
#include "sim/sim_programmer.h"
#include "util/tick.h"

namespace testsupport {

inline usblink::LinkLimits shortLinkLimits() {
    usblink::LinkLimits limits;
    limits.chunkStallMs = 200;
    limits.readOffSilenceMs = 300;
    return limits;
}

struct SimRig {
    explicit SimRig(usblink::LinkLimits limits = shortLinkLimits())
        : device(std::make_shared<sim::SimProgrammer>()), finder(bus), link(finder, limits) {
        bus.addProgrammer(device);
        link.setPipeFailureHandler([this](const std::string& text) { messages.push_back(text); });
    }

    // What the shared transport and command-set tests need to know of this backend (see
    // tests/support/transport_contract.h).
    static constexpr bool kZeroLengthReadReachesDevice = true;
    static constexpr std::uint32_t kLongReadBytes = 0x1000000;  // 16 MB, the largest chip

    void unplug() { device->setPresent(false); }
    void expectOpenedOnce() const {
        EXPECT_EQ(device->openDevices(), 1);
        EXPECT_EQ(device->openPipes(), 2);
    }
    // No request is inside the device.
    void expectNothingInFlight() const { EXPECT_EQ(device->transfersInProgress(), 0); }

    std::shared_ptr<sim::SimProgrammer> device;
    sim::SimBus bus;
    usblink::DeviceFinder finder;
    usblink::UsbLink link;
    std::vector<std::string> messages;
};

inline catalogue::ChipRecord chipOf(std::int32_t type, std::uint32_t capacity) {
    catalogue::ChipRecord chip;
    chip.type = type;
    chip.capacity = capacity;
    chip.manufacturerId = 0xEF;
    chip.deviceId = 0x18;
    chip.organisation = 8;
    // Page writes of 256 bytes, as the command-set tests write them.
    chip.pageWrite = 1;
    chip.pageSize = 256;
    return chip;
}

// Milliseconds taken by `f`.
template <typename F>
std::uint64_t elapsedMs(F&& f) {
    const std::uint64_t start = util::tickMs();
    f();
    return util::tickMs() - start;
}

}  // namespace testsupport
