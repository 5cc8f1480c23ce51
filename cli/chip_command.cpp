// SPDX-License-Identifier: GPL-3.0-or-later
// The command itself on the selected chip: its file loaded, the operation run, the
// read saved, and what an interrupted command left in the chip.
#include <algorithm>
#include <cstdio>
#include <system_error>

#include "app/messages.h"
#include "cli/input_file.h"
#include "cli/intel_hex_writer.h"
#include "operations/commands.h"
#include "util/safe_file.h"
#include "util/text_codec.h"

#include "cli/run_session.h"

namespace cli {

using operations::Outcome;

namespace {

// The version itself, out of the line that shows it ("Firmware version: V3.2").
std::string versionText(const std::string& shown) {
    const std::string prefix = oneLine(text(app::MsgFirmwareVersionIs));
    if (!shown.starts_with(prefix))
        return shown;
    const std::size_t start = shown.find_first_not_of(' ', prefix.size());
    return start == std::string::npos ? "" : shown.substr(start);
}

}  // namespace

int Run::loadInput(operations::Workbench& bench) {
    fileLength_ = bench.chip.capacity;
    if (o_.offset)
        return bench_.loadPatch(bench);
    if (o_.command != "write" && o_.command != "verify" && o_.command != "auto")
        return kExitDone;
    return loadChipFile(o_, bench, ui_, fileLength_);
}

Outcome Run::writeAndVerify(operations::Workbench& bench) {
    const Outcome written = operations::writeChip(bench, ui_);
    if (written != Outcome::Done || o_.noVerify || bench.chip.type != catalogue::SpiFlash)
        return written;
    return verifyWhole(bench);
}

// The whole chip compared, so that a failed verify reports every difference.
Outcome Run::verifyWhole(operations::Workbench& bench) {
    operations::Differences differences;
    const Outcome outcome = operations::verifyChipAll(bench, ui_, differences);
    if (outcome == Outcome::Mismatch)
        report_.differences = differences;
    return outcome;
}

// auto's own verify stops at the first difference, as the window's does; a failed one
// is compared once more, whole, so that the report lists every difference.
Outcome Run::autoAndListDifferences(operations::Workbench& bench) {
    const Outcome outcome = operations::autoProgram(bench, ui_);
    if (outcome != Outcome::Mismatch)
        return outcome;
    ui_.note("auto: comparing the whole chip to list every difference");
    if (const Outcome again = verifyWhole(bench); again != Outcome::Mismatch) {
        report_.differences = operations::Differences{};
        ui_.note("auto: the second compare found no difference: the chip reads unstably");
    }
    return outcome;
}

int Run::prepareOutput() {
    std::string error;
    if (o_.command == "read" && !toStdout() && !output_.open(o_.arguments[0], &error)) {
        ui_.note(error + "; the chip was not read");
        return kExitFailed;
    }
    if (!o_.backup.empty() && !util::folderTakesNewFiles(o_.backup, &error)) {
        ui_.note("--backup: " + error + "; the chip was not touched");
        return kExitFailed;
    }
    return kExitDone;
}

bool Run::saveOutput(operations::Workbench& bench) {
    const std::string& path = o_.arguments[0];
    const std::span<const unsigned char> image(bench.buffer->image(), bench.buffer->dataLength());
    std::string error;
    bool saved = false;
    if (isIntelHexName(path)) {
        const std::string hex = intelHexText(image);
        saved = output_.commit({reinterpret_cast<const unsigned char*>(hex.data()), hex.size()},
                               &error);
    } else {
        saved = output_.commit(image, &error);
    }
    if (!saved) {
        bench.log.write(error);
        ui_.note(error);
    }
    return saved;
}

bool Run::saveRead(operations::Workbench& bench) {
    if (!toStdout())
        return saveOutput(bench);
    const std::size_t length = bench.buffer->dataLength();
    if (std::fwrite(bench.buffer->image(), 1, length, s_.out) == length && std::fflush(s_.out) == 0)
        return true;
    ui_.note("cannot write the chip's bytes to stdout");
    bench.log.write("cannot write the chip's bytes to stdout");
    return false;
}

Outcome Run::runCommand(operations::Workbench& bench) {
    const std::string& c = o_.command;
    const bool transfer = c == "read" || c == "write" || c == "verify" || c == "auto";
    if (transfer) {
        report_.bytes = bench.chip.capacity;
        ui_.setPhaseBytes(bench.chip.capacity);
    }
    if (const auto o = bench_.before(bench))
        return *o;
    if (transfer)
        return runTransfer(bench);
    if (c == "erase")
        return operations::eraseChip(bench, ui_);
    return runProgrammerCommand(bench);
}

Outcome Run::runTransfer(operations::Workbench& bench) {
    const std::string& c = o_.command;
    const std::uint32_t capacity = bench.chip.capacity;
    operations::Differences differences;
    Outcome outcome = Outcome::Done;
    if (c == "read") {
        outcome = o_.passes > 1 ? operations::readChipPasses(bench, ui_, o_.passes, differences)
                                : operations::readChip(bench, ui_);
        if (o_.passes > 1)
            report_.differences = differences;
    } else if (c == "write") {
        outcome = writeAndVerify(bench);
    } else if (c == "verify" && fileLength_ < capacity && !o_.pad) {
        outcome = verifyFilePart(bench, ui_, fileLength_, o_.all, differences);
        if (outcome == Outcome::Mismatch)
            report_.differences = differences;
    } else if (c == "verify") {
        outcome = verifyWhole(bench);
    } else if (c == "auto") {
        outcome = autoAndListDifferences(bench);
    }
    if (outcome == Outcome::Done)
        startChecksums(bench);
    return outcome;
}

// After a read, a write, or a verify that passed, the buffer holds the chip's bytes
// (auto ends with its verify). The file's checksums are of its own bytes; a padded
// file's chip has its own.
void Run::startChecksums(operations::Workbench& bench) {
    const std::string& c = o_.command;
    const std::uint32_t capacity = bench.chip.capacity;
    const std::uint32_t length = c == "read" ? capacity : fileLength_;
    auto sums = [&bench, length] {
        return operations::checksumsOf({bench.buffer->image(), length});
    };
    if (length < capacity && (c != "verify" || o_.pad))
        report_.chipChecksums = operations::bufferChecksums(bench);
    try {
        checksums_ = std::async(std::launch::async, sums);
    } catch (const std::system_error&) {
        report_.checksums = sums();
    }
}

Outcome Run::runProgrammerCommand(operations::Workbench& bench) {
    const std::string& c = o_.command;
    if (c == "detect") {
        std::optional<operations::ChipIds> ids;
        const Outcome o = operations::detectChipIds(bench, ui_, ids);
        bench_.afterDetect(bench, ids);
        listDetected(s_.out, o_.json, *bench.database, ids, report_);
        return o;
    }
    if (c == "version" || c == "selftest") {
        const Outcome o = c == "version" ? operations::readFirmwareVersion(bench, ui_)
                                         : operations::selfTest(bench, ui_);
        if (o == Outcome::Done && c == "version" && !ui_.shown().empty())
            report_.firmwareVersion = versionText(ui_.shown().back());
        if (o == Outcome::Done && !o_.json && !ui_.shown().empty())
            std::fprintf(s_.out, "%s\n", ui_.shown().back().c_str());
        return o;
    }
    return updateFirmware(bench);
}

Outcome Run::updateFirmware(operations::Workbench& bench) {
    // Asked on the terminal before anything is sent; without one, --yes was checked with
    // the command line.
    if (!ui_.askOkCancel("Replace the programmer's firmware with " +
                         util::printableName(o_.arguments[0]) + "?"))
        return Outcome::Cancelled;
    ui_.setFile(o_.arguments[0]);
    ui_.setPhaseBytes(0);
    return operations::updateFirmware(bench, ui_);
}

// What an interrupted command left in the chip, from the last phase it reached.
std::string Run::stateAfterInterrupt() const {
    const std::string& c = o_.command;
    if (c == "update-firmware") {
        const auto& shown = ui_.shown();
        return std::find(shown.begin(), shown.end(), oneLine(text(app::MsgFirmwareUpdating))) !=
                       shown.end()
                   ? "programmer firmware partly replaced"
                   : "programmer firmware unchanged";
    }
    // Stopped in the read that comes first (the backup's, or the one a patch goes into):
    // the chip is as it was.
    if (!o_.backup.empty() && !report_.backup)
        return "chip unchanged";
    // Stopped in the check after the command: the command itself had ended.
    if (bench_.checked()) {
        if (c == "erase")
            return "chip erased, the check after the erase not finished";
        if (c == "auto" || c == "write")
            return "chip written, verify failed, its diagnosis not finished";
        return "chip unchanged";
    }
    // A patch ends in the steps of auto; a write is read back after it.
    const bool steps = c == "auto" || c == "write";
    const std::string phase = steps ? lastStepPhase() : c;
    if (phase == "auto")
        return "chip unchanged";
    if (phase == "write")
        return "chip partly written";
    if (phase == "erase")
        return "chip partly erased (the programmer may still be erasing it)";
    if (phase == "verify" && steps)
        return "chip written, verify not finished";
    return "chip unchanged";
}

std::string Run::lastStepPhase() const {
    std::string phase = "auto";
    // This chip's lines only: a --repeat run shows the chips before it too.
    const auto& shown = ui_.shown();
    for (auto line = shown.begin() + static_cast<std::ptrdiff_t>(messagesFrom_);
         line != shown.end(); ++line) {
        if (*line == oneLine(text(app::MsgErasing)))
            phase = "erase";
        else if (*line == oneLine(text(app::MsgWriting)))
            phase = "write";
        else if (*line == oneLine(text(app::MsgVerifying)))
            phase = "verify";
    }
    return phase;
}

}  // namespace cli
