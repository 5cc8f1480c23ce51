// SPDX-License-Identifier: GPL-3.0-or-later
// Read and Verify through the real transport: the system libusb over the emulated usbfs
// device, with the simulated programmer's firmware behind it.

#include <gtest/gtest.h>
#include <umockdev.h>

#include <cstring>
#include <memory>

#include "link/libusb/libusb_bus.h"
#include "operations/commands.h"
#include "tests/operations/operations_rig.h"
#include "tests/support/libusb_rig.h"
#include "tests/support/usbfs_programmer.h"

namespace {

TEST(OperationsOverLibusb, ReadAndVerifyPass) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("config.ini"),
                           "[Run]\nDefaultLanguage=English\nDefaultChipName=W25Q80\n[English]\n"
                           "LogFile=log.txt\nDataBaseFile=chips.cwdb\n");
    const auto image = catalogue::buildDatabaseImage(testsupport::testChips());
    testsupport::writeFile(
        dir.file("chips.cwdb"),
        std::string_view(reinterpret_cast<const char*>(image.data()), image.size()));
    app::loadMessageTable(dir.dir());

    testsupport::Testbed bed;
    auto device = std::make_shared<sim::SimProgrammer>(testsupport::kLibusbProgrammerPath);
    testsupport::UsbfsProgrammer usbfs(bed.testbed, device);
    usblink::LibusbBus bus;
    testsupport::ScriptedFrontend ui;
    operations::Workbench bench(bus);
    ASSERT_EQ(operations::startUp(bench, ui, {}), operations::StartupResult::Ready);
    device->insertChip(bench.chip);
    const auto chip = testsupport::pattern(bench.chip.capacity, 9);
    device->fillMemory(0, chip);

    EXPECT_EQ(operations::readChip(bench, ui), operations::Outcome::Done);
    EXPECT_EQ(std::memcmp(bench.buffer->image(), chip.data(), chip.size()), 0);
    EXPECT_EQ(operations::verifyChip(bench, ui), operations::Outcome::Done);
    EXPECT_EQ(ui.events.back(), "status:Verify chip ok!");
    EXPECT_TRUE(device->protocolComplaints().empty());
}

}  // namespace
