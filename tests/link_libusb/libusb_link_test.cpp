// SPDX-License-Identifier: GPL-3.0-or-later
// The link's libusb backend against the system libusb, with the simulated programmer's
// firmware model behind an emulated usbfs device (umockdev): the shared transport and
// command-set contracts, and what only this backend has (the device order, kernel-driver
// detach, a refused claim, a missing endpoint, an idle event loop, its failure texts).
// Runs under libumockdev-preload.so.0; main() re-executes the binary with it when it is
// missing.

#include <gtest/gtest.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "link/device_finder.h"
#include "link/libusb/access_check.h"
#include "link/libusb/libusb_bus.h"
#include "link/usb_link.h"
#include "sim/sim_programmer.h"
#include "tests/support/libusb_rig.h"
#include "tests/support/programmer_contract.h"
#include "tests/support/sim_rig.h"
#include "tests/support/temp_dir.h"
#include "tests/support/transport_contract.h"
#include "tests/support/usbfs_programmer.h"

using testsupport::chipOf;
using testsupport::LibusbRig;
using testsupport::Testbed;

namespace {

constexpr const char* kProgrammerPath = testsupport::kLibusbProgrammerPath;

// A USB device that is listed but is not the programmer (no ioctls answered).
void addOtherDevice(UMockdevTestbed* testbed, int bus, int device, const char* ports,
                    const char* vendor, const char* product) {
    // A device descriptor (046d:c52b) and an empty configuration.
    // clang-format off
    static const std::uint8_t descriptors[] = {
        18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x6D, 0x04, 0x2B, 0xC5, 0x00, 0x01, 0, 0, 0, 1,
        9, 2, 9, 0, 0, 1, 0, 0x80, 50,
    };
    // clang-format on
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus, device);
    const std::string name = std::to_string(bus) + "-" + ports;
    const std::string busText = std::to_string(bus);
    const std::string deviceText = std::to_string(device);
    gchar* syspath = umockdev_testbed_add_device(
        testbed, "usb", name.c_str(), nullptr, "idVendor", vendor, "idProduct", product, "busnum",
        busText.c_str(), "devnum", deviceText.c_str(), "speed", "12", "bConfigurationValue", "1",
        nullptr, "DEVNAME", node, "DEVTYPE", "usb_device", nullptr);
    umockdev_testbed_set_attribute_binary(testbed, syspath, "descriptors",
                                          const_cast<std::uint8_t*>(descriptors),
                                          sizeof descriptors);
    g_free(syspath);
}

std::uint64_t cpuTimeMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000 +
           static_cast<std::uint64_t>(t.tv_nsec) / 1'000'000;
}

// What the shared cases cannot observe on every backend: processor time
// while waiting, and the backend's failure texts for the log.
class LibusbTransport : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(rig.link.open(), 1) << rig.link.lastError(); }

    LibusbRig rig;
    std::atomic<std::uint32_t> counter{0};
};

}  // namespace

namespace testsupport {
INSTANTIATE_TYPED_TEST_SUITE_P(LibusbTransport, TransportContract, LibusbRig);
INSTANTIATE_TYPED_TEST_SUITE_P(LibusbProgrammer, ProgrammerContract, LibusbRig);
}  // namespace testsupport

TEST(LibusbBus, ListsOnlyProgrammersByBusAndPortAndOpensTheProgrammer) {
    Testbed bed;
    addOtherDevice(bed.testbed, 1, 2, "10", "046d", "c52b");
    addOtherDevice(bed.testbed, 2, 1, "1", "046d", "c52b");
    addOtherDevice(bed.testbed, 1, 3, "2", "046d", "c52b");
    testsupport::UsbfsProgrammer device(bed.testbed, std::make_shared<sim::SimProgrammer>());
    testsupport::UsbfsSetup second;
    second.device = 6;
    second.ports = "12";
    testsupport::UsbfsProgrammer other(bed.testbed, std::make_shared<sim::SimProgrammer>(), second);
    device.bindKernelDriver("usbserial_generic");
    usblink::LibusbBus bus;
    ASSERT_TRUE(bus.initialised()) << bus.lastError();

    // Nothing but programmers; port 12 after port 4: ports compare as numbers, not as
    // text.
    EXPECT_EQ(bus.devicePaths(),
              (std::vector<std::string>{kProgrammerPath, "usb#vid_10c4&pid_f5a2#1-12"}));
    EXPECT_EQ(bus.openDevice("usb#vid_046d&pid_c52b#1-2"), nullptr);

    {
        usblink::DeviceFinder finder(bus);
        usblink::UsbLink link(finder, testsupport::shortLinkLimits());
        ASSERT_EQ(link.open(), 1) << link.lastError();
        EXPECT_EQ(finder.path(), kProgrammerPath);
        EXPECT_TRUE(link.readPipeOpen());
        EXPECT_TRUE(link.writePipeOpen());
        // The bound kernel driver was detached, then interface 0 claimed.
        EXPECT_EQ(device.detaches(), 1);
        EXPECT_EQ(device.claimingHandles(), 1);
        EXPECT_EQ(device.kernelDriver(), "");
    }
    // Let go, the programmer gets its kernel driver back.
    EXPECT_EQ(device.kernelDriver(), "usbserial_generic");
    usblink::DeviceFinder finder(bus);
    usblink::UsbLink link(finder, testsupport::shortLinkLimits());
    ASSERT_EQ(link.open(), 1) << link.lastError();

    // A second program finds the interface taken and says so.
    usblink::LibusbBus otherBus;
    EXPECT_EQ(otherBus.openDevice(kProgrammerPath), nullptr);
    EXPECT_EQ(otherBus.lastError(),
              "cannot claim interface 0 of 10c4:f5a2 at 1-4: in use by another program");
    EXPECT_EQ(otherBus.lastOpenFailure(), usblink::OpenFailure::InUse);
    EXPECT_EQ(otherBus.openDevice("usb#vid_10c4&pid_f5a2#3-1"), nullptr);
    EXPECT_EQ(otherBus.lastError(), "cannot open usb#vid_10c4&pid_f5a2#3-1: unplugged");
    EXPECT_EQ(device.claimingHandles(), 1);
}

