// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/bench_steps.h"

#include <filesystem>

#include "app/config.h"
#include "app/messages.h"
#include "cli/intel_hex_writer.h"
#include "cli/interrupt.h"
#include "util/regular_file.h"

namespace cli {
namespace {

using operations::Cause;
using operations::Outcome;

std::string hexAddress(std::uint64_t address) {
    char out[24];
    std::snprintf(out, sizeof out, "0x%06llX", static_cast<unsigned long long>(address));
    return out;
}

// `word` as one word of a POSIX shell's command line.
std::string shellWord(const std::string& word) {
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "abcdefghijklmnopqrstuvwxyz"
                                            "0123456789-_./:=+,@") == std::string::npos;
    if (plain)
        return word;
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Where write --offset keeps the chip it read when no --backup folder is given: beside
// the log (the user's state folder for an installed program, the program's folder
// otherwise), readable by the user alone. "" when there is no such folder.
std::string rescueFolder() {
    const std::string log = app::messageText(app::MsgLogFile);
    if (log.empty())
        return {};
    const std::string folder = (std::filesystem::path(log).parent_path() / "rescue").string();
    return app::makeUserFolder(folder) ? folder : std::string();
}

}  // namespace

std::string benchUsageError(const Options& o) {
    const std::string& c = o.command;
    const bool changesChip = c == "write" || c == "erase" || c == "auto";
    if (!o.backup.empty() && !changesChip)
        return "--backup is for write, erase and auto";
    if (o.offset && c != "write")
        return "--offset is for write";
    // An Intel HEX file places its bytes by its own addresses.
    if (o.offset && !o.arguments.empty() && isIntelHexName(o.arguments[0]))
        return "--offset takes a binary file";
    if (o.passes != 1 && c != "read" && c != "blank-check" && o.backup.empty() && !o.offset)
        return "--passes is for read, blank-check, --backup and write --offset";
    const bool verifies = c == "verify" || c == "auto" || c == "write";
    if (o.diagnose && !verifies && c != "read" && c != "erase" && c != "blank-check")
        return "--diagnose is for verify, auto, write, erase, read and blank-check";
    return {};
}

int BenchSteps::loadPatch(const operations::Workbench& bench) {
    if (o_.command != "write" || !o_.offset)
        return kExitDone;
    const std::string& path = o_.arguments[0];
    // Read before the chip is: a file that cannot be, or does not fit, changes nothing.
    std::string error;
    const util::FileRead read = util::readRegularFile(path, bench.chip.capacity, patch_, &error);
    if (read == util::FileRead::Missing || read == util::FileRead::Failed) {
        ui_.showMessage(app::messageText(app::MsgOpenFileError));
        ui_.note(error);
        return kExitFailed;
    }
    if (patch_.empty()) {
        ui_.note(path + " is empty: no patch; nothing was changed");
        return kExitUsage;
    }
    if (read == util::FileRead::TooLarge ||
        !operations::patchFits(bench.chip, *o_.offset, patch_.size())) {
        const std::string size = read == util::FileRead::TooLarge
                                     ? "more than " + std::to_string(patch_.size())
                                     : std::to_string(patch_.size());
        ui_.note(path + " (" + size + " bytes) at " + hexAddress(*o_.offset) + " does not fit in " +
                 bench.chip.nameText() + " (" + std::to_string(bench.chip.capacity) +
                 " bytes); nothing was changed");
        return kExitUsage;
    }
    return kExitDone;
}

std::optional<Outcome> BenchSteps::before(operations::Workbench& bench) {
    const std::string& c = o_.command;
    checked_ = false;
    before_.clear();
    rescue_.clear();
    const std::uint32_t capacity = bench.chip.capacity;
    if (c == "blank-check") {
        report_.bytes = capacity;
        ui_.setPhaseBytes(capacity);
        operations::BlankCheck result;
        operations::Checksums sums;
        Cause cause = Cause::None;
        const Outcome o = operations::blankCheckChip(bench, ui_, o_.passes, result, sums, cause);
        if (o == Outcome::Done || o == Outcome::Mismatch) {
            report_.blank = result;
            report_.checksums = sums;
        }
        noteCause(cause);
        return o;
    }
    if (c == "write" && o_.offset)
        return patch(bench);
    operations::Backup saved;
    operations::Differences unstable;
    // An erase of a chip that is no SPI flash changes nothing: nothing to keep.
    if (o_.backup.empty() || (c == "erase" && bench.chip.type != catalogue::SpiFlash))
        return std::nullopt;
    ui_.setPhaseBytes(capacity);
    const Outcome o =
        operations::backupChip(bench, ui_, o_.backup, o_.passes, saved, unstable, before_);
    if (o_.passes > 1)
        report_.differences = unstable;
    if (o != Outcome::Done) {
        if (unstable.any())
            noteCause(Cause::Unstable);
        ui_.note("no backup: the chip was not changed");
        return o;
    }
    report_.backup = saved;
    return std::nullopt;
}

Outcome BenchSteps::patch(operations::Workbench& bench) {
    const std::string folder = o_.backup.empty() ? rescueFolder() : o_.backup;
    if (folder.empty()) {
        ui_.note("no folder for the rescue file (--backup names one); the chip was not changed");
        return Outcome::Failed;
    }
    const auto offset = static_cast<std::uint32_t>(*o_.offset);
    operations::Backup saved;
    operations::Differences unstable;
    const Outcome read = operations::readChipForPatch(bench, ui_, offset, patch_.size(), o_.passes,
                                                      folder, saved, unstable);
    if (o_.passes > 1)
        report_.differences = unstable;
    if (unstable.any())
        noteCause(Cause::Unstable);
    if (read != Outcome::Done)
        return read;
    report_.backup = saved;
    before_.assign(bench.buffer->image(), bench.buffer->image() + bench.chip.capacity);
    // Said before the erase: a second Ctrl-C ends the program without another word.
    rescue_ = saved.path + "; chipwright-cli" +
              (o_.device.empty() ? "" : " --device " + shellWord(o_.device)) + " -c " +
              shellWord(bench.chip.nameText()) + " auto " + shellWord(saved.path) +
              " writes it back";
    ui_.note("rescue file: the chip as it was is saved in " + rescue_);
    const Outcome o = operations::applyPatch(bench, ui_, offset, patch_);
    if (o == Outcome::Done)
        report_.checksums = operations::bufferChecksums(bench);
    return o;
}

Outcome BenchSteps::after(operations::Workbench& bench, Outcome outcome) {
    const Outcome ended = check(bench, outcome);
    // Ctrl-C in a check's read stops the run as it would stop the command.
    const Outcome result = checked_ && interruptRequested() ? Outcome::Cancelled : ended;
    if (!rescue_.empty() && result != Outcome::Done)
        ui_.note("the patch did not finish: the chip's old content is in the rescue file " +
                 rescue_);
    return result;
}

Outcome BenchSteps::check(operations::Workbench& bench, Outcome outcome) {
    const std::string& c = o_.command;
    if (outcome == Outcome::Mismatch && (c == "verify" || c == "auto" || c == "write")) {
        // A write's own read-back found the chip other than written: the cause is
        // looked for at once, the chip being at hand.
        if (!o_.diagnose && c != "write") {
            ui_.note("(--diagnose reads the chip again to name the likely cause)");
            return outcome;
        }
        ui_.note("diagnosis: reading the chip twice");
        checked_ = true;
        noteCause(operations::diagnoseVerifyFailure(bench, ui_, before_));
        return outcome;
    }
    if (c == "read" &&
        (outcome == Outcome::Done || (report_.differences && report_.differences->any()))) {
        checked_ = true;
        const Cause cause = operations::diagnoseRead(
            bench, ui_, report_.differences.value_or(operations::Differences{}), o_.diagnose);
        noteCause(cause);
        if (cause != Cause::NoChip)
            return outcome;
        // A read of nothing is no read of the chip: no file, no checksums.
        report_.checksums.reset();
        return Outcome::Failed;
    }
    if (c == "erase" && o_.diagnose && outcome == Outcome::Done) {
        checked_ = true;
        ui_.setPhaseBytes(bench.chip.capacity);
        operations::BlankCheck result;
        operations::Checksums sums;
        Cause cause = Cause::None;
        const Outcome o = operations::checkErased(bench, ui_, result, sums, cause);
        if (o == Outcome::Done || cause != Cause::None) {
            report_.blank = result;
            report_.checksums = sums;
        }
        noteCause(cause);
        return o;
    }
    return outcome;
}

void BenchSteps::afterDetect(const operations::Workbench& bench,
                             const std::optional<operations::ChipIds>& ids) {
    // Only an SPI flash answers IDs; an EEPROM's mode reads FF FF from any chip.
    if (ids && bench.chip.type == catalogue::SpiFlash && operations::idsMeanNoChip(*ids))
        noteCause(Cause::NoChip);
}

void BenchSteps::noteCause(Cause cause) {
    cli::noteCause(ui_, report_, cause);
}

void noteCause(TerminalFrontend& ui, Report& report, Cause cause) {
    if (cause == Cause::None)
        return;
    const operations::Diagnosis d = operations::describe(cause);
    report.diagnosis = d.code;
    ui.note(std::string("diagnosis: ") + d.code + ": " + d.explanation);
    ui.note(std::string("suggestion: ") + d.suggestion);
}

void printBenchReport(std::FILE* out, const Report& report) {
    if (report.backup)
        std::fprintf(out, "backup %s\n", report.backup->path.c_str());
    if (const auto& b = report.blank; b && b->blank) {
        std::fprintf(out, "blank\n");
    } else if (b) {
        std::fprintf(out, "not blank: %llu %s, the first at 0x%06X\n",
                     static_cast<unsigned long long>(b->nonBlankBytes),
                     b->nonBlankBytes == 1 ? "byte" : "bytes", b->firstNonBlank);
    }
}

}  // namespace cli
