// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The simulated programmer behind an emulated usbfs device, found and opened through the
// system libusb by a link: the libusb counterpart of SimRig, with the same members.
// Needs libumockdev-preload.so.0 in the process.

#include <gtest/gtest.h>
#include <umockdev.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/device_finder.h"
#include "link/libusb/libusb_bus.h"
#include "link/usb_link.h"
#include "sim/sim_programmer.h"
#include "tests/support/sim_rig.h"
#include "tests/support/usbfs_programmer.h"

namespace testsupport {

// Where the emulated programmer sits: bus 1, port 4.
constexpr const char* kLibusbProgrammerPath = "usb#vid_10c4&pid_f5a2#1-4";

// A umockdev test bed of the lifetime of its owner.
struct Testbed {
    Testbed() : testbed(umockdev_testbed_new()) {}
    ~Testbed() { g_object_unref(testbed); }
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;
    UMockdevTestbed* testbed;
};

// The programmer, emulated behind usbfs, found and opened through libusb by a link.
// Limits are short so failure paths run fast.
struct LibusbRig {
    explicit LibusbRig(usblink::LinkLimits limits = shortLinkLimits())
        : device(std::make_shared<sim::SimProgrammer>(kLibusbProgrammerPath)),
          usbfs(bed.testbed, device),
          finder(bus),
          link(finder, limits) {
        link.setPipeFailureHandler([this](const std::string& text) { messages.push_back(text); });
    }

    // What the shared transport and command-set tests need to know of this backend (see
    // tests/support/transport_contract.h).
    // libusb completes a zero-length read at once without asking the device.
    static constexpr bool kZeroLengthReadReachesDevice = false;
    // umockdev moves about 5 MB/s: 1 MB keeps each case well under a second.
    static constexpr std::uint32_t kLongReadBytes = 1 << 20;

    void unplug() { usbfs.unplug(); }
    void expectOpenedOnce() {
        EXPECT_EQ(usbfs.openHandles(), 1);
        EXPECT_EQ(usbfs.claimingHandles(), 1);
        EXPECT_EQ(device->openDevices(), 0);  // the model's own backend is not involved
    }
    // Timed-out and cancelled URBs were discarded and reaped.
    void expectNothingInFlight() { EXPECT_EQ(usbfs.urbsInFlight(), 0); }

    Testbed bed;
    // The same members as SimRig's, so one test body serves both backends.
    std::shared_ptr<sim::SimProgrammer> device;
    UsbfsProgrammer usbfs;
    usblink::LibusbBus bus;
    usblink::DeviceFinder finder;
    usblink::UsbLink link;
    std::vector<std::string> messages;
};

}  // namespace testsupport