TEST(LibusbBus, MissingBulkEndpointFailsItsPipeWithTheFixedText) {
    Testbed bed;
    testsupport::UsbfsSetup setup;
    setup.inEndpoint = false;
    testsupport::UsbfsProgrammer device(bed.testbed, std::make_shared<sim::SimProgrammer>(), setup);
    usblink::LibusbBus bus;
    usblink::DeviceFinder finder(bus);
    usblink::UsbLink link(finder, testsupport::shortLinkLimits());
    std::vector<std::string> messages;
    link.setPipeFailureHandler([&](const std::string& text) { messages.push_back(text); });
    // The device opens; the read pipe does not, and the message box says so.
    EXPECT_EQ(link.open(), 1);
    EXPECT_TRUE(link.writePipeOpen());
    EXPECT_FALSE(link.readPipeOpen());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("Error opening Read device: PIPE00", 0), 0u) << messages[0];
    EXPECT_EQ(link.lastError(), "10c4:f5a2 at 1-4 has no bulk IN endpoint on interface 0");
}

TEST_F(LibusbTransport, WaitingForASilentDeviceCostsNoProcessorTime) {
    sim::Faults faults;
    faults.silent = true;
    rig.device->setFaults(faults);
    std::uint8_t buffer[64];
    const std::uint64_t cpuBefore = cpuTimeMs();
    EXPECT_EQ(rig.link.readTimed(buffer, 64, &counter, 5000), 0);
    // libusb's event loop sleeps in poll() on the node, which is ready only while a URB
    // waits to be reaped.
    EXPECT_LT(cpuTimeMs() - cpuBefore, 50u);
}

TEST_F(LibusbTransport, FailuresAreKeptAsTextForTheLog) {
    sim::Faults faults;
    faults.writeFails = true;
    rig.device->setFaults(faults);
    std::uint8_t data[16] = {};
    EXPECT_EQ(rig.link.writeTimed(data, 16, &counter, 20), 0);
    EXPECT_NE(rig.bus.lastError().find("request on PIPE01 of 10c4:f5a2 at 1-4 failed"),
              std::string::npos)
        << rig.bus.lastError();

    // A device gone in the middle of a transfer is still listed until the kernel removes
    // it; opening it again fails with the reason.
    rig.device->setFaults({});
    rig.device->insertChip(chipOf(catalogue::SpiFlash, 4096));
    const auto command = testsupport::rawReadCommand(4096);
    ASSERT_EQ(rig.link.writeTimed(command.data(), 15, &counter, 500), 1);
    faults.writeFails = false;
    faults.disconnectAfterBytes = 100;
    rig.device->setFaults(faults);
    std::vector<std::uint8_t> back(4096 + 64 + 64);
    EXPECT_EQ(rig.link.readTimed(back.data(), 64, &counter, 1000), 1);  // the reply
    EXPECT_EQ(rig.link.readTimed(back.data(), 4096 + 64, &counter, 1000), 0);
    EXPECT_EQ(rig.link.open(), 0);
    EXPECT_EQ(rig.link.lastError(), "cannot claim interface 0 of 10c4:f5a2 at 1-4: unplugged");
    EXPECT_EQ(rig.usbfs.claimingHandles(), 0);
}

TEST(UdevRule, FoundByTheProgrammersIdsInAnyCaseNotInACommentNorAnotherFileKind) {
    testsupport::TempDir first, second;
    testsupport::writeFile(first.file("50-other.rules"), "# 10c4 f5a2 mentioned only here\n");
    testsupport::writeFile(first.file("70-chip.conf"),
                           "ATTR{idVendor}==\"10c4\", ATTR{idProduct}==\"f5a2\"\n");
    EXPECT_EQ(usblink::findUdevRule({first.path(), "/nonexistent"}), "");
    testsupport::writeFile(
        second.file("99-bench.rules"),
        "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"10C4\", ATTR{idProduct}==\"F5A2\"\n");
    EXPECT_EQ(usblink::findUdevRule({first.path(), second.path()}), second.file("99-bench.rules"));
}
