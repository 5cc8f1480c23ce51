// SPDX-License-Identifier: GPL-3.0-or-later
#include "operations/workbench.h"

#include <algorithm>
#include <cstdio>

#include "app/config.h"
#include "app/messages.h"
#include "buffer/data_file.h"
#include "catalogue/chip_queries.h"
#include "operations/frame.h"
#include "operations/frontend.h"
#include "util/text_codec.h"

namespace operations {
namespace {

constexpr std::uint32_t kKilo = 1024;
constexpr std::uint32_t kMega = 1024 * 1024;
constexpr char kParagraph[] = "\r\n\r\n";

std::string formatted(const char* format, long value) {
    char out[48];
    std::snprintf(out, sizeof out, format, value);
    return out;
}

}  // namespace

Workbench::Workbench(usblink::UsbBus& bus, usblink::LinkLimits linkLimits,
                     protocol::ProgrammerLimits programmerLimits)
    : database(std::make_unique<catalogue::ChipDatabase>()),
      finder(bus),
      link(finder, linkLimits),
      programmer(programmerLimits) {
    programmer.attach(link);
}

Workbench::~Workbench() = default;

bool Workbench::busy() const {
    return operationsRunning > 0 || firmwareUpdateRunning || programmer.state() != protocol::Idle;
}

std::string chipInformation(const catalogue::ChipRecord& chip) {
    const std::uint32_t n = chip.capacity;
    if (chip.type == catalogue::Eeprom93 && chip.organisation == 8) {
        if (n >= kMega)
            return formatted("%ldM x8bit\r\n\r\n", n / kMega);
        if (n >= kKilo)
            return formatted("%ldK x8bit\r\n\r\n", n / kKilo);
        return formatted("%ld x8bit\r\n\r\n", n);
    }
    if (chip.type == catalogue::Eeprom93) {
        // Counted in 16-bit words, whose byte order the buffer shows high byte first.
        std::string size;
        if (n >= 2 * kMega)
            size = formatted("%ldM x16bit\r\n\r\n", n / (2 * kMega));
        else if (n >= 2 * kKilo)
            size = formatted("%ldK x16bit\r\n\r\n", n / (2 * kKilo));
        else
            size = formatted("%ld x16bit\r\n\r\n", n / 2);
        return size + text(app::MsgHighByteFirst) + kParagraph;
    }
    if (n >= kMega)
        return formatted("%ldMB\r\n\r\n", n / kMega);
    if (n >= kKilo)
        return formatted("%ldKB\r\n\r\n", n / kKilo);
    return formatted("%ldB\r\n\r\n", n);
}

void selectChip(Workbench& bench, Frontend& ui, const catalogue::ChipRecord& chip) {
    bench.chip = chip;
    // Every chip read, write, compare and backup runs over the selected chip's capacity
    // in the buffer. The loaded database holds no larger chip, but a record from
    // anywhere else must not take them past the buffer's end either.
    bench.chip.capacity = std::min(chip.capacity, buffer::kImageSize);
    if (bench.buffer)
        bench.buffer->setDataLength(bench.chip.capacity);
    const std::string information = chipInformation(bench.chip);
    bench.log.write(text(app::MsgInfoChip) + chip.nameText() + ", " +
                    text(app::MsgInfoManufacturer) + chip.manufacturerText() + ", " + information);
    bench.eraseEnabled = chip.type == catalogue::SpiFlash;
    ui.chipSelected(bench.chip, information, bench.eraseEnabled);
    if (bench.rememberChip)
        app::rememberDefaultChip(chip.nameText());
}

bool selectChipByName(Workbench& bench, Frontend& ui, std::string_view name) {
    catalogue::ChipRecord found;
    if (!catalogue::findByName(*bench.database, name, found)) {
        ui.showMessage(text(app::MsgDatabaseError));
        return false;
    }
    selectChip(bench, ui, found);
    return true;
}

StartupResult startUp(Workbench& bench, Frontend& ui, const std::vector<std::string>& arguments,
                      const buffer::BlockAllocator& allocate) {
    if (!catalogue::loadDatabase(text(app::MsgDatabaseFile), *bench.database)) {
        ui.showMessage(text(app::MsgDatabaseError));
        return StartupResult::NoDatabase;
    }
    bench.buffer = buffer::DataBuffer::create(allocate);
    if (!bench.buffer) {
        ui.showMessage(text(app::MsgMemoryOverflow));
        return StartupResult::NoMemory;
    }

    // The configured default, else the fallback; with neither, the chip stays cleared.
    catalogue::ChipRecord chip{};
    if (!catalogue::findByName(*bench.database, util::utf8ToGbk(text(app::MsgDefaultChipName)),
                               chip)) {
        catalogue::findByName(*bench.database, kFallbackChipName, chip);
    }
    selectChip(bench, ui, chip);

    Frame frame(bench, ui);
    if (!bench.link.open()) {
        frame.showInfo(text(app::MsgNoProgrammer));
        if (const std::string& reason = bench.link.lastError(); !reason.empty())
            frame.log(reason);
        frame.message(text(app::MsgNoProgrammer));
    }

    // Exactly one argument names a file to load; none or several load nothing.
    if (arguments.size() == 1) {
        const buffer::LoadResult result = buffer::loadDataFile(*bench.buffer, arguments[0]);
        if (result.loaded) {
            if (result.tooLong)
                frame.message(text(app::MsgFileTooLong));
            ui.refreshHexView();
        } else {
            frame.log(result.error);
            frame.message(text(app::MsgOpenFileError));
        }
    }
    return StartupResult::Ready;
}

}  // namespace operations
