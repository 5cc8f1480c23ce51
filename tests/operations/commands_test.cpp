// SPDX-License-Identifier: GPL-3.0-or-later
// Detect, version, self test, the firmware update, the file and buffer commands, start-up
// and the log file.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "app/messages.h"
#include "buffer/data_buffer.h"
#include "operations/bench_checks.h"
#include "operations/checks.h"
#include "operations/commands.h"
#include "operations/log.h"
#include "tests/operations/operations_rig.h"

using operations::Outcome;
using testsupport::readFile;
using testsupport::writeFile;
using Strings = std::vector<std::string>;

namespace {

class Commands : public testsupport::OperationsRig {};

TEST_F(Commands, DetectSelectsAKnownChipAndReportsAnUnknownOne) {
    // The socket holds the 16 MB chip while the 1 MB one is selected.
    catalogue::ChipRecord other = testsupport::testChips()[1];
    device->insertChip(other);
    forget();
    EXPECT_EQ(operations::detectChip(*bench, ui), Outcome::Done);
    EXPECT_EQ(bench->chip.nameBytes(), "W25Q128");
    EXPECT_EQ(bench->buffer->dataLength(), 0x1000000u);
    EXPECT_EQ(ui.capacity, "16MB\r\n\r\n");
    EXPECT_EQ(takeEvents(), (Strings{"status:Chip type: W25Q128   ", "box:Chip type: W25Q128   "}));
    EXPECT_EQ(newLogEntries(), (Strings{"Detect chip!", "Chip:W25Q128, ManuWINBOND, 16MB\r\n\r\n",
                                        "ShowInfo: Chip type: W25Q128   "}));

    // An empty socket reads FF FF, never looked up; an unknown pair is shown as read.
    device->removeChip();
    EXPECT_EQ(operations::detectChip(*bench, ui), Outcome::Failed);
    EXPECT_EQ(takeEvents(), (Strings{"status:Chip type is unknown!",
                                     "box:Chip type is unknown!ManufacturerID:FF\r\nDeviceID:FF"}));
    other.manufacturerId = 0x1C;
    other.deviceId = 0x05;
    device->insertChip(other);
    EXPECT_EQ(operations::detectChip(*bench, ui), Outcome::Failed);
    EXPECT_EQ(newLogEntries().back(), "ManufacturerID:1C\r\nDeviceID:5");
    EXPECT_EQ(bench->chip.nameBytes(), "W25Q128");
    device->insertChip(bench->chip);
}

TEST_F(Commands, VersionAndSelfTestShowTheirAnswers) {
    forget();
    EXPECT_EQ(operations::readFirmwareVersion(*bench, ui), Outcome::Done);
    EXPECT_EQ(takeEvents().back(), "box:Firmware version:  Chipwright SIM V1.00    ");
    EXPECT_EQ(operations::selfTest(*bench, ui), Outcome::Done);
    EXPECT_EQ(takeEvents(),
              (Strings{"status:Auto test start!", "status:Auto test result: Hardware is OK!",
                       "box:Auto test result: Hardware is OK!"}));
    EXPECT_EQ(newLogEntries().back(), "Auto test result: Hardware is OK!");
}

TEST_F(Commands, FirmwareUpdateSendsTheFileAsItIs) {
    const std::string image(262144, '\x5A');
    writeFile(dir.file("full.tnx"), image);
    writeFile(dir.file("over.tnx"), image + "x");
    writeFile(dir.file("small.tnx"), std::string(1000, '\x33'));
    writeFile(dir.file("empty.tnx"), "");
    ui.files = {dir.file("full.tnx"), dir.file("over.tnx"), dir.file("small.tnx"),
                dir.file("empty.tnx")};
    forget();
    EXPECT_EQ(operations::updateFirmware(*bench, ui), Outcome::Done);
    EXPECT_EQ(device->firmwareImage().size(), 262144u);
    EXPECT_EQ(ui.lastDialog.filters[0].description, "Updata File(*.tnx)");
    // A programmer that answers at once is never asked about.
    EXPECT_EQ(newLogEntries(),
              (Strings{"Firmware updata!", "ShowInfo: Wait for linking!",
                       "ShowInfo: Firmware updating...", "ShowInfo: Firmware updata ok!"}));
    EXPECT_EQ(takeEvents().back(), "box:Firmware updata ok!");

    EXPECT_EQ(operations::updateFirmware(*bench, ui), Outcome::Failed);
    EXPECT_EQ(takeEvents(), (Strings{"box:File format error!"}));
    EXPECT_EQ(operations::updateFirmware(*bench, ui), Outcome::Done);
    EXPECT_EQ(device->firmwareImage(), std::vector<std::uint8_t>(1000, 0x33));
    EXPECT_EQ(operations::updateFirmware(*bench, ui), Outcome::Failed);
    EXPECT_EQ(takeEvents().back(), "box:File format error!");
    EXPECT_FALSE(bench->firmwareUpdateRunning);

    // A folder, a FIFO nobody writes to and an endless device are no image: each is
    // refused at once as a file that cannot be opened.
    ASSERT_EQ(mkfifo(dir.file("fifo.tnx").c_str(), 0600), 0);
    ui.files = {dir.path(), dir.file("fifo.tnx"), "/dev/zero"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(operations::updateFirmware(*bench, ui), Outcome::Failed);
        EXPECT_EQ(takeEvents().back(), "box:" + app::messageText(app::MsgFirmwareOpenError));
    }
}

TEST_F(Commands, FirmwareUpdateWaitsForTheProgrammerAndLetsChipCommandsRunMeanwhile) {
    writeFile(dir.file("fw.tnx"), std::string(4096, '\x11'));
    device->setPresent(false);
    ui.files = {dir.file("fw.tnx"), dir.file("fw.tnx")};
    // While it waits: a second update is refused; a chip read runs to its end; then the
    // programmer comes back and the first update goes on.
    Outcome second = Outcome::Done;
    Outcome read = Outcome::Failed;
    ui.at(3, [&] { second = operations::updateFirmware(*bench, ui); });
    ui.at(6, [&] {
        device->setPresent(true);
        read = operations::readChip(*bench, ui);
    });
    EXPECT_EQ(operations::updateFirmware(*bench, ui), Outcome::Done);
    EXPECT_EQ(second, Outcome::Busy);
    EXPECT_EQ(read, Outcome::Done);
    EXPECT_EQ(device->firmwareImage().size(), 4096u);

    // Cancel at the question before the 51st attempt ends it with message 68.
    device->setPresent(false);
    ui.answers = {false};
    ui.files = {dir.file("fw.tnx")};
    forget();
    EXPECT_EQ(operations::updateFirmware(*bench, ui), Outcome::Cancelled);
    EXPECT_EQ(takeEvents(),
              (Strings{"status:Wait for linking!",
                       "ask:Please click \"OK\", and link programmer to computer in 10 seconds!",
                       "status:Firmware updata error!", "box:Firmware updata error!"}));
    EXPECT_FALSE(bench->busy());
}

TEST_F(Commands, FilesLoadAndSaveAndSayWhenTheyCannot) {
    const std::string data = std::string(0x100000, '\x12') + "xyz";
    writeFile(dir.file("long.bin"), data);
    ui.files = {dir.file("long.bin"), std::nullopt, dir.file("missing.hex")};
    forget();
    EXPECT_EQ(operations::openFile(*bench, ui), Outcome::Done);
    EXPECT_EQ(takeEvents(), (Strings{"box:File is too long!"}));
    EXPECT_EQ(ui.caption, "   " + dir.file("long.bin"));
    EXPECT_EQ(bench->buffer->image()[0xFFFFF], 0x12);
    EXPECT_EQ(operations::openFile(*bench, ui), Outcome::Cancelled);
    EXPECT_EQ(operations::openFile(*bench, ui), Outcome::Failed);
    EXPECT_EQ(takeEvents(), (Strings{"box:Open file error!"}));
    const Strings log = newLogEntries();
    EXPECT_EQ(Strings(log.begin(), log.begin() + 5),
              (Strings{"Load file!", dir.file("long.bin"), "Load file!", "Load file cancel!",
                       "Load file!"}));
    EXPECT_EQ(log[6], "Open file error!");

    // A save writes the chip's bytes; one that cannot happen says so.
    ui.files = {dir.file("out.bin"), dir.file("no-such-folder/out.bin")};
    EXPECT_EQ(operations::saveFile(*bench, ui), Outcome::Done);
    EXPECT_EQ(readFile(dir.file("out.bin")), data.substr(0, 0x100000));
    EXPECT_TRUE(ui.lastDialog.confirmOverwrite);
    EXPECT_EQ(operations::saveFile(*bench, ui), Outcome::Failed);
    EXPECT_EQ(takeEvents(), (Strings{"status:Save file successful!", "box:Open file error!"}));

    // A name cannot forge a log entry of its own: its control characters are escaped.
    forget();
    ui.files = {dir.file("x\r\n00:00:00.000: Verify chip ok!\x1B.bin")};
    EXPECT_EQ(operations::saveFile(*bench, ui), Outcome::Done);
    EXPECT_EQ(newLogEntries()[1], dir.file("x\\r\\n00:00:00.000: Verify chip ok!\\x1B.bin"));
}

TEST_F(Commands, CaptionSuffixKeepsTheLast50BytesOfALongPathWholeCharacters) {
    const std::string sixty(60, 'a');
    EXPECT_EQ(operations::captionSuffixFor(sixty), "   " + sixty);
    const std::string sixtyOne = "b" + sixty;
    EXPECT_EQ(operations::captionSuffixFor(sixtyOne), "   ..." + sixty.substr(10));
    // "é" is two bytes; the cut would fall inside one.
    std::string accented = std::string(12, 'c') + "\xC3\xA9" + std::string(49, 'd');
    EXPECT_EQ(operations::captionSuffixFor(accented), "   ..." + std::string(49, 'd'));
}

TEST_F(Commands, FillAndSwapChangeTheBufferAndItsMarks) {
    ui.fill = {true, "10", "4", "AA"};
    EXPECT_EQ(operations::fillBuffer(*bench, ui), Outcome::Done);
    EXPECT_EQ(bench->buffer->image()[0x13], 0xAA);
    EXPECT_TRUE(bench->buffer->isChanged(0x10));
    ui.fill = {true, "100000", "1", "0"};
    EXPECT_EQ(operations::fillBuffer(*bench, ui), Outcome::Failed);
    EXPECT_EQ(takeEvents().back(), "box:Start address error!");
    ui.fill = {false, "0", "1", "0"};
    EXPECT_EQ(operations::fillBuffer(*bench, ui), Outcome::Cancelled);

    bench->buffer->image()[0] = 0x12;
    bench->buffer->image()[1] = 0x34;
    forget();
    EXPECT_EQ(operations::swapBytes(*bench, ui), Outcome::Done);
    EXPECT_EQ(bench->buffer->image()[0], 0x34);
    EXPECT_FALSE(bench->buffer->isChanged(0x10));
    EXPECT_TRUE(newLogEntries().empty());
}

TEST_F(Commands, StartUpFallsBackToTheDefaultChipAndSaysWhenNoProgrammerIsThere) {
    writeConfig("English", "NO-SUCH-CHIP");
    app::loadMessageTable(dir.dir());
    device->setPresent(false);
    writeFile(dir.file("start.bin"), std::string(16, '\x77'));
    testsupport::ScriptedFrontend fresh;
    operations::Workbench other(bus);
    ASSERT_EQ(operations::startUp(other, fresh, {dir.file("start.bin")}),
              operations::StartupResult::Ready);
    EXPECT_EQ(other.chip.nameBytes(), "EN25T80");
    EXPECT_NE(readFile(dir.file("config.ini")).find("DefaultChipName=EN25T80"), std::string::npos);
    EXPECT_EQ(fresh.events, (Strings{"status:No programmer linked to computer!",
                                     "box:No programmer linked to computer!"}));
    EXPECT_EQ(other.buffer->image()[15], 0x77);

    // Without the database nothing else starts; without memory the program ends.
    ::unlink(dir.file("chips.cwdb").c_str());
    operations::Workbench third(bus);
    EXPECT_EQ(operations::startUp(third, fresh, {}), operations::StartupResult::NoDatabase);
    EXPECT_FALSE(third.ready());
    EXPECT_EQ(operations::readChip(third, fresh), Outcome::Failed);
    EXPECT_EQ(fresh.events.back(), "box:Database error!");

    // A database whose checksum is right but one of whose chips is larger than the
    // buffer is no database either.
    auto chips = testsupport::testChips();
    chips[1].capacity = 0x4000000;
    const auto image = catalogue::buildDatabaseImage(chips);
    writeFile(dir.file("chips.cwdb"), std::string(image.begin(), image.end()));
    operations::Workbench fourth(bus);
    EXPECT_EQ(operations::startUp(fourth, fresh, {}), operations::StartupResult::NoDatabase);
    EXPECT_EQ(fresh.events.back(), "box:Database error!");
}

TEST(Log, EntriesStartOnANewLineAndAFullFileStartsAgain) {
    testsupport::TempDir dir;
    const std::string path = dir.file("log.txt");
    operations::Log log([&] { return path; });
    log.setClock([] { return std::uint64_t{123456007}; }, [] { return std::time_t{0}; });
    log.write("first");
    const std::string first = readFile(path);
    EXPECT_EQ(first.substr(0, 2), "\r\n");
    EXPECT_EQ(first.substr(first.size() - 11), ".007: first");

    // At the limit an entry is appended; one byte more and the file starts again.
    writeFile(path, std::string(operations::kLogSizeLimit, 'x'));
    log.write("kept");
    EXPECT_EQ(readFile(path).size(), operations::kLogSizeLimit + first.size() - 1);
    writeFile(path, std::string(operations::kLogSizeLimit + 1, 'x'));
    log.write("alone");
    EXPECT_EQ(readFile(path), first.substr(0, first.size() - 5) + "alone");

    // Text is GBK on disk; an entry that cannot be written is dropped.
    log.write("芯片");
    EXPECT_EQ(readFile(path).substr(readFile(path).size() - 4), "\xD0\xBE\xC6\xAC");
    operations::Log nowhere([&] { return dir.file("missing/log.txt"); });
    nowhere.write("dropped");
}

TEST(Diagnosis, NamesTheCauseTheEvidenceShowsAndNoOther) {
    using operations::Cause;
    // Programming only clears bits: without an erase the chip keeps its old 0s (old AND
    // data); a write that never reached the cells leaves the data's 0s at 1.
    const std::vector<unsigned char> wanted{0x00, 0x12, 0xFF, 0x34};
    std::vector<unsigned char> chip{0x00, 0x10, 0x7F, 0x34};
    operations::Evidence e;
    e.wanted = wanted;
    e.chip = chip;
    EXPECT_EQ(operations::diagnose(e), Cause::NotErased);
    chip = {0xFF, 0x12, 0xFF, 0x3C};
    EXPECT_EQ(operations::diagnose(e), Cause::WriteNoEffect);
    chip[2] = 0xFE;  // both kinds: no pattern of its own...
    EXPECT_EQ(operations::diagnose(e), Cause::None);
    const std::vector<unsigned char> old = chip;
    e.before = old;  // ...but the chip as it was before the write is one
    EXPECT_EQ(operations::diagnose(e), Cause::WriteNoEffect);
    // Old bytes within the data: unchanged, yet the erase was what it lacked.
    chip = {0x00, 0x02, 0x0F, 0x34};
    e.before = chip;
    EXPECT_EQ(operations::diagnose(e), Cause::NotErased);
    e.readsDiffered = true;
    EXPECT_EQ(operations::diagnose(e), Cause::Unstable);

    // All 0xFF is no chip, unless the chip answered its IDs (then nothing was written).
    const std::vector<unsigned char> empty(4, 0xFF);
    e = {};
    e.wanted = wanted;
    e.chip = empty;
    EXPECT_EQ(operations::diagnose(e), Cause::NoChip);
    e.ids = operations::ChipIds{0xEF, 0x40};
    EXPECT_EQ(operations::diagnose(e), Cause::WriteNoEffect);
    e.ids = operations::ChipIds{0x00, 0x00};
    EXPECT_EQ(operations::diagnose(e), Cause::NoChip);

    // An EEPROM's halves repeating is a wrap; an erased one's are not.
    const std::vector<unsigned char> halves{0x12, 0x34, 0x12, 0x34};
    e = {};
    e.eeprom = true;
    e.chip = halves;
    EXPECT_EQ(operations::diagnose(e), Cause::Wraps);
    e.chip = empty;
    EXPECT_EQ(operations::diagnose(e), Cause::None);
    e = {};
    e.afterErase = true;
    e.chip = halves;
    EXPECT_EQ(operations::diagnose(e), Cause::EraseNoEffect);
    EXPECT_EQ(operations::causeOf(operations::describe(Cause::Wraps).code), Cause::Wraps);
    EXPECT_EQ(operations::causeOf(operations::describe(Cause::Unknown).code), Cause::Unknown);

    const operations::BlankCheck blank = operations::blankCheckOf(old);
    EXPECT_EQ(blank.firstNonBlank, 1u);
    EXPECT_EQ(blank.nonBlankBytes, 3u);

    // A chip's name never reaches the file system as a path.
    catalogue::ChipRecord odd{};
    catalogue::setField(odd.name, "../W25Q 80");
    const std::string name = operations::backupFileName(odd, 0, {0, std::string(64, 'a')});
    EXPECT_EQ(name.substr(0, 11), ".._W25Q_80-");
    EXPECT_EQ(name.substr(name.size() - 13), "-aaaaaaaa.bin");
}

// A backup is only ever a new file: names taken in a shared folder (a planted link to
// someone's file, a backup of the same second) are passed over, never written through.
TEST_F(Commands, BackupsAreNewFilesUnderNamesNobodyTook) {
    const std::string folder = dir.file("backups");
    std::filesystem::create_directory(folder);
    writeFile(dir.file("victim"), "keep");
    const std::vector<std::uint8_t> bytes(4096, 0x5A);
    const auto sums = operations::checksumsOf(bytes);
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now; t < now + 3; ++t) {
        const std::string name = operations::backupFileName(bench->chip, t, sums);
        ASSERT_EQ(symlink(dir.file("victim").c_str(), (folder + "/" + name).c_str()), 0);
    }
    operations::Backup first;
    operations::Backup second;
    ASSERT_TRUE(operations::saveBackup(*bench, ui, folder, bytes, first));
    ASSERT_TRUE(operations::saveBackup(*bench, ui, folder, bytes, second));
    EXPECT_NE(first.path, second.path);
    for (const auto* saved : {&first, &second}) {
        EXPECT_FALSE(std::filesystem::is_symlink(saved->path)) << saved->path;
        EXPECT_EQ(readFile(saved->path), std::string(bytes.begin(), bytes.end()));
    }
    EXPECT_EQ(readFile(dir.file("victim")), "keep");
}

}  // namespace
