// SPDX-License-Identifier: GPL-3.0-or-later
// Ctrl-C against the emulated usbfs programmer, which outlives the process like real
// hardware: the interrupted run settles what it abandoned, so the next run reads the chip
// at once and gets the chip's bytes, not the rest of an old read or a write's leftovers.

#include <grp.h>
#include <sys/stat.h>
#include <umockdev.h>

#include "catalogue/chip_record.h"
#include "tests/cli/cli_rig.h"
#include "tests/support/libusb_rig.h"
#include "tests/support/sim_rig.h"

using testsupport::randomBytes;

namespace {

constexpr std::uint32_t kChipBytes = 0x400000;  // W25Q32JV

// The chip the database lists under this name, as the program selects it.
catalogue::ChipRecord w25q32jv() {
    catalogue::ChipRecord chip = testsupport::chipOf(catalogue::SpiFlash, kChipBytes);
    catalogue::setField(chip.name, "W25Q32JV");
    chip.deviceId = 0x15;
    chip.level = 33;
    return chip;
}

class CliOverLibusb : public testsupport::CliRig {
  protected:
    void SetUp() override {
        device->insertChip(w25q32jv());
        const std::string cells = randomBytes(kChipBytes, 7);
        device->fillMemory(
            0, std::span(reinterpret_cast<const std::uint8_t*>(cells.data()), cells.size()));
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

TEST_F(CliOverLibusb, TwoProgrammersServeTwoRunsAtOnceAndOneInUseIsRefusedAtOnce) {
    auto second = std::make_shared<sim::SimProgrammer>("usb#vid_10c4&pid_f5a2#1-5");
    second->insertChip(w25q32jv());
    second->setThroughput(2'000'000);
    testsupport::UsbfsProgrammer secondUsbfs{bed.testbed, second, {.device = 5, .ports = "5"}};
    const std::string a = randomBytes(kChipBytes, 1), b = randomBytes(kChipBytes, 2);
    testsupport::writeFile(dir.file("a.bin"), a);
    testsupport::writeFile(dir.file("b.bin"), b);

    // The runs start one after another: the emulation's stand-in for the kernel's udev
    // event socket can fail for two processes that open it at the same instant, and
    // libusb then does not start at all (on a real kernel each gets its own socket).
    const pid_t first = start({"-c", "W25Q32JV", "--device", "1-4", "auto", "a.bin"}, "a");
    ASSERT_TRUE(waitForErr("Writing...", std::chrono::seconds(10), "a"));
    const pid_t other = start({"-c", "W25Q32JV", "--device", "1-5", "auto", "b.bin"}, "b");
    ASSERT_TRUE(waitForErr("Erasing...", std::chrono::seconds(10), "b"));
    const auto asked = std::chrono::steady_clock::now();
    const auto busy = run({"-c", "W25Q32JV", "--device", "1-4", "--json", "read", "c.bin"}, "c");
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2));
    EXPECT_EQ(busy.status, 4);
    EXPECT_EQ(busy.json()["result"], "in-use");
    EXPECT_NE(busy.err.find("the programmer at 1-4 is in use by another program"),
              std::string::npos)
        << busy.err;

    const auto ranA = finish(first, "a");
    const auto ranB = finish(other, "b");
    EXPECT_EQ(ranA.status, 0) << ranA.err;
    EXPECT_EQ(ranB.status, 0) << ranB.err;
    const std::vector<std::uint8_t> cellsA = device->memory(), cellsB = second->memory();
    EXPECT_TRUE(std::string(cellsA.begin(), cellsA.end()) == a);
    EXPECT_TRUE(std::string(cellsB.begin(), cellsB.end()) == b);
    // The three runs shared one log: every entry is whole, its time stamp after a line
    // break (texts may hold line breaks of their own, never before a digit).
    const std::string log = testsupport::readFile(homeFile("chipwright.log"));
    int entries = 0;
    for (std::size_t at = log.find("\r\n"); at != std::string::npos;
         at = log.find("\r\n", at + 2)) {
        if (at + 2 >= log.size() || log[at + 2] < '0' || log[at + 2] > '9')
            continue;
        const std::string stamp = log.substr(at + 2, 26);
        EXPECT_TRUE(stamp[4] == '/' && stamp[10] == '/' && stamp[20] == '.' &&
                    stamp.substr(24) == ": ")
            << stamp;
        ++entries;
    }
    EXPECT_GT(entries, 10);
}

TEST_F(CliOverLibusb, DoctorFindsTheProgrammerAndTellsAUserWhoMayNotOpenItWhatWould) {
    const auto ready = run({"--json", "doctor"});
    EXPECT_EQ(ready.status, 0) << ready.out;
    const auto found = ready.json()["programmers"];
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]["place"], "1-4");
    EXPECT_EQ(found[0]["node"], "/dev/bus/usb/001/004");
    EXPECT_EQ(found[0]["openable"], true);

    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the doctor as a user the node is closed to";
    // The node closed to the unprivileged user; everything else the run needs open to it.
    ASSERT_TRUE(usbfs.closeNodeToOtherUsers());
    ASSERT_EQ(chmod(std::filesystem::path(program()).parent_path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    std::string out;
    const std::optional<bool> denied = testsupport::asUnprivilegedUser([&] {
        const auto r = run({"--json", "doctor"}, "-nobody");
        const auto j = nlohmann::json::parse(r.out, nullptr, false);
        if (r.status != 4 || j.is_discarded() || j["programmers"].size() != 1)
            return false;
        const auto& p = j["programmers"][0];
        return p["openable"] == false &&
               (p["problem"] == "no-udev-rule" || p["problem"] == "plugged-in-before-rule") &&
               p["explanation"].get<std::string>().find("udev rule") != std::string::npos;
    });
    ASSERT_TRUE(denied.has_value());
    EXPECT_TRUE(*denied) << testsupport::readFile(dir.file("stdout-nobody"))
                         << testsupport::readFile(dir.file("stderr-nobody"));

    // The node as the rule makes it, for a user who is not at the seat: the group is the
    // way in, whether or not this machine has the rule installed.
    const group* plugdev = getgrnam("plugdev");
    if (plugdev == nullptr)
        GTEST_SKIP() << "no plugdev group on this machine";
    ASSERT_EQ(chown(usbfs.nodeFile().c_str(), 0, plugdev->gr_gid), 0);
    ASSERT_EQ(chmod(usbfs.nodeFile().c_str(), 0660), 0);
    const std::optional<bool> joinGroup = testsupport::asUnprivilegedUser([&] {
        const auto r = run({"--json", "doctor"}, "-nobody");
        const auto j = nlohmann::json::parse(r.out, nullptr, false);
        if (r.status != 4 || j.is_discarded() || j["programmers"].size() != 1)
            return false;
        const auto& p = j["programmers"][0];
        return p["problem"] == "no-group-access" &&
               p["fix"].get<std::string>().find("usermod -aG plugdev") != std::string::npos;
    });
    ASSERT_TRUE(joinGroup.has_value());
    EXPECT_TRUE(*joinGroup) << testsupport::readFile(dir.file("stdout-nobody"));
}
