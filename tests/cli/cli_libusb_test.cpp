// SPDX-License-Identifier: GPL-3.0-or-later
// Ctrl-C against the emulated usbfs programmer, which outlives the process like real
// hardware: the interrupted run settles what it abandoned, so the next run reads the chip
// at once and gets the chip's bytes, not the rest of an old read or a write's leftovers.

#include <random>

#include "catalogue/chip_record.h"
#include "tests/cli/cli_rig.h"
#include "tests/support/libusb_rig.h"

namespace {

constexpr std::uint32_t kChipBytes = 0x400000;  // W25Q32JV

class CliOverLibusb : public testsupport::CliRig {
  protected:
    void SetUp() override {
        catalogue::ChipRecord chip{};
        chip.type = catalogue::SpiFlash;
        catalogue::setField(chip.name, "W25Q32JV");
        chip.capacity = kChipBytes;
        chip.pageWrite = 1;
        chip.pageSize = 256;
        chip.manufacturerId = 0xEF;
        chip.deviceId = 0x16;
        chip.level = 33;
        chip.organisation = 8;
        device->insertChip(chip);
        std::mt19937 random(7);
        std::vector<std::uint8_t> cells(kChipBytes);
        for (auto& c : cells)
            c = static_cast<std::uint8_t>(random());
        device->fillMemory(0, cells);
        // A 4 MB transfer takes about two seconds: long enough to be interrupted.
        device->setThroughput(2'000'000);
    }

    // Interrupts `args` once `phase` has been shown and a little of it has run.
    testsupport::CliResult interrupt(const std::vector<std::string>& args,
                                     const std::string& phase) {
        const pid_t pid = start(args);
        EXPECT_TRUE(waitForErr(phase, std::chrono::seconds(10)));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(pid, SIGINT);
        return finish(pid);
    }

    void expectNextReadGetsTheChip() {
        const auto start = std::chrono::steady_clock::now();
        const auto next = run({"-c", "W25Q32JV", "-q", "read", "next.bin"});
        EXPECT_EQ(next.status, 0) << next.err;
        const std::vector<std::uint8_t> cells = device->memory();
        // Not EXPECT_EQ: a failure would print 4 MB.
        EXPECT_TRUE(testsupport::readFile(dir.file("next.bin")) ==
                    std::string(cells.begin(), cells.end()));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    }

    testsupport::Testbed bed;
    std::shared_ptr<sim::SimProgrammer> device =
        std::make_shared<sim::SimProgrammer>(testsupport::kLibusbProgrammerPath);
    testsupport::UsbfsProgrammer usbfs{bed.testbed, device};
};

TEST_F(CliOverLibusb, CtrlCDuringAReadOrAWriteExits130AndTheNextRunReadsAtOnce) {
    const auto read = interrupt({"-c", "W25Q32JV", "read", "out.bin"}, "Reading...");
    EXPECT_EQ(read.status, 130);
    EXPECT_NE(read.err.find("interrupted: chip unchanged"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.bin")));
    expectNextReadGetsTheChip();

    testsupport::writeFile(dir.file("zeros.bin"), std::string(kChipBytes, '\0'));
    const auto write = interrupt({"-c", "W25Q32JV", "--json", "write", "zeros.bin"}, "Writing...");
    EXPECT_EQ(write.status, 130);
    EXPECT_EQ(write.json()["chipState"], "chip partly written");
    expectNextReadGetsTheChip();
    const auto log = testsupport::readFile(homeFile("chipwright.log"));
    EXPECT_NE(log.find("Interrupted by Ctrl-C: chip partly written"), std::string::npos);
}

}  // namespace
