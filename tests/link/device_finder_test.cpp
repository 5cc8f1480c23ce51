// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/device_finder.h"

#include <gtest/gtest.h>

#include "tests/support/sim_rig.h"

using testsupport::SimRig;
using usblink::productIdFromPath;
using usblink::vendorIdFromPath;

TEST(DeviceIds, ReadFourHexDigitsAfterLettersAndAnySeparator) {
    EXPECT_EQ(vendorIdFromPath("usb#vid_10c4&pid_f5a2#1-4"), 0x10C4);
    EXPECT_EQ(productIdFromPath("usb#vid_10c4&pid_f5a2#1-4"), 0xF5A2);
    EXPECT_EQ(vendorIdFromPath("\\\\?\\USB#VID_10C4&PID_F5A2#6&1a"), 0x10C4);
    EXPECT_EQ(productIdFromPath("\\\\?\\USB#VID_10C4&PID_F5A2#6&1a"), 0xF5A2);
    EXPECT_EQ(vendorIdFromPath("xxvid:beefyyyy"), 0xBEEF);
    // Mixed case letters are neither "vid" nor "VID".
    EXPECT_EQ(vendorIdFromPath("usb#Vid_10c4&pid_f5a2#1"), 0);
    // A non-hex character among the four gives 0; the first "vid" is the one read.
    EXPECT_EQ(vendorIdFromPath("usb#vid_10g4&vid_10c4&pid_f5a2"), 0);
}

TEST(DeviceIds, ShortPathsHaveNoId) {
    // The letters must start below length - 8 (vendor) or length - 4 (product).
    EXPECT_EQ(vendorIdFromPath("vid_10c4"), 0);
    EXPECT_EQ(vendorIdFromPath("vid_10c4x"), 0x10C4);
    EXPECT_EQ(productIdFromPath("pid_"), 0);
    // The product digits may run past the end of the text: then there is no ID.
    EXPECT_EQ(productIdFromPath("pid_f5"), 0);
    EXPECT_EQ(productIdFromPath("pid_f5a2"), 0xF5A2);
    EXPECT_EQ(vendorIdFromPath(""), 0);
}

TEST(Open, NoProgrammerReturnsZeroWithoutMessage) {
    SimRig rig;
    rig.device->setPresent(false);
    rig.bus.addOtherDevice("usb#vid_046d&pid_c52b#1-2");
    EXPECT_EQ(rig.link.open(), 0);
    EXPECT_TRUE(rig.messages.empty());
    EXPECT_FALSE(rig.link.deviceOpen());
}

TEST(Open, LowestMatchingIndexWinsAndOthersAreSkipped) {
    sim::SimBus bus;
    auto second = std::make_shared<sim::SimProgrammer>("usb#VID_10C4&PID_F5A2#2-1");
    auto third = std::make_shared<sim::SimProgrammer>("usb#vid_10c4&pid_f5a2#3-1");
    bus.addOtherDevice("usb#vid_10c4&pid_ea60#1-1");  // same vendor, other product
    bus.addOtherDevice("usb#vid_1xc4&pid_f5a2#1-2");  // broken vendor digits
    bus.addProgrammer(second);
    bus.addProgrammer(third);
    usblink::DeviceFinder finder(bus);
    usblink::UsbLink link(finder);
    EXPECT_EQ(finder.countDevices(), 4);
    EXPECT_EQ(link.open(), 1);
    EXPECT_EQ(finder.path(), second->path());
    EXPECT_EQ(second->openDevices(), 1);
    EXPECT_EQ(third->openDevices(), 0);

    // A place asked for (--device) hides every other device; an absent one is not found.
    finder.restrictTo("3-1");
    EXPECT_EQ(finder.countDevices(), 1);
    EXPECT_EQ(link.open(), 1);
    EXPECT_EQ(finder.path(), third->path());
    finder.restrictTo("1-9");
    EXPECT_EQ(link.open(), 0);
    EXPECT_EQ(link.lastOpenResult(), usblink::UsbLink::OpenResult::NotFound);
}

TEST(Open, PipeFailureShowsItsTextAndStillOpens) {
    SimRig rig;
    sim::Faults faults;
    faults.failPipe = "PIPE00";
    rig.device->setFaults(faults);
    EXPECT_EQ(rig.link.open(), 1);
    ASSERT_EQ(rig.messages.size(), 1u);
    EXPECT_EQ(rig.messages[0],
              "Error opening Read device: PIPE00\n\nApplication is aborting.\nReset hardware and "
              "try again.");
    EXPECT_TRUE(rig.link.writePipeOpen());
    EXPECT_FALSE(rig.link.readPipeOpen());

    faults.failPipe = "PIPE01";
    rig.device->setFaults(faults);
    rig.messages.clear();
    EXPECT_EQ(rig.link.open(), 1);
    ASSERT_EQ(rig.messages.size(), 1u);
    EXPECT_EQ(rig.messages[0],
              "Error opening Write device: PIPE01\n\nApplication is aborting.\nReset hardware and "
              "try again.");
}

TEST(Open, DeviceThatCannotOpenReportsWhy) {
    SimRig rig;
    sim::Faults faults;
    faults.failDeviceOpen = true;
    rig.device->setFaults(faults);
    EXPECT_EQ(rig.link.open(), 0);
    EXPECT_NE(rig.link.lastError().find("access denied"), std::string::npos);
}

TEST(Open, TheDeviceOpenedIsTheOneWhoseIdsWereChecked) {
    // A keyboard plugged in while the programmer is being looked for takes index 0 of
    // every listing after the third.
    class ShiftingBus : public usblink::UsbBus {
      public:
        std::vector<std::string> devicePaths() override {
            if (listings_++ < 3)
                return {"usb#vid_10c4&pid_f5a2#1-4"};
            return {"usb#vid_046d&pid_c31c#1-1", "usb#vid_10c4&pid_f5a2#1-4"};
        }
        std::unique_ptr<usblink::UsbDevice> openDevice(const std::string& path) override {
            opened.push_back(path);
            return nullptr;
        }
        std::string lastError() const override { return "not here"; }
        std::vector<std::string> opened;

      private:
        int listings_ = 0;
    };
    ShiftingBus bus;
    usblink::DeviceFinder finder(bus);
    usblink::UsbLink link(finder);
    EXPECT_EQ(link.open(), 0);
    EXPECT_EQ(bus.opened, (std::vector<std::string>{"usb#vid_10c4&pid_f5a2#1-4"}));
    // Nothing but a programmer is ever opened.
    EXPECT_EQ(finder.openDevice("usb#vid_046d&pid_c31c#1-1"), nullptr);
    EXPECT_EQ(bus.opened.size(), 1u);
}
