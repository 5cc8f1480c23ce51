// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/usbfs_programmer.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace testsupport {
namespace {

constexpr unsigned char kOutEndpoint = 0x01;
constexpr unsigned char kInEndpoint = 0x81;
constexpr unsigned int kInterface = 0;

// What the emulated kernel offers: zero-length packets, and no split of bulk URBs.
constexpr std::uint32_t kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;

// A URB has no time limit of its own (the host discards it when its time-out passes),
// so the model is given one far beyond any test.
constexpr std::uint32_t kUrbModelTimeoutMs = 3'600'000;

// Device descriptor, then configuration 1 with interface 0 (vendor class) and its two
// bulk endpoints of 64-byte packets, as sysfs "descriptors" holds them.
// clang-format off
constexpr std::uint8_t kDescriptors[] = {
    18, 1, 0x00, 0x02, 0, 0, 0, 64, 0xC4, 0x10, 0xA2, 0xF5, 0x00, 0x01, 0, 0, 0, 1,  // device
    9, 2, 32, 0, 1, 1, 0, 0x80, 50,                                                  // config 1
    9, 4, 0, 0, 2, 0xFF, 0, 0, 0,                                                    // interface 0
    7, 5, kOutEndpoint, 0x02, 64, 0, 0,                                              // bulk OUT
    7, 5, kInEndpoint, 0x02, 64, 0, 0,                                               // bulk IN
};
// clang-format on
constexpr std::size_t kConfigTotalLengthAt = 18 + 2;
constexpr std::size_t kInterfaceEndpointsAt = 18 + 9 + 4;
constexpr std::uint8_t kEndpointDescriptorBytes = 7;

// The FIFO that stands in for the device node is filled and drained a page at a time;
// a pipe's capacity is counted in pages, so one page read frees one slot.
constexpr std::size_t kFifoPage = 4096;
// More pages than any pipe holds (Linux: 16 by default, 256 at the 1 MiB maximum).
constexpr std::size_t kFifoMaxPages = 512;

UMockdevIoctlData* resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length) {
    GError* error = nullptr;
    UMockdevIoctlData* child = umockdev_ioctl_data_resolve(data, offset, length, &error);
    if (error) {
        std::fprintf(stderr, "usbfs emulation: cannot read client memory: %s\n", error->message);
        g_error_free(error);
        return nullptr;
    }
    return child;
}

}  // namespace

struct UsbfsProgrammer::Urb {
    UMockdevIoctlClient* client = nullptr;
    UMockdevIoctlData* urb = nullptr;     // the client's struct usbdevfs_urb
    UMockdevIoctlData* buffer = nullptr;  // its data buffer; null when empty
    unsigned long clientAddress = 0;
    bool in = false;
    std::uint32_t length = 0;
    std::vector<std::uint8_t> data;  // OUT: the bytes to send; IN: the bytes received
    bool cancelled = false;          // guarded by the model's mutex
    bool done = false;               // guarded by mutex_
    int status = 0;
    std::uint32_t actual = 0;

    ~Urb() {
        if (buffer)
            g_object_unref(buffer);
        if (urb)
            g_object_unref(urb);
    }
};

struct UsbfsProgrammer::Handle {
    std::vector<std::shared_ptr<Urb>> pending;  // submitted, in submission order
    std::deque<std::shared_ptr<Urb>> reapable;  // finished, in completion order
};

struct UsbfsProgrammer::Endpoint {
    std::deque<std::shared_ptr<Urb>> queue;  // guarded by mutex_
    std::condition_variable wake;
    bool stop = false;
    std::thread thread;
};

