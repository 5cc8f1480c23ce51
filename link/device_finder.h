// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Finds the programmer among the devices a UsbBus lists and opens it: the device by its
// interface index, then its pipes by name. Each query lists the devices afresh, so a
// programmer plugged in after start-up is found by the next search.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "link/usb_bus.h"

namespace usblink {

constexpr std::uint16_t kProgrammerVendorId = 0x10C4;
constexpr std::uint16_t kProgrammerProductId = 0xF5A2;
// At most this many device interfaces are looked at.
constexpr int kMaxInterfaces = 127;

// The 16-bit ID that follows "vid"/"VID" (respectively "pid"/"PID") and one separator
// character of any kind in a device path: four hex digits, else 0. The vendor letters
// are looked for at positions below length - 8, the product letters below length - 4,
// so a path of 8 (respectively 4) characters or fewer has no ID.
std::uint16_t vendorIdFromPath(std::string_view path);
std::uint16_t productIdFromPath(std::string_view path);

// Where a device sits: the text after the last '#' of its path ("1-4", "1-4.2" behind a
// hub, "sim-1" for the simulator); the whole path when it has no '#'.
std::string devicePlace(std::string_view path);

class DeviceFinder {
  public:
    explicit DeviceFinder(UsbBus& bus) : bus_(bus) {}

    UsbBus& bus() { return bus_; }

    // Only the device at `place` (see devicePlace) is seen from now on, so the link opens
    // that programmer and no other; empty sees every device again. With several
    // programmers on one host each program picks its own this way.
    void restrictTo(std::string place) { place_ = std::move(place); }
    const std::string& restrictedTo() const { return place_; }

    // Present interfaces, 0 to kMaxInterfaces.
    int countDevices();
    // Their paths, in the bus's order, from one listing.
    std::vector<std::string> devicePaths();
    std::uint16_t vendorIdOf(int index);
    std::uint16_t productIdOf(int index);
    // The device path of interface `index`, empty when there is none.
    std::string pathOf(int index);
    // Opens the device at `path`, remembering the path for openPipe; nullptr on failure,
    // and for any path that does not carry the programmer's IDs: the device opened is
    // the one whose IDs were checked, not whatever a fresh listing puts at an index.
    std::unique_ptr<UsbDevice> openDevice(const std::string& path);
    // Opens a pipe of the device last opened by openDevice; nullptr on failure.
    std::unique_ptr<UsbPipe> openPipe(UsbDevice& device, std::string_view name);

    // The device path of the last openDevice.
    const std::string& path() const { return path_; }

  private:
    // The bus's listing, narrowed to the place asked for.
    std::vector<std::string> listed();

    UsbBus& bus_;
    std::string path_;
    std::string place_;
};

}  // namespace usblink
