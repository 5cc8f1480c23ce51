// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The seam between the link and whatever stands behind it. The link finds, opens and
// moves bytes through these three interfaces only, so the same chunking, deadlines and
// worker threads drive the real programmer (the libusb backend) and the simulated one
// (sim/). A backend lists device paths, opens a device by path, and opens the device's
// two bulk pipes by name: "PIPE01" carries host-to-programmer data, "PIPE00"
// programmer-to-host data.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace usblink {

// The largest request a pipe is ever asked to move at once.
constexpr std::uint32_t kMaxRequestBytes = 4096;

constexpr std::string_view kWritePipeName = "PIPE01";
constexpr std::string_view kReadPipeName = "PIPE00";

enum class PipeResult {
    Ok,         // the request ended well; for a read possibly early, at a short packet
    TimedOut,   // the time-out passed first; bytes moved so far are reported
    Cancelled,  // cancel() stopped it
    Failed,     // the device refused or is gone
};

// One bulk pipe. One thread at a time calls transfer(); any thread may call cancel().
class UsbPipe {
  public:
    virtual ~UsbPipe() = default;

    // Moves one request of at most kMaxRequestBytes. A read ends when `length` bytes
    // arrived or at the first short packet; a write of length 0 sends a zero-length
    // packet, a read of length 0 ends at once with Ok and moves nothing. `moved` gets
    // the bytes moved, also when the request fails or times out. When it returns, the
    // backend no longer touches `data`.
    virtual PipeResult transfer(std::uint8_t* data, std::uint32_t length, std::uint32_t timeoutMs,
                                std::uint32_t* moved) = 0;

    // Makes the running transfer return Cancelled soon, and every later one return
    // Cancelled at once, until rearm(). Sticky so that a cancel that arrives between two
    // requests of a worker is not lost.
    virtual void cancel() = 0;
    virtual void rearm() = 0;
};

// An opened device. Its pipes may outlive nothing: the link drops its pipes before the
// device.
class UsbDevice {
  public:
    virtual ~UsbDevice() = default;
    // nullptr when the pipe cannot be opened.
    virtual std::unique_ptr<UsbPipe> openPipe(std::string_view name) = 0;
    // Resets the device as a USB port reset does: whatever bulk phase its firmware was in
    // (the rest of a write it still waits for, the rest of a read it still sends) is
    // dropped, and its pipes stay usable. Called only while no request runs on them.
    // False when the device did not come back; the bus's lastError() then says why.
    virtual bool reset() = 0;
};

// Why the last openDevice of a backend failed, where the backend can tell: what the
// user must do differs (install the udev rule, or wait for the other program).
enum class OpenFailure {
    None,          // the last open succeeded
    Unplugged,     // the device is gone
    AccessDenied,  // this user may not open the device node
    InUse,         // another program (or another handle) holds the interface
    Other,
};

class UsbBus {
  public:
    virtual ~UsbBus() = default;
    // The present devices, in a stable order; the paths carry the vendor and product IDs
    // the way the device finder reads them (e.g. "usb#vid_10c4&pid_f5a2#1-4").
    virtual std::vector<std::string> devicePaths() = 0;
    // nullptr when the device cannot be opened; lastError() then says why.
    virtual std::unique_ptr<UsbDevice> openDevice(const std::string& path) = 0;
    // The last failure of this backend as text for the log, empty when none.
    virtual std::string lastError() const = 0;
    // The kind of the last openDevice failure; a backend that cannot tell says Other.
    virtual OpenFailure lastOpenFailure() const { return OpenFailure::Other; }
};

}  // namespace usblink