UsbfsProgrammer::UsbfsProgrammer(UMockdevTestbed* testbed,
                                 std::shared_ptr<sim::SimProgrammer> model, UsbfsSetup setup)
    : testbed_(testbed), model_(std::move(model)) {
    char text[64];
    std::snprintf(text, sizeof text, "/dev/bus/usb/%03d/%03d", setup.bus, setup.device);
    devnode_ = text;
    const std::string name = std::to_string(setup.bus) + "-" + setup.ports;
    const std::string bus = std::to_string(setup.bus);
    const std::string device = std::to_string(setup.device);
    char busText[8];
    char deviceText[8];
    std::snprintf(busText, sizeof busText, "%03d", setup.bus);
    std::snprintf(deviceText, sizeof deviceText, "%03d", setup.device);
    // usbfs nodes are character devices of major 189.
    const std::string dev = "189:" + std::to_string((setup.bus - 1) * 128 + setup.device - 1);
    gchar* syspath =
        umockdev_testbed_add_device(testbed_, "usb", name.c_str(), nullptr,
                                    // attributes
                                    "idVendor", "10c4", "idProduct", "f5a2", "busnum", bus.c_str(),
                                    "devnum", device.c_str(), "speed", "12", "bConfigurationValue",
                                    "1", "bNumInterfaces", " 1", "dev", dev.c_str(), nullptr,
                                    // properties
                                    "DEVNAME", devnode_.c_str(), "DEVTYPE", "usb_device", "BUSNUM",
                                    busText, "DEVNUM", deviceText, nullptr);
    syspath_ = syspath;
    g_free(syspath);
    std::vector<std::uint8_t> descriptors(std::begin(kDescriptors), std::end(kDescriptors));
    if (!setup.inEndpoint) {
        descriptors.resize(descriptors.size() - kEndpointDescriptorBytes);
        descriptors[kConfigTotalLengthAt] -= kEndpointDescriptorBytes;
        descriptors[kInterfaceEndpointsAt] -= 1;
    }
    umockdev_testbed_set_attribute_binary(testbed_, syspath_.c_str(), "descriptors",
                                          descriptors.data(), static_cast<int>(descriptors.size()));

    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(onIoctl), this);
    g_signal_connect(handler_, "client-connected", G_CALLBACK(onClientConnected), this);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode_.c_str(), handler_, &error)) {
        std::fprintf(stderr, "usbfs emulation: cannot attach: %s\n", error->message);
        g_error_free(error);
    }

    // The node becomes a full FIFO: poll(POLLOUT) on it blocks until a URB is reapable.
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    const std::string node = std::string(root) + devnode_;
    g_free(root);
    ::unlink(node.c_str());
    gchar* folder = g_path_get_dirname(node.c_str());
    g_mkdir_with_parents(folder, 0755);
    g_free(folder);
    if (::mkfifo(node.c_str(), 0666) != 0)
        std::perror("usbfs emulation: mkfifo");
    fifo_ = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (fifo_ >= 0 && (::fstat(fifo_, &status) != 0 || !S_ISFIFO(status.st_mode))) {
        ::close(fifo_);
        fifo_ = -1;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        slotFree_ = true;
        updateReadiness();
    }

    out_ = std::make_unique<Endpoint>();
    in_ = std::make_unique<Endpoint>();
    out_->thread = std::thread([this] { runEndpoint(*out_); });
    in_->thread = std::thread([this] { runEndpoint(*in_); });
}

UsbfsProgrammer::~UsbfsProgrammer() {
    GError* error = nullptr;
    umockdev_testbed_detach_ioctl(testbed_, devnode_.c_str(), &error);
    if (error)
        g_error_free(error);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Endpoint* e : {out_.get(), in_.get()}) {
            e->stop = true;
            for (const auto& urb : e->queue)
                cancelInModel(*urb);
            e->wake.notify_all();
        }
        for (auto& [client, handle] : handles_) {
            for (const auto& urb : handle->pending)
                cancelInModel(*urb);
        }
    }
    out_->thread.join();
    in_->thread.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [client, handle] : handles_)
            g_object_unref(client);
        handles_.clear();
        for (UMockdevIoctlClient* client : closed_)
            g_object_unref(client);
        closed_.clear();
    }
    g_object_unref(handler_);
    if (fifo_ >= 0)
        ::close(fifo_);
}

void UsbfsProgrammer::bindKernelDriver(std::string name) {
    std::lock_guard<std::mutex> lock(mutex_);
    kernelDriver_ = std::move(name);
}

std::string UsbfsProgrammer::nodeFile() const {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    const std::string file = std::string(root) + devnode_;
    g_free(root);
    return file;
}

