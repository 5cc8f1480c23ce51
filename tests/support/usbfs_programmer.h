// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The simulated programmer put behind a Linux usbfs device node, so the unmodified
// system libusb (and with it the link's libusb backend) talks to the same firmware model
// that the in-process sim backend uses.
//
// umockdev builds a sysfs tree with one USB device (the programmer's IDs, bus/device
// numbers, and its binary "descriptors": interface 0 with bulk endpoints 0x01 OUT and
// 0x81 IN) and sends every ioctl on the device node to this class, on umockdev's worker
// thread. The usbfs requests are answered like the kernel would: capabilities, driver
// query and detach, interface claim and release, and asynchronous URBs. A submitted bulk
// URB is queued to its endpoint's own thread, which moves it through the SimProgrammer
// (transferOut / transferIn); a discarded URB is cancelled in the model and reaped with
// the status of an unlinked URB.
//
// libusb waits for reapable URBs with poll(POLLOUT) on the node. umockdev's node is a
// regular file, which is always "ready", and an idle libusb event loop would spin; the
// node is therefore replaced by a FIFO that is kept full (not writable) and has one slot
// freed only while a finished URB waits to be reaped.
//
// The process must run with libumockdev-preload.so.0 preloaded.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_programmer.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace testsupport {

struct UsbfsSetup {
    int bus = 1;
    int device = 4;
    std::string ports = "4";  // the sysfs name is "<bus>-<ports>"
    // Without it interface 0 has only its bulk OUT endpoint, as on a wrong device.
    bool inEndpoint = true;
};

class UsbfsProgrammer {
  public:
    UsbfsProgrammer(UMockdevTestbed* testbed, std::shared_ptr<sim::SimProgrammer> model,
                    UsbfsSetup setup = {});
    ~UsbfsProgrammer();
    UsbfsProgrammer(const UsbfsProgrammer&) = delete;
    UsbfsProgrammer& operator=(const UsbfsProgrammer&) = delete;

    sim::SimProgrammer& model() { return *model_; }

    // A kernel driver of this name holds interface 0 until detached.
    void bindKernelDriver(std::string name);
    // Takes the device away: the model is unplugged, pending URBs end as on a
    // disconnect, every later request fails with ENODEV, and the device leaves sysfs.
    void unplug();
    // The node as the kernel makes it without the udev rule: root's alone (0600). The
    // emulation's own sockets (its udev monitor and the node's ioctl line) are opened to
    // every user, so that for an unprivileged user the emulated kernel, not the test
    // bed, refuses the node. False when a mode could not be set.
    bool closeNodeToOtherUsers();

    // Observation, for tests.
    int openHandles();           // device node connections now open
    int claimingHandles();       // handles holding interface 0 (0 or 1)
    int detaches() const;        // kernel drivers detached
    std::string kernelDriver();  // bound to interface 0 now, empty when none
    int urbsInFlight();          // submitted and not yet reaped, over all handles
    std::string devnode() const { return devnode_; }
    // The node's file in the test bed, where its owner and mode are set.
    std::string nodeFile() const;

  private:
    struct Urb;
    struct Handle;
    struct Endpoint;

    static int onIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, void* self);
    static void onClientConnected(UMockdevIoctlBase* base, UMockdevIoctlClient* client, void* self);
    void handleIoctl(UMockdevIoctlClient* client);
    void submitUrb(Handle& handle, UMockdevIoctlClient* client);
    void reapUrb(Handle& handle, UMockdevIoctlClient* client);
    void discardUrb(Handle& handle, UMockdevIoctlClient* client);
    // Drops the handles whose node was closed; called with mutex_ held.
    void sweepClosedHandles();
    void runEndpoint(Endpoint& endpoint);
    void finish(const std::shared_ptr<Urb>& urb, int status, std::uint32_t actual);
    bool present() const;
    // The FIFO's free slot follows "some URB waits to be reaped"; called with mutex_ held.
    void updateReadiness();
    void cancelInModel(Urb& urb);

    UMockdevTestbed* testbed_;
    std::shared_ptr<sim::SimProgrammer> model_;
    std::string syspath_;
    std::string devnode_;
    UMockdevIoctlBase* handler_ = nullptr;
    int fifo_ = -1;
    bool slotFree_ = false;

    mutable std::mutex mutex_;
    std::map<UMockdevIoctlClient*, std::unique_ptr<Handle>> handles_;
    // Closed connections, released with the emulator: the client object must outlive
    // umockdev's last use of it on its own thread.
    std::vector<UMockdevIoctlClient*> closed_;
    UMockdevIoctlClient* claimedBy_ = nullptr;
    std::string kernelDriver_;
    std::string detachedDriver_;  // bound again when the interface is let go
    int detaches_ = 0;
    bool unplugged_ = false;
    std::unique_ptr<Endpoint> out_;
    std::unique_ptr<Endpoint> in_;
};

}  // namespace testsupport
