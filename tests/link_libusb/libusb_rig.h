#pragma once
// The simulated programmer behind an emulated usbfs device, found and opened through the
// system libusb by a link: the libusb counterpart of SimRig, with the same members.
// Needs libumockdev-preload.so.0 in the process.

#include <umockdev.h>

#include <memory>
#include <string>
#include <vector>

#include "link/device_finder.h"
#include "link/libusb/libusb_bus.h"
#include "link/usb_link.h"
#include "sim/sim_programmer.h"
#include "tests/link_libusb/usbfs_programmer.h"
#include "tests/support/sim_rig.h"

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