bool UsbfsProgrammer::closeNodeToOtherUsers() {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    const std::string testbed = root;
    g_free(root);
    return ::chmod(nodeFile().c_str(), 0600) == 0 && ::chmod(testbed.c_str(), 0777) == 0 &&
           ::chmod((testbed + "/ioctl" + devnode_).c_str(), 0777) == 0;
}

void UsbfsProgrammer::unplug() {
    model_->setPresent(false);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unplugged_ = true;
    }
    umockdev_testbed_uevent(testbed_, syspath_.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, syspath_.c_str());
}

int UsbfsProgrammer::openHandles() {
    std::lock_guard<std::mutex> lock(mutex_);
    sweepClosedHandles();
    return static_cast<int>(handles_.size());
}

int UsbfsProgrammer::claimingHandles() {
    std::lock_guard<std::mutex> lock(mutex_);
    sweepClosedHandles();
    return claimedBy_ ? 1 : 0;
}

int UsbfsProgrammer::detaches() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return detaches_;
}

std::string UsbfsProgrammer::kernelDriver() {
    std::lock_guard<std::mutex> lock(mutex_);
    return kernelDriver_;
}

int UsbfsProgrammer::urbsInFlight() {
    std::lock_guard<std::mutex> lock(mutex_);
    sweepClosedHandles();
    std::size_t n = 0;
    for (const auto& [client, handle] : handles_)
        n += handle->pending.size();
    return static_cast<int>(n);
}

bool UsbfsProgrammer::present() const {
    return !unplugged_ && model_->present();
}

int UsbfsProgrammer::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    static_cast<UsbfsProgrammer*>(self)->handleIoctl(client);
    return TRUE;
}

void UsbfsProgrammer::onClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client,
                                        void* self) {
    auto* me = static_cast<UsbfsProgrammer*>(self);
    std::lock_guard<std::mutex> lock(me->mutex_);
    me->sweepClosedHandles();
    me->handles_[client] = std::make_unique<Handle>();
    g_object_ref(client);
}

// Closing the node ends the handle like the kernel does: its claim goes, its URBs are
// killed. umockdev notices a closed connection on its own thread, without telling, so
// closed handles are swept before every request and every observation.
void UsbfsProgrammer::sweepClosedHandles() {
    for (auto it = handles_.begin(); it != handles_.end();) {
        UMockdevIoctlClient* client = it->first;
        if (umockdev_ioctl_client_get_connected(client)) {
            ++it;
            continue;
        }
        if (claimedBy_ == client)
            claimedBy_ = nullptr;
        for (const auto& urb : it->second->pending) {
            cancelInModel(*urb);
            urb->client = nullptr;
        }
        it = handles_.erase(it);
        closed_.push_back(client);
    }
    updateReadiness();
}

void UsbfsProgrammer::cancelInModel(Urb& urb) {
    {
        std::lock_guard<std::mutex> lock(model_->mutex());
        urb.cancelled = true;
    }
    model_->wake();
}

