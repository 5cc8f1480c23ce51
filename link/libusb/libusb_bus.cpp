// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/libusb/libusb_bus.h"

#include <libusb.h>

#include <sys/time.h>
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <thread>

#include "link/device_finder.h"

namespace usblink {

// Shared by the bus and everything it opened, so a device or pipe that outlives the bus
// object still has its libusb context, and every failure lands in one lastError text.
struct LibusbBus::Context {
    libusb_context* usb = nullptr;
    mutable std::mutex errorMutex;
    std::string lastError;
    OpenFailure openFailure = OpenFailure::None;

    void setError(std::string text) {
        std::lock_guard<std::mutex> lock(errorMutex);
        lastError = std::move(text);
    }
    void setOpenFailure(OpenFailure failure) {
        std::lock_guard<std::mutex> lock(errorMutex);
        openFailure = failure;
    }

    ~Context() {
        if (usb)
            libusb_exit(usb);
    }
};

namespace {

using Context = LibusbBus::Context;

// The programmer's only interface carries both bulk pipes.
constexpr int kInterface = 0;
// The deepest port path USB allows (a tier-7 topology has at most 7 ports in its path).
constexpr int kMaxPortDepth = 7;
// How long one wait for libusb events may last. It only bounds a single wait: the end of
// a transfer (done, timed out by libusb's own timer, cancelled) wakes the wait at once,
// so this is a safety net against a missed wake-up, not a time limit of any request.
constexpr int kEventWaitUs = 100'000;
// A failing wait for events (not a transfer failure) is retried after this pause, so a
// broken event source cannot spin a core.
constexpr auto kEventRetryPause = std::chrono::milliseconds(1);

// The single place where libusb's outcomes become the link's results: the error code of
// a call that failed before a transfer started, or the status of an ended transfer.
PipeResult toPipeResult(int error, libusb_transfer_status status) {
    if (error != LIBUSB_SUCCESS)
        return PipeResult::Failed;  // the request never reached the device
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return PipeResult::Ok;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return PipeResult::TimedOut;
        case LIBUSB_TRANSFER_CANCELLED:
            return PipeResult::Cancelled;
        case LIBUSB_TRANSFER_ERROR:
        case LIBUSB_TRANSFER_STALL:
        case LIBUSB_TRANSFER_NO_DEVICE:
        case LIBUSB_TRANSFER_OVERFLOW:
            return PipeResult::Failed;
    }
    return PipeResult::Failed;
}

OpenFailure openFailureOf(int error) {
    switch (error) {
        case LIBUSB_SUCCESS:
            return OpenFailure::None;
        case LIBUSB_ERROR_ACCESS:
            return OpenFailure::AccessDenied;
        case LIBUSB_ERROR_BUSY:
            return OpenFailure::InUse;
        case LIBUSB_ERROR_NO_DEVICE:
        case LIBUSB_ERROR_NOT_FOUND:
            return OpenFailure::Unplugged;
        default:
            return OpenFailure::Other;
    }
}

// Why a libusb call failed, in words for the log. Only the causes a user can act on get
// their own text; the rest keep libusb's name for the error.
std::string reasonOf(int error) {
    switch (error) {
        case LIBUSB_ERROR_ACCESS:
            return "access denied; install the udev rule";
        case LIBUSB_ERROR_BUSY:
            return "in use by another program";
        case LIBUSB_ERROR_NO_DEVICE:
            return "unplugged";
        case LIBUSB_ERROR_NOT_FOUND:
            return "not found";
        default:
            return libusb_error_name(error);
    }
}

const char* statusText(libusb_transfer_status status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return "completed";
        case LIBUSB_TRANSFER_TIMED_OUT:
            return "timed out";
        case LIBUSB_TRANSFER_CANCELLED:
            return "cancelled";
        case LIBUSB_TRANSFER_STALL:
            return "endpoint stalled";
        case LIBUSB_TRANSFER_NO_DEVICE:
            return "unplugged";
        case LIBUSB_TRANSFER_OVERFLOW:
            return "device sent more than asked";
        case LIBUSB_TRANSFER_ERROR:
            break;
    }
    return "transfer error";
}

