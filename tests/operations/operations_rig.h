// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The commands end to end: a Workbench over the simulated programmer, a scripted
// Frontend that records what the person at the screen would see and answers dialogs from
// queues, and a folder of its own with config.ini, the chip database and the log.

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/messages.h"
#include "catalogue/chip_database.h"
#include "catalogue/chip_record.h"
#include "operations/commands.h"
#include "operations/frontend.h"
#include "operations/workbench.h"
#include "sim/sim_bus.h"
#include "sim/sim_programmer.h"
#include "tests/support/chip_test_support.h"
#include "tests/support/programmer_contract.h"
#include "tests/support/sim_rig.h"
#include "tests/support/temp_dir.h"
#include "util/text_codec.h"

namespace testsupport {

// The command-set contract comes along with its helpers; the command set's own tests run
// it.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ProgrammerContract);

// Records status texts, message boxes and questions as "status:", "box:" and "ask:"
// events in order; progress separately.
class ScriptedFrontend : public operations::Frontend {
  public:
    void showStatus(const std::string& text) override { events.push_back("status:" + text); }
    void showProgress(int percent) override { progress.push_back(percent); }
    void showMessage(const std::string& text) override { events.push_back("box:" + text); }
    bool askOkCancel(const std::string& text) override {
        events.push_back("ask:" + text);
        const bool ok = answers.empty() || answers.front();
        if (!answers.empty())
            answers.pop_front();
        return ok;
    }
    // Runs the action queued for this pump, if any: a command the user chooses
    // meanwhile.
    void pumpMessage() override {
        ++pumps;
        if (!onPump.empty() && pumps >= onPump.front().first) {
            auto action = std::move(onPump.front().second);
            onPump.pop_front();
            action();
        }
    }
    bool cancelRequested() override { return cancelAfterPumps >= 0 && pumps >= cancelAfterPumps; }
    std::optional<std::string> chooseFileToOpen(const operations::FileDialog& dialog) override {
        lastDialog = dialog;
        return nextFile();
    }
    std::optional<std::string> chooseFileToSave(const operations::FileDialog& dialog) override {
        lastDialog = dialog;
        return nextFile();
    }
    operations::FillRequest runFillDialog() override { return fill; }
    void refreshHexView() override { ++refreshes; }
    void chipSelected(const catalogue::ChipRecord& chip, const std::string& capacityText,
                      bool eraseEnabled) override {
        selected = chip;
        capacity = capacityText;
        erase = eraseEnabled;
    }
    void setCaptionSuffix(const std::string& suffix) override { caption = suffix; }

    // After the `pump`th pump (counted from 1), run `action` once.
    void at(int pump, std::function<void()> action) {
        onPump.emplace_back(pump, std::move(action));
    }

    std::vector<std::string> events;
    std::vector<int> progress;
    std::deque<std::pair<int, std::function<void()>>> onPump;
    std::deque<std::optional<std::string>> files;
    std::deque<bool> answers;
    operations::FillRequest fill;
    operations::FileDialog lastDialog;
    int cancelAfterPumps = -1;
    int pumps = 0;
    int refreshes = 0;
    catalogue::ChipRecord selected{};
    std::string capacity;
    bool erase = false;
    std::string caption;

  private:
    std::optional<std::string> nextFile() {
        if (files.empty())
            return std::nullopt;
        auto file = files.front();
        files.pop_front();
        return file;
    }
};

// The chips of the test database: 1 MB and 16 MB SPI flash, a 24-series EEPROM, and
// the fallback chip.
inline std::vector<catalogue::ChipRecord> testChips() {
    return {chip("W25Q80", "WINBOND", catalogue::SpiFlash, 0x100000, 0xEF, 0x13),
            chip("W25Q128", "WINBOND", catalogue::SpiFlash, 0x1000000, 0xEF, 0x17),
            chip("AT24C02", "ATMEL", catalogue::Eeprom24, 256, 0x1E, 0x02),
            chip("EN25T80", "EON", catalogue::SpiFlash, 0x100000, 0x1C, 0x31)};
}

class OperationsRig : public ::testing::Test {
  protected:
    void SetUp() override {
        writeConfig("English", "W25Q80");
        const auto image = catalogue::buildDatabaseImage(testChips());
        writeFile(dir.file("chips.cwdb"),
                  std::string_view(reinterpret_cast<const char*>(image.data()), image.size()));
        app::loadMessageTable(dir.dir());
        bus.addProgrammer(device);
        device->setEraseDurationMs(20);
        bench = std::make_unique<operations::Workbench>(bus, shortLinkLimits(),
                                                        shortProgrammerLimits());
        ASSERT_EQ(operations::startUp(*bench, ui, {}), operations::StartupResult::Ready);
        device->insertChip(bench->chip);
    }
    void TearDown() override { EXPECT_TRUE(device->protocolComplaints().empty()); }

    void writeConfig(const std::string& language, const std::string& chip) {
        const std::string section = "LogFile=log.txt\nDataBaseFile=chips.cwdb\n";
        writeFile(
            dir.file("config.ini"),
            util::utf8ToGbk("[Run]\nDefaultLanguage=" + language + "\nDefaultChipName=" + chip +
                            "\n[SimpleChinese]\n" + section + "[English]\n" + section));
    }

    // Selects the chip and puts one like it in the socket.
    void use(std::string_view name) {
        ASSERT_TRUE(operations::selectChipByName(*bench, ui, name));
        device->insertChip(bench->chip);
    }

    // The log's entries, each without its time stamp. An entry may hold line breaks of
    // its own (the chip line, the verify report): entries start where a line break is
    // followed by a time stamp.
    std::vector<std::string> logEntries() const {
        const std::string log = util::gbkToUtf8(readFile(dir.file("log.txt")));
        std::vector<std::string> entries;
        std::size_t textStart = std::string::npos;
        for (std::size_t at = log.find("\r\n"); at != std::string::npos;
             at = log.find("\r\n", at + 2)) {
            if (!isStamp(log, at + 2))
                continue;
            if (textStart != std::string::npos)
                entries.push_back(log.substr(textStart, at - textStart));
            textStart = at + 2 + kStampBytes;
        }
        if (textStart != std::string::npos)
            entries.push_back(log.substr(textStart));
        return entries;
    }
    // "2026/12/07/ 09:27:39.123: " at `at`.
    static bool isStamp(const std::string& log, std::size_t at) {
        static constexpr char kShape[] = "0000/00/00/ 00:00:00.000: ";
        if (log.size() < at + kStampBytes)
            return false;
        for (std::size_t i = 0; i < kStampBytes; ++i) {
            const char c = log[at + i];
            if (kShape[i] == '0' ? (c < '0' || c > '9') : c != kShape[i])
                return false;
        }
        return true;
    }
    static constexpr std::size_t kStampBytes = 26;
    // The entries written since the last call.
    std::vector<std::string> newLogEntries() {
        std::vector<std::string> all = logEntries();
        std::vector<std::string> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
        seen_ = all.size();
        return fresh;
    }
    std::vector<std::string> takeEvents() {
        std::vector<std::string> events = std::move(ui.events);
        ui.events.clear();
        return events;
    }
    // Marks the log and the events read so far as seen.
    void forget() {
        newLogEntries();
        takeEvents();
        ui.progress.clear();
    }

    TempDir dir;
    std::shared_ptr<sim::SimProgrammer> device = std::make_shared<sim::SimProgrammer>();
    sim::SimBus bus;
    ScriptedFrontend ui;
    std::unique_ptr<operations::Workbench> bench;

  private:
    std::size_t seen_ = 0;
};

}  // namespace testsupport