void UsbfsProgrammer::handleIoctl(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::unique_lock<std::mutex> lock(mutex_);
    sweepClosedHandles();
    const auto it = handles_.find(client);
    if (it == handles_.end()) {
        lock.unlock();
        umockdev_ioctl_client_complete(client, -1, EBADF);
        return;
    }
    Handle& handle = *it->second;
    long result = 0;
    int error = 0;
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* d = resolve(arg, 0, sizeof(std::uint32_t));
            if (d) {
                std::memcpy(d->data, &kCapabilities, sizeof kCapabilities);
                g_object_unref(d);
            }
            break;
        }
        case USBDEVFS_GETDRIVER: {
            UMockdevIoctlData* d = resolve(arg, 0, sizeof(usbdevfs_getdriver));
            auto* query = d ? reinterpret_cast<usbdevfs_getdriver*>(d->data) : nullptr;
            if (!query || query->interface != kInterface) {
                result = -1;
                error = EINVAL;
            } else if (claimedBy_) {
                std::snprintf(query->driver, sizeof query->driver, "usbfs");
            } else if (!kernelDriver_.empty()) {
                std::snprintf(query->driver, sizeof query->driver, "%s", kernelDriver_.c_str());
            } else {
                result = -1;
                error = ENODATA;
            }
            if (d)
                g_object_unref(d);
            break;
        }
        case USBDEVFS_IOCTL: {
            UMockdevIoctlData* d = resolve(arg, 0, sizeof(usbdevfs_ioctl));
            const auto* command = d ? reinterpret_cast<usbdevfs_ioctl*>(d->data) : nullptr;
            if (!present()) {
                result = -1;
                error = ENODEV;
            } else if (command && command->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
                if (kernelDriver_.empty()) {
                    result = -1;
                    error = ENODATA;
                } else {
                    detachedDriver_ = kernelDriver_;
                    kernelDriver_.clear();
                    ++detaches_;
                }
            } else if (command && command->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
                // The kernel binds the driver it knows for the interface again, unless
                // someone holds the interface.
                if (!claimedBy_ && kernelDriver_.empty())
                    kernelDriver_ = detachedDriver_;
            } else {
                result = -1;
                error = ENOTTY;
            }
            if (d)
                g_object_unref(d);
            break;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            UMockdevIoctlData* d = resolve(arg, 0, sizeof(unsigned int));
            unsigned int number = 0;
            if (d) {
                std::memcpy(&number, d->data, sizeof number);
                g_object_unref(d);
            }
            result = -1;
            if (number != kInterface) {
                error = ENOENT;
            } else if (request == USBDEVFS_RELEASEINTERFACE) {
                // Also after an unplug: the claim goes with the device.
                if (claimedBy_ == client) {
                    claimedBy_ = nullptr;
                    result = 0;
                } else {
                    error = EINVAL;
                }
            } else if (!present()) {
                error = ENODEV;
            } else if ((claimedBy_ && claimedBy_ != client) || !kernelDriver_.empty()) {
                error = EBUSY;
            } else {
                claimedBy_ = client;
                result = 0;
            }
            break;
        }
        case USBDEVFS_SUBMITURB:
            lock.unlock();
            submitUrb(handle, client);
            return;
        case USBDEVFS_REAPURBNDELAY:
        case USBDEVFS_REAPURB:
            lock.unlock();
            reapUrb(handle, client);
            return;
        case USBDEVFS_DISCARDURB:
            lock.unlock();
            discardUrb(handle, client);
            return;
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
            break;
        case USBDEVFS_RESET:
            // A port reset: the firmware drops its bulk phase. The kernel would refuse
            // while another handle holds the interface.
            if (!present() || !model_->reset()) {
                result = -1;
                error = ENODEV;
            } else if (claimedBy_ && claimedBy_ != client) {
                result = -1;
                error = EBUSY;
            }
            break;
        default:
            result = -1;
            error = ENOTTY;
            break;
    }
    lock.unlock();
    umockdev_ioctl_client_complete(client, result, error);
}

