// SPDX-License-Identifier: GPL-3.0-or-later
// Read, erase, write, verify and auto end to end through the simulated programmer: what
// the user sees and what the log holds, in order.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "buffer/data_buffer.h"
#include "operations/commands.h"
#include "tests/operations/operations_rig.h"

using operations::Outcome;
using testsupport::pattern;
using Strings = std::vector<std::string>;

namespace {

class ChipOperations : public testsupport::OperationsRig {
  protected:
    void putInBuffer(const std::vector<std::uint8_t>& data) {
        std::memcpy(bench->buffer->image(), data.data(), data.size());
    }
    bool bufferHolds(const std::vector<std::uint8_t>& data) const {
        return std::memcmp(bench->buffer->image(), data.data(), data.size()) == 0;
    }
};

TEST_F(ChipOperations, ReadFillsTheBufferClearsTheMarksAndSaysSo) {
    const auto chip = pattern(0x100000, 1);
    device->fillMemory(0, chip);
    bench->buffer->markChanged(0x42);
    forget();
    EXPECT_EQ(operations::readChip(*bench, ui), Outcome::Done);
    EXPECT_TRUE(bufferHolds(chip));
    EXPECT_FALSE(bench->buffer->isChanged(0x42));
    EXPECT_EQ(ui.progress.back(), 100);
    EXPECT_EQ(ui.refreshes, 1);
    EXPECT_EQ(takeEvents(), (Strings{"status:Reading...", "status:Read chip ok!"}));
    EXPECT_EQ(newLogEntries(),
              (Strings{"Read chip!", "ShowInfo: Reading...", "ShowInfo: Read chip ok!"}));
}

TEST_F(ChipOperations, WriteThenVerifyPassesAndTheFirstDifferenceIsReported) {
    const auto data = pattern(0x100000, 2);
    putInBuffer(data);
    ASSERT_EQ(operations::eraseChip(*bench, ui), Outcome::Done);
    ASSERT_EQ(operations::writeChip(*bench, ui), Outcome::Done);
    EXPECT_TRUE(device->memory() == data);
    forget();
    EXPECT_EQ(operations::verifyChip(*bench, ui), Outcome::Done);
    EXPECT_EQ(takeEvents(), (Strings{"status:Verifying...", "status:Verify chip ok!"}));
    EXPECT_EQ(newLogEntries(),
              (Strings{"Verify chip!", "ShowInfo: Verifying...", "ShowInfo: Verify chip ok!"}));

    // A chip byte 0x00 where the buffer holds 0xFF, at 0x12A and at the last byte.
    bench->buffer->image()[0x12A] = 0xFF;
    device->fillMemory(0x12A, std::vector<std::uint8_t>{0x00});
    EXPECT_EQ(operations::verifyChip(*bench, ui), Outcome::Mismatch);
    const std::string report =
        "Verify chip error!\r\n\r\nAddr:0x00012A   \r\n Buf:0xFF   \r\nChip:0x00   ";
    EXPECT_EQ(takeEvents(),
              (Strings{"status:Verifying...", "status:Verify chip error!", "box:" + report}));
    EXPECT_EQ(newLogEntries(), (Strings{"Verify chip!", "ShowInfo: Verifying...",
                                        "ShowInfo: Verify chip error!", report}));

    device->fillMemory(0x12A, std::vector<std::uint8_t>{0xFF});
    device->fillMemory(0xFFFFF, std::vector<std::uint8_t>{static_cast<std::uint8_t>(~data.back())});
    EXPECT_EQ(operations::verifyChip(*bench, ui), Outcome::Mismatch);
    EXPECT_NE(takeEvents().back().find("Addr:0x0FFFFF   "), std::string::npos);

    // The same report in Chinese.
    app::setLanguage(app::kLanguageChinese);
    EXPECT_EQ(operations::verifyChip(*bench, ui), Outcome::Mismatch);
    EXPECT_NE(takeEvents().back().find("校验芯片出错!\r\n\r\n地  址:0x0FFFFF   \r\n缓冲区:0x"),
              std::string::npos);
}

TEST_F(ChipOperations, AVerifyStoppedAtADifferenceOnA16MBChipIsFollowedByAGoodRead) {
    use("W25Q128");
    const auto chip = pattern(0x1000000, 3);
    device->fillMemory(0, chip);
    putInBuffer(chip);
    bench->buffer->image()[0x12A] ^= 0x10;
    // A pace at which the read is far from its end when the difference is found.
    device->setThroughput(20'000'000);
    EXPECT_EQ(operations::verifyChip(*bench, ui), Outcome::Mismatch);
    EXPECT_NE(ui.events.back().find("Addr:0x00012A"), std::string::npos);
    device->setThroughput(0);
    EXPECT_EQ(operations::readChip(*bench, ui), Outcome::Done);
    EXPECT_TRUE(bufferHolds(chip));
}

// A chip record from outside the checked database, larger than the buffer, is held to
// the buffer: its reads would otherwise run past the buffer's end.
TEST_F(ChipOperations, AChipLargerThanTheBufferIsReadOnlyAsFarAsTheBuffer) {
    catalogue::ChipRecord huge = testsupport::testChips()[1];
    huge.capacity = 0x4000000;
    operations::selectChip(*bench, ui, huge);
    ASSERT_EQ(bench->chip.capacity, buffer::kImageSize);
    EXPECT_EQ(bench->buffer->dataLength(), buffer::kImageSize);
    device->insertChip(huge);
    device->fillMemory(buffer::kImageSize - 1, std::vector<std::uint8_t>{0x5A});
    EXPECT_EQ(operations::readChip(*bench, ui), Outcome::Done);
    EXPECT_EQ(bench->buffer->image()[buffer::kImageSize - 1], 0x5A);
}

TEST_F(ChipOperations, AutoRunsItsStepsInOrderWhateverTheOneBeforeEndedWith) {
    const auto data = pattern(0x100000, 4);
    putInBuffer(data);
    forget();
    EXPECT_EQ(operations::autoProgram(*bench, ui), Outcome::Done);
    EXPECT_EQ(newLogEntries(),
              (Strings{"Auto!", "Erase chip!", "ShowInfo: Erasing...", "ShowInfo: Erase chip ok!",
                       "Write chip!", "ShowInfo: Writing...", "ShowInfo: Write chip ok!",
                       "Verify chip!", "ShowInfo: Verifying...", "ShowInfo: Verify chip ok!"}));
    EXPECT_TRUE(device->memory() == data);

    // An EEPROM is not erased, and Chip Erase alone only writes its start line.
    use("AT24C02");
    forget();
    EXPECT_FALSE(ui.erase);
    EXPECT_EQ(operations::eraseChip(*bench, ui), Outcome::Skipped);
    EXPECT_EQ(operations::autoProgram(*bench, ui), Outcome::Done);
    const Strings log = newLogEntries();
    EXPECT_EQ(log.front(), "Erase chip!");
    EXPECT_EQ(log[1], "Auto!");
    EXPECT_EQ(log[2], "Write chip!");
    EXPECT_EQ(std::count(log.begin(), log.end(), "Erase chip!"), 1);

    // An erase that never ends fails at its limit; write and verify still run.
    use("W25Q80");
    sim::Faults faults;
    faults.neverReady = true;
    device->setFaults(faults);
    forget();
    EXPECT_EQ(operations::autoProgram(*bench, ui), Outcome::Failed);
    EXPECT_EQ(takeEvents(),
              (Strings{"status:Erasing...", "status:Erase chip error!", "box:Erase chip error!",
                       "status:Writing...", "status:Write chip ok!", "status:Verifying...",
                       "status:Verify chip ok!"}));
}

TEST_F(ChipOperations, ACommandChosenMeanwhileIsRefusedAndTheRunningOneGoesOn) {
    const auto chip = pattern(0x100000, 5);
    device->fillMemory(0, chip);
    device->setThroughput(4'000'000);
    Outcome nested = Outcome::Done;
    Outcome nestedSwap = Outcome::Done;
    ui.at(5, [&] { nested = operations::readChip(*bench, ui); });
    ui.at(6, [&] { nestedSwap = operations::swapBytes(*bench, ui); });
    forget();
    EXPECT_EQ(operations::readChip(*bench, ui), Outcome::Done);
    EXPECT_EQ(nested, Outcome::Busy);
    EXPECT_EQ(nestedSwap, Outcome::Busy);
    EXPECT_TRUE(bufferHolds(chip));
    const Strings events = takeEvents();
    EXPECT_EQ(
        std::count(events.begin(), events.end(), "box:Programmer is busy, please wait a moment!"),
        2);
    EXPECT_EQ(events.back(), "status:Read chip ok!");
    const Strings log = newLogEntries();
    EXPECT_EQ(log[2], "Read chip!");
    EXPECT_EQ(log[3], "Programmer is busy, please wait a moment!");
    EXPECT_EQ(log.back(), "ShowInfo: Read chip ok!");
    EXPECT_FALSE(bench->busy());
}

TEST_F(ChipOperations, CancellingA16MBReadStopsItAndTheNextReadSucceeds) {
    use("W25Q128");
    device->setThroughput(20'000'000);
    ui.cancelAfterPumps = 20;
    EXPECT_EQ(operations::readChip(*bench, ui), Outcome::Cancelled);
    EXPECT_FALSE(bench->busy());
    ui.cancelAfterPumps = -1;
    device->setThroughput(0);
    const auto chip = pattern(0x1000000, 6);
    device->fillMemory(0, chip);
    EXPECT_EQ(operations::readChip(*bench, ui), Outcome::Done);
    EXPECT_TRUE(bufferHolds(chip));
}

TEST_F(ChipOperations, WithoutAProgrammerNothingIsSentAndTheReasonIsLogged) {
    device->setPresent(false);
    device->clearRequestLog();
    forget();
    EXPECT_EQ(operations::writeChip(*bench, ui), Outcome::NoProgrammer);
    EXPECT_EQ(takeEvents(), (Strings{"status:No programmer linked to computer!",
                                     "box:No programmer linked to computer!"}));
    EXPECT_EQ(newLogEntries(),
              (Strings{"Write chip!", "ShowInfo: No programmer linked to computer!"}));
    EXPECT_TRUE(device->outRequests().empty());

    // Found but not opened: the reason follows the message.
    device->setPresent(true);
    sim::Faults faults;
    faults.failDeviceOpen = true;
    device->setFaults(faults);
    EXPECT_EQ(operations::readChip(*bench, ui), Outcome::NoProgrammer);
    const Strings log = newLogEntries();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_NE(log[2].find("access denied; install the udev rule"), std::string::npos) << log[2];
}

// Each command under each fault: the message it ends with, within its limit (the rigs'
// limits are short), and the buffer left as promised.
struct FaultCase {
    const char* name;
    Outcome (*command)(operations::Workbench&, operations::Frontend&);
    void (*fault)(sim::Faults&);
    Outcome outcome;
    const char* lastEvent;
    bool bufferKept;
};

void silent(sim::Faults& f) {
    f.silent = true;
}
void stall(sim::Faults& f) {
    f.stallAfterBytes = 100'000;
}
void unplug(sim::Faults& f) {
    f.disconnectAfterBytes = 100'000;
}
void refuse(sim::Faults& f) {
    f.wrongReplyByte = true;
}
void garbage(sim::Faults& f) {
    f.garbagePackets = 3;
}
void cutShort(sim::Faults& f) {
    f.cutReadAfterBytes = 4102;
}
void flip(sim::Faults& f) {
    f.bitFlipEvery = 0x8000;
}
void neverReady(sim::Faults& f) {
    f.neverReady = true;
}
void failSelfTest(sim::Faults& f) {
    f.failSelfTest = true;
}

const FaultCase kFaultCases[] = {
    {"read/silent", operations::readChip, silent, Outcome::Failed, "box:Read chip error!", true},
    {"read/stall", operations::readChip, stall, Outcome::Failed, "box:Read chip error!", false},
    {"read/unplug", operations::readChip, unplug, Outcome::Failed, "box:Read chip error!", false},
    {"read/refuse", operations::readChip, refuse, Outcome::Failed, "box:Read chip error!", true},
    {"read/cut", operations::readChip, cutShort, Outcome::Failed, "box:Read chip error!", false},
    {"read/garbage", operations::readChip, garbage, Outcome::Done, "status:Read chip ok!", false},
    {"write/silent", operations::writeChip, silent, Outcome::Failed, "box:Write chip error!", true},
    {"write/stall", operations::writeChip, stall, Outcome::Failed, "box:Write chip error!", true},
    {"write/unplug", operations::writeChip, unplug, Outcome::Failed, "box:Write chip error!", true},
    {"write/refuse", operations::writeChip, refuse, Outcome::Failed, "box:Write chip error!", true},
    {"erase/silent", operations::eraseChip, silent, Outcome::Failed, "box:Erase chip error!", true},
    {"erase/refuse", operations::eraseChip, refuse, Outcome::Failed, "box:Erase chip error!", true},
    {"erase/busy", operations::eraseChip, neverReady, Outcome::Failed, "box:Erase chip error!",
     true},
    {"verify/silent", operations::verifyChip, silent, Outcome::Failed, "box:Verify chip error!",
     true},
    {"verify/stall", operations::verifyChip, stall, Outcome::Failed, "box:Verify chip error!",
     true},
    {"verify/unplug", operations::verifyChip, unplug, Outcome::Failed, "box:Verify chip error!",
     true},
    {"verify/cut", operations::verifyChip, cutShort, Outcome::Failed, "box:Verify chip error!",
     true},
    {"verify/flip", operations::verifyChip, flip, Outcome::Mismatch, nullptr, true},
    {"detect/silent", operations::detectChip, silent, Outcome::Failed, "box:Detect chip error!",
     true},
    {"detect/refuse", operations::detectChip, refuse, Outcome::Failed, "box:Detect chip error!",
     true},
    {"version/silent", operations::readFirmwareVersion, silent, Outcome::Failed,
     "status:Read firmware version error!", true},
    {"version/garbage", operations::readFirmwareVersion, garbage, Outcome::Done,
     "box:Firmware version:  Chipwright SIM V1.00    ", true},
    {"selftest/silent", operations::selfTest, silent, Outcome::Failed, "status:Auto test error!",
     true},
    {"selftest/fails", operations::selfTest, failSelfTest, Outcome::Failed,
     "box:Auto test result: Hardware has some problems!", true},
    // A programmer that refuses or ignores the boot command keeps the update waiting for
    // another one, up to its question (tested with the commands); these end its transfer.
    {"update/stall", operations::updateFirmware, stall, Outcome::Failed,
     "box:Firmware updata error!", true},
    {"update/unplug", operations::updateFirmware, unplug, Outcome::Failed,
     "box:Firmware updata error!", true},
};

class FaultMatrix : public ChipOperations, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultMatrix, EndsWithItsMessageWithinItsLimit) {
    const FaultCase& c = GetParam();
    const auto chip = pattern(0x100000, 7);
    device->fillMemory(0, chip);
    // A verify compares against the chip's own contents, so that only the fault ends it.
    const auto before = c.command == operations::verifyChip ? chip : pattern(0x100000, 8);
    putInBuffer(before);
    // The firmware image an update sends, larger than the faults' byte limits.
    testsupport::writeFile(dir.file("fw.tnx"), std::string(200'000, '\x5A'));
    ui.files = {dir.file("fw.tnx")};
    sim::Faults faults;
    c.fault(faults);
    device->setFaults(faults);
    forget();
    const std::uint64_t ms =
        testsupport::elapsedMs([&] { EXPECT_EQ(c.command(*bench, ui), c.outcome) << c.name; });
    EXPECT_LT(ms, 1500u) << c.name;
    const Strings events = takeEvents();
    ASSERT_FALSE(events.empty());
    if (c.lastEvent) {
        EXPECT_EQ(events.back(), c.lastEvent) << c.name;
    }
    if (c.bufferKept) {
        EXPECT_TRUE(bufferHolds(before)) << c.name;
    }
    EXPECT_FALSE(bench->busy());
    // Whatever the fault left, the programmer serves the next command once it is gone.
    device->setPresent(true);
    device->setFaults({});
    EXPECT_EQ(operations::readChip(*bench, ui), Outcome::Done) << c.name;
}

INSTANTIATE_TEST_SUITE_P(EveryCommandEveryFault, FaultMatrix, ::testing::ValuesIn(kFaultCases),
                         [](const auto& param) {
                             std::string name = param.param.name;
                             for (char& ch : name) {
                                 if (ch == '/')
                                     ch = '_';
                             }
                             return name;
                         });

}  // namespace