std::string idText(std::uint16_t vendorId, std::uint16_t productId) {
    char text[10];
    std::snprintf(text, sizeof text, "%04x:%04x", vendorId, productId);
    return text;
}

struct Listed {
    libusb_device* device = nullptr;
    std::uint8_t bus = 0;
    std::vector<std::uint8_t> ports;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string path;
};

// The programmers libusb reports, ordered by bus number and then port path. `list` keeps
// the references until the caller frees it.
std::vector<Listed> listDevices(libusb_device** list, ssize_t count) {
    std::vector<Listed> devices;
    for (ssize_t i = 0; i < count; ++i) {
        Listed d;
        d.device = list[i];
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(d.device, &descriptor) != LIBUSB_SUCCESS)
            continue;
        // Only programmers are listed, as only the programmer's own interface class is
        // on the platform the programmer was made for: nothing else can be opened (and
        // have its kernel driver taken away) by mistake, and the cap on the number of
        // interfaces counts programmers only.
        if (descriptor.idVendor != kProgrammerVendorId ||
            descriptor.idProduct != kProgrammerProductId) {
            continue;
        }
        d.vendorId = descriptor.idVendor;
        d.productId = descriptor.idProduct;
        d.bus = libusb_get_bus_number(d.device);
        std::uint8_t ports[kMaxPortDepth];
        const int depth = libusb_get_port_numbers(d.device, ports, kMaxPortDepth);
        if (depth > 0)
            d.ports.assign(ports, ports + depth);
        d.path = libusbDevicePath(d.vendorId, d.productId, d.bus, d.ports);
        devices.push_back(std::move(d));
    }
    std::sort(devices.begin(), devices.end(), [](const Listed& a, const Listed& b) {
        return a.bus != b.bus ? a.bus < b.bus : a.ports < b.ports;
    });
    return devices;
}

// The text after the '#' of a device path: where the device sits, e.g. "1-4.2".
std::string placeOf(const std::string& path) {
    const std::size_t hash = path.rfind('#');
    return hash == std::string::npos ? path : path.substr(hash + 1);
}

// An opened and claimed device; released when the device object and all its pipes are
// gone, so a pipe can never use a closed handle.
struct Handle {
    std::shared_ptr<Context> context;
    libusb_device_handle* usb = nullptr;
    std::string place;  // "10c4:f5a2 at 1-4", for messages

    ~Handle() {
        if (!usb)
            return;
        libusb_release_interface(usb, kInterface);
        libusb_close(usb);
    }
};

extern "C" void onTransferEnd(libusb_transfer* transfer) {
    *static_cast<int*>(transfer->user_data) = 1;
}

class LibusbPipe : public UsbPipe {
  public:
    LibusbPipe(std::shared_ptr<Handle> handle, unsigned char endpoint, std::string name)
        : handle_(std::move(handle)),
          endpoint_(endpoint),
          name_(std::move(name)),
          transfer_(libusb_alloc_transfer(0)) {}