void UsbfsProgrammer::submitUrb(Handle& handle, UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    auto urb = std::make_shared<Urb>();
    urb->client = client;
    urb->urb = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!urb->urb) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    const auto* raw = reinterpret_cast<const usbdevfs_urb*>(urb->urb->data);
    urb->clientAddress = urb->urb->client_addr;
    urb->in = (raw->endpoint & 0x80) != 0;
    const int length = raw->buffer_length;
    int error = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!present()) {
        error = ENODEV;
    } else if (raw->type != USBDEVFS_URB_TYPE_BULK ||
               (raw->endpoint != kOutEndpoint && raw->endpoint != kInEndpoint) || length < 0) {
        error = EINVAL;
    } else if (claimedBy_ != client) {
        error = EBUSY;
    }
    if (error != 0) {
        lock.unlock();
        umockdev_ioctl_client_complete(client, -1, error);
        return;
    }
    urb->length = static_cast<std::uint32_t>(length);
    urb->data.resize(urb->length);
    if (urb->length > 0) {
        urb->buffer = resolve(urb->urb, offsetof(usbdevfs_urb, buffer), urb->length);
        if (!urb->buffer) {
            lock.unlock();
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        if (!urb->in)
            std::memcpy(urb->data.data(), urb->buffer->data, urb->length);
    }
    handle.pending.push_back(urb);
    Endpoint& endpoint = urb->in ? *in_ : *out_;
    endpoint.queue.push_back(urb);
    endpoint.wake.notify_all();
    lock.unlock();
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbfsProgrammer::reapUrb(Handle& handle, UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::unique_lock<std::mutex> lock(mutex_);
    if (handle.reapable.empty()) {
        const bool gone = !present();
        lock.unlock();
        umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : EAGAIN);
        return;
    }
    std::shared_ptr<Urb> urb = handle.reapable.front();
    handle.reapable.pop_front();
    std::erase(handle.pending, urb);
    updateReadiness();
    lock.unlock();

    auto* raw = reinterpret_cast<usbdevfs_urb*>(urb->urb->data);
    raw->status = urb->status;
    raw->actual_length = static_cast<int>(urb->actual);
    if (urb->in && urb->actual > 0)
        std::memcpy(urb->buffer->data, urb->data.data(), urb->actual);
    // The client's pointer gets the URB's address; the URB and its buffer are written
    // back to the client as the ioctl completes.
    UMockdevIoctlData* pointer = resolve(arg, 0, sizeof(void*));
    if (!pointer) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    umockdev_ioctl_data_set_ptr(pointer, 0, urb->urb);
    g_object_unref(pointer);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbfsProgrammer::discardUrb(Handle& handle, UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    unsigned long address = 0;
    std::memcpy(&address, arg->data, sizeof address);
    std::unique_lock<std::mutex> lock(mutex_);
    const auto it = std::find_if(handle.pending.begin(), handle.pending.end(),
                                 [&](const auto& u) { return u->clientAddress == address; });
    // Like the kernel: a URB that already finished cannot be discarded (EINVAL), it only
    // waits to be reaped.
    if (it == handle.pending.end() || (*it)->done) {
        lock.unlock();
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    cancelInModel(**it);
    lock.unlock();
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbfsProgrammer::runEndpoint(Endpoint& endpoint) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        endpoint.wake.wait(lock, [&] { return endpoint.stop || !endpoint.queue.empty(); });
        if (endpoint.stop)
            return;
        std::shared_ptr<Urb> urb = endpoint.queue.front();
        endpoint.queue.pop_front();
        lock.unlock();

        std::uint32_t moved = 0;
        const usblink::PipeResult r =
            urb->in ? model_->transferIn(urb->data.data(), urb->length, kUrbModelTimeoutMs, &moved,
                                         &urb->cancelled)
                    : model_->transferOut(urb->data.data(), urb->length, kUrbModelTimeoutMs, &moved,
                                          &urb->cancelled);
        // The status the kernel gives a URB that ended this way.
        int status = 0;
        switch (r) {
            case usblink::PipeResult::Ok:
                break;
            case usblink::PipeResult::Cancelled:
            case usblink::PipeResult::TimedOut:
                status = -ECONNRESET;  // unlinked by DISCARDURB
                break;
            case usblink::PipeResult::Failed:
                status = present() ? -EPIPE : -ESHUTDOWN;  // stalled endpoint, or unplugged
                break;
        }
        finish(urb, status, moved);
        lock.lock();
    }
}

void UsbfsProgrammer::finish(const std::shared_ptr<Urb>& urb, int status, std::uint32_t actual) {
    std::lock_guard<std::mutex> lock(mutex_);
    urb->status = status;
    urb->actual = actual;
    urb->done = true;
    if (!urb->client)
        return;  // its handle is closed
    const auto it = handles_.find(urb->client);
    if (it == handles_.end())
        return;
    it->second->reapable.push_back(urb);
    updateReadiness();
}

void UsbfsProgrammer::updateReadiness() {
    bool waiting = false;
    for (const auto& [client, handle] : handles_)
        waiting = waiting || !handle->reapable.empty();
    if (fifo_ < 0 || waiting == slotFree_)
        return;
    static std::uint8_t page[kFifoPage];
    if (waiting) {
        if (::read(fifo_, page, kFifoPage) > 0)
            slotFree_ = true;
    } else {
        // Bounded, so a node that is not a FIFO after all cannot fill the disk.
        for (std::size_t i = 0; i<kFifoMaxPages&& ::write(fifo_, page, kFifoPage)> 0; ++i) {
        }
        slotFree_ = false;
    }
}

}  // namespace testsupport
