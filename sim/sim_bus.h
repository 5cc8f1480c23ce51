// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The simulated programmer as a UsbBus backend: the link finds, opens and talks to the
// SimProgrammers on this bus exactly as it does to a real device. Other, non-programmer
// devices can be listed too, to exercise the device finder.

#include <memory>
#include <string>
#include <vector>

#include "link/usb_bus.h"
#include "sim/sim_programmer.h"

namespace sim {

class SimBus : public usblink::UsbBus {
  public:
    // Listed in the order added.
    void addProgrammer(std::shared_ptr<SimProgrammer> programmer);
    // A device that is listed under `path` but is not a programmer and cannot be opened.
    void addOtherDevice(std::string path);

    std::vector<std::string> devicePaths() override;
    std::unique_ptr<usblink::UsbDevice> openDevice(const std::string& path) override;
    std::string lastError() const override;

  private:
    struct Entry {
        std::string path;
        std::shared_ptr<SimProgrammer> programmer;  // null for other devices
    };
    std::vector<Entry> entries_;
    std::string lastError_;
};

}  // namespace sim