    ~LibusbPipe() override {
        // The link joins its workers before it drops a pipe, so nothing is in flight
        // here; should one be, it is stopped before its memory goes.
        bool inFlight;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            inFlight = inFlight_;
            if (inFlight)
                libusb_cancel_transfer(transfer_);
        }
        if (inFlight)
            waitForEnd();
        libusb_free_transfer(transfer_);
    }

    bool valid() const { return transfer_ != nullptr; }

    PipeResult transfer(std::uint8_t* data, std::uint32_t length, std::uint32_t timeoutMs,
                        std::uint32_t* moved) override {
        *moved = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (cancelled_)
                return PipeResult::Cancelled;
            // A read of nothing asks the device for nothing; waiting for a packet here
            // would take the next reply's packet away from its reader.
            if (length == 0 && isIn())
                return PipeResult::Ok;
            // The time-out is the link's: the time left until its per-request stall
            // limit or the caller's overall limit. libusb reads 0 as "never", so the
            // shortest wait is 1 ms.
            const unsigned int timeout = std::max<std::uint32_t>(timeoutMs, 1);
            libusb_fill_bulk_transfer(transfer_, handle_->usb, endpoint_, data,
                                      static_cast<int>(length), onTransferEnd, &completed_,
                                      timeout);
            completed_ = 0;
            const int error = libusb_submit_transfer(transfer_);
            if (error != LIBUSB_SUCCESS) {
                handle_->context->setError("cannot send a request on " + name_ + " of " +
                                           handle_->place + ": " + reasonOf(error));
                return toPipeResult(error, LIBUSB_TRANSFER_ERROR);
            }
            inFlight_ = true;
        }
        waitForEnd();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            inFlight_ = false;
        }
        *moved = static_cast<std::uint32_t>(std::max(transfer_->actual_length, 0));
        const PipeResult result = toPipeResult(LIBUSB_SUCCESS, transfer_->status);
        if (result == PipeResult::Failed) {
            handle_->context->setError("request on " + name_ + " of " + handle_->place +
                                       " failed: " + statusText(transfer_->status));
        }
        return result;
    }

    void cancel() override {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        if (inFlight_)
            libusb_cancel_transfer(transfer_);
    }

    void rearm() override {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = false;
    }

  private:
    bool isIn() const { return (endpoint_ & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN; }

    // Handles libusb events on this thread until the transfer has ended. libusb ends
    // every submitted transfer: done, at its time-out, when cancelled, or when the
    // device goes away.
    void waitForEnd() {
        while (!completed_) {
            timeval wait{0, kEventWaitUs};
            const int error =
                libusb_handle_events_timeout_completed(handle_->context->usb, &wait, &completed_);
            if (error != LIBUSB_SUCCESS && error != LIBUSB_ERROR_INTERRUPTED)
                std::this_thread::sleep_for(kEventRetryPause);
        }
    }

    std::shared_ptr<Handle> handle_;
    const unsigned char endpoint_;
    const std::string name_;
    libusb_transfer* const transfer_;
    // Set by the libusb callback, read by libusb's event handling under its own lock.
    int completed_ = 1;
    std::mutex mutex_;
    bool cancelled_ = false;  // guarded by mutex_
    bool inFlight_ = false;   // guarded by mutex_
};

class LibusbDevice : public UsbDevice {
  public:
    LibusbDevice(std::shared_ptr<Handle> handle, int outEndpoint, int inEndpoint)
        : handle_(std::move(handle)), outEndpoint_(outEndpoint), inEndpoint_(inEndpoint) {}

    std::unique_ptr<UsbPipe> openPipe(std::string_view name) override {
        const bool in = name == kReadPipeName;
        if (!in && name != kWritePipeName) {
            handle_->context->setError("no pipe named " + std::string(name) + " on " +
                                       handle_->place);
            return nullptr;
        }
        const int endpoint = in ? inEndpoint_ : outEndpoint_;
        if (endpoint < 0) {
            handle_->context->setError(handle_->place + " has no bulk " + (in ? "IN" : "OUT") +
                                       " endpoint on interface 0");
            return nullptr;
        }
        auto pipe = std::make_unique<LibusbPipe>(handle_, static_cast<unsigned char>(endpoint),
                                                 std::string(name));
        if (!pipe->valid()) {
            handle_->context->setError("out of memory opening " + std::string(name));
            return nullptr;
        }
        return pipe;
    }

    bool reset() override {
        // libusb releases the interface, resets the port and claims the interface again;
        // when the device comes back different, the handle is dead and the link must
        // open the device afresh.
        const int error = libusb_reset_device(handle_->usb);
        if (error != LIBUSB_SUCCESS) {
            handle_->context->setError("cannot reset " + handle_->place + ": " + reasonOf(error));
            return false;
        }
        return true;
    }

  private:
    std::shared_ptr<Handle> handle_;
    const int outEndpoint_;  // -1 when the interface has none
    const int inEndpoint_;
};

// The first bulk OUT and bulk IN endpoints of interface 0's first setting (-1 each when
// missing).
void findEndpoints(libusb_device* device, int* outEndpoint, int* inEndpoint) {
    *outEndpoint = -1;
    *inEndpoint = -1;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS &&
        libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) {
        return;
    }
    if (config->bNumInterfaces > kInterface && config->interface[kInterface].num_altsetting > 0) {
        const libusb_interface_descriptor& setting = config->interface[kInterface].altsetting[0];
        for (int i = 0; i < setting.bNumEndpoints; ++i) {
            const libusb_endpoint_descriptor& e = setting.endpoint[i];
            if ((e.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK)
                continue;
            int* slot = (e.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN
                            ? inEndpoint
                            : outEndpoint;
            if (*slot < 0)
                *slot = e.bEndpointAddress;
        }
    }
    libusb_free_config_descriptor(config);
}

}  // namespace

