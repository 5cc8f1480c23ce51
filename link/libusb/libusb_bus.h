// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The real programmer behind the link: a UsbBus over libusb-1.0 (usbfs on Linux).
//
// - Only programmers (10c4:f5a2) are listed, ordered by bus number and then port path,
//   under a path that carries their IDs the way the device finder reads them:
//   "usb#vid_10c4&pid_f5a2#1-4" (bus 1, port 4), "usb#vid_10c4&pid_f5a2#1-4.2" behind a
//   hub. No other device is ever opened.
// - Opening a device claims interface 0, detaching a kernel driver bound to it for as
//   long as the interface is claimed (it is bound again when the device is closed), so a
//   second program (or a second handle) cannot talk to the programmer at the same time.
//   "PIPE01" is the interface's bulk OUT endpoint, "PIPE00" its bulk IN endpoint.
// - reset() is a USB port reset: the firmware drops whatever bulk phase it was in.
// - Transfers are asynchronous libusb transfers whose events are handled on the calling
//   (worker) thread, so cancel() from any other thread stops a waiting request at once;
//   a blocking libusb_bulk_transfer could not be stopped.
// - A write of length 0 sends a zero-length packet; a read of length 0 ends at once with
//   nothing moved and no packet awaited.
// - Closing releases everything the open took (interface, handle, transfers); the link
//   reopens the device at the start of every operation.
// - A failure to open is kept as text for the log. The commonest on Linux is a missing
//   udev rule, and the text says so: "cannot open 10c4:f5a2 at 1-4: access denied;
//   install the udev rule".

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "link/usb_bus.h"

namespace usblink {

// "usb#vid_VVVV&pid_PPPP#<bus>-<port>.<port>..." with lower-case hex IDs.
std::string libusbDevicePath(std::uint16_t vendorId, std::uint16_t productId, std::uint8_t bus,
                             std::span<const std::uint8_t> ports);

class LibusbBus : public UsbBus {
  public:
    LibusbBus();
    ~LibusbBus() override;
    LibusbBus(const LibusbBus&) = delete;
    LibusbBus& operator=(const LibusbBus&) = delete;

    // False when libusb could not be initialised; the bus then lists nothing and
    // lastError() says why.
    bool initialised() const;

    std::vector<std::string> devicePaths() override;
    std::unique_ptr<UsbDevice> openDevice(const std::string& path) override;
    std::string lastError() const override;
    OpenFailure lastOpenFailure() const override;

    struct Context;

  private:
    std::shared_ptr<Context> context_;
};

}  // namespace usblink