std::string libusbDevicePath(std::uint16_t vendorId, std::uint16_t productId, std::uint8_t bus,
                             std::span<const std::uint8_t> ports) {
    char head[32];
    std::snprintf(head, sizeof head, "usb#vid_%04x&pid_%04x#%u", vendorId, productId, bus);
    std::string path = head;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        path += i == 0 ? '-' : '.';
        path += std::to_string(ports[i]);
    }
    return path;
}

LibusbBus::LibusbBus() : context_(std::make_shared<Context>()) {
    const int error = libusb_init(&context_->usb);
    if (error != LIBUSB_SUCCESS) {
        context_->usb = nullptr;
        context_->setError(std::string("cannot start libusb: ") + reasonOf(error));
    }
}

LibusbBus::~LibusbBus() = default;

bool LibusbBus::initialised() const {
    return context_->usb != nullptr;
}

std::vector<std::string> LibusbBus::devicePaths() {
    std::vector<std::string> paths;
    if (!context_->usb)
        return paths;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_->usb, &list);
    if (count < 0) {
        context_->setError(std::string("cannot list USB devices: ") +
                           reasonOf(static_cast<int>(count)));
        return paths;
    }
    for (Listed& d : listDevices(list, count))
        paths.push_back(std::move(d.path));
    libusb_free_device_list(list, 1);
    return paths;
}

std::unique_ptr<UsbDevice> LibusbBus::openDevice(const std::string& path) {
    context_->setOpenFailure(OpenFailure::Other);
    if (!context_->usb) {
        context_->setError("cannot open " + path + ": libusb is not available");
        return nullptr;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_->usb, &list);
    if (count < 0) {
        context_->setError("cannot open " + path + ": " + reasonOf(static_cast<int>(count)));
        return nullptr;
    }
    std::unique_ptr<UsbDevice> opened;
    const std::vector<Listed> devices = listDevices(list, count);
    const auto it = std::find_if(devices.begin(), devices.end(),
                                 [&](const Listed& d) { return d.path == path; });
    if (it == devices.end()) {
        context_->setError("cannot open " + path + ": unplugged");
        context_->setOpenFailure(OpenFailure::Unplugged);
    } else {
        const std::string place = idText(it->vendorId, it->productId) + " at " + placeOf(path);
        libusb_device_handle* usb = nullptr;
        int error = libusb_open(it->device, &usb);
        if (error != LIBUSB_SUCCESS) {
            context_->setError("cannot open " + place + ": " + reasonOf(error));
            context_->setOpenFailure(openFailureOf(error));
        } else {
            auto handle = std::make_shared<Handle>();
            handle->context = context_;
            handle->place = place;
            // A driver the kernel bound to the interface would keep it from us: libusb
            // detaches it when the interface is claimed and binds it again when the
            // interface is released. Where the platform has no kernel drivers to detach
            // this is refused, and there is nothing to do.
            libusb_set_auto_detach_kernel_driver(usb, 1);
            error = libusb_claim_interface(usb, kInterface);
            if (error != LIBUSB_SUCCESS) {
                context_->setError("cannot claim interface 0 of " + place + ": " + reasonOf(error));
                context_->setOpenFailure(openFailureOf(error));
                libusb_close(usb);
            } else {
                handle->usb = usb;
                int outEndpoint = -1;
                int inEndpoint = -1;
                findEndpoints(it->device, &outEndpoint, &inEndpoint);
                opened = std::make_unique<LibusbDevice>(std::move(handle), outEndpoint, inEndpoint);
                context_->setOpenFailure(OpenFailure::None);
            }
        }
    }
    libusb_free_device_list(list, 1);
    return opened;
}

std::string LibusbBus::lastError() const {
    std::lock_guard<std::mutex> lock(context_->errorMutex);
    return context_->lastError;
}

OpenFailure LibusbBus::lastOpenFailure() const {
    std::lock_guard<std::mutex> lock(context_->errorMutex);
    return context_->openFailure;
}

}  // namespace usblink
