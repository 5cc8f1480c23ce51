// SPDX-License-Identifier: GPL-3.0-or-later
// A command that needs the programmer: the bus (real or simulated) opened, the chip
// selected, the command run on the chip in the socket, and the programmer left the way
// the next run needs it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "app/messages.h"
#include "catalogue/chip_queries.h"
#include "cli/interrupt.h"
#include "link/libusb/libusb_bus.h"
#include "operations/commands.h"
#include "util/safe_file.h"
#include "util/text_codec.h"

#include "cli/run_session.h"

namespace cli {
namespace {

using operations::Outcome;

constexpr double kMega = 1e6;
// -c auto: the chip is the one whose IDs the socket answers.
constexpr const char* kAutoChip = "AUTO";

}  // namespace

int Run::withProgrammer() {
    std::unique_ptr<usblink::UsbBus> bus;
    if (o_.simulate) {
        std::string fault;
        bus = simulatedBus(&fault);
        if (!bus)
            return usage("unknown simulator fault " + fault);
    } else {
        bus = std::make_unique<usblink::LibusbBus>();
    }
    // Declared after the bus: the bench, and the link in it, go first.
    operations::Workbench bench(*bus);
    bench.rememberChip = false;
    bench.finder.restrictTo(o_.device);

    catalogue::ChipRecord chip{};
    catalogue::ChipRecord simulated{};
    if (const auto ended = prepareBench(bench, chip, simulated))
        return *ended;
    const catalogue::ChipRecord& inSocket = o_.simulatedChip.empty() ? chip : simulated;
    if (device_) {
        if (const auto problem = fillSimulatedSocket(inSocket))
            return usage(*problem);
    }
    if (upperAscii(o_.chip) == kAutoChip && touchesChip(o_.command)) {
        if (const auto refusal = chooseChipByIds(bench, ui_, report_)) {
            const auto [status, result] = refused(bench, *refusal);
            leaveProgrammer(bench);
            return finish(status, result);
        }
    }
    return runOnBench(bench, inSocket);
}

std::optional<int> Run::prepareBench(operations::Workbench& bench, catalogue::ChipRecord& chip,
                                     catalogue::ChipRecord& simulated) {
    // The window's start-up without its first look for the programmer: a command that
    // needs none (or fails without one) says so once, in its own guard.
    if (!catalogue::loadDatabase(text(app::MsgDatabaseFile), *bench.database)) {
        ui_.showMessage(text(app::MsgDatabaseError));
        return finish(kExitFailed, "failed");
    }
    bench.buffer = buffer::DataBuffer::create();
    if (!bench.buffer) {
        ui_.showMessage(text(app::MsgMemoryOverflow));
        return finish(kExitFailed, "failed");
    }
    if (!o_.simulatedChip.empty() && !findChip(*bench.database, o_.simulatedChip, simulated)) {
        ui_.note("unknown chip " + o_.simulatedChip);
        return finish(kExitUsage, "unknown-chip");
    }
    const bool autoChip = upperAscii(o_.chip) == kAutoChip;
    if (!o_.chip.empty() && !autoChip) {
        if (!findChip(*bench.database, o_.chip, chip)) {
            ui_.note("unknown chip " + o_.chip + " (chipwright-cli chips PATTERN lists them)");
            return finish(kExitUsage, "unknown-chip");
        }
    } else if (!o_.simulatedChip.empty()) {
        chip = simulated;
    } else if (!catalogue::findByName(*bench.database,
                                      util::utf8ToGbk(text(app::MsgDefaultChipName)), chip)) {
        catalogue::findByName(*bench.database, operations::kFallbackChipName, chip);
    }
    // -c auto asks for the IDs in an SPI flash's mode.
    if (autoChip && chip.type != catalogue::SpiFlash)
        catalogue::findByName(*bench.database, operations::kFallbackChipName, chip);
    operations::selectChip(bench, ui_, chip);
    return std::nullopt;
}

int Run::runOnBench(operations::Workbench& bench, const catalogue::ChipRecord& simulated) {
    const bool production = o_.repeat || !o_.reportFile.empty() || !o_.serial.empty();
    if (production) {
        if (const auto problem = productionUsage(bench))
            return usage(*problem);
    }
    if (const int loaded = loadInput(bench); loaded != kExitDone)
        return finish(loaded, loaded == kExitUsage ? "usage" : "failed");
    if (const int prepared = prepareOutput(); prepared != kExitDone)
        return finish(prepared, "failed");

    // Whatever happens below, the checksums' thread is done with the bench before the
    // bench goes.
    struct WaitForChecksums {
        std::future<operations::Checksums>& checksums;
        ~WaitForChecksums() {
            if (checksums.valid())
                checksums.wait();
        }
    } waitForChecksums{checksums_};

    if (production)
        return productionRun(bench, simulated);

    const auto [status, result] = commandOnChip(bench);
    leaveProgrammer(bench);
    return finish(status, result);
}

std::pair<int, std::string> Run::refused(operations::Workbench& bench, const Refusal& refusal) {
    report_.chip = bench.chip.nameText();
    if (refusal.outcome == Outcome::Done)
        return {refusal.status, refusal.result};
    return {statusFor(refusal.outcome), refusal.outcome == Outcome::NoProgrammer
                                            ? explainNoProgrammer(bench)
                                            : resultFor(refusal.outcome)};
}

std::pair<int, std::string> Run::commandOnChip(operations::Workbench& bench) {
    if (const auto refusal = checkSocket(o_, bench, ui_, report_))
        return refused(bench, *refusal);
    const auto start = std::chrono::steady_clock::now();
    const std::uint32_t phases = bench.programmer.phasesStarted();
    Outcome outcome = bench_.after(bench, runCommand(bench));
    report_.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // A command that stopped early moved only part of the chip: what its last phase
    // moved, nothing when none started.
    if (outcome != Outcome::Done && outcome != Outcome::Mismatch) {
        const bool moved = bench.programmer.phasesStarted() != phases;
        report_.bytes =
            moved ? std::min<std::uint64_t>(report_.bytes, bench.programmer.phaseBytesMoved()) : 0;
    }
    report_.chip = bench.chip.nameText();

    int status = statusFor(outcome);
    std::string result = resultFor(outcome);
    if (outcome == Outcome::Cancelled && interruptRequested()) {
        report_.chipState = stateAfterInterrupt();
        ui_.note("interrupted: " + report_.chipState);
        bench.log.write(std::string("Interrupted by ") + interruptCause() + ": " +
                        report_.chipState);
    } else if (outcome == Outcome::Done && o_.command == "read" && !saveRead(bench)) {
        status = kExitFailed;
        result = "failed";
    }
    if (checksums_.valid()) {
        // A read the check found to be of no chip has no checksums: it read nothing. Nor
        // has one whose file could not be saved: only saved bytes are vouched for.
        const operations::Checksums sums = checksums_.get();
        if (outcome == Outcome::Done && status == kExitDone)
            report_.checksums = sums;
    }
    if (outcome == Outcome::Skipped) {
        ui_.note("erase: the chip is no SPI flash; an EEPROM is simply overwritten by write");
    } else if (outcome == Outcome::NoProgrammer) {
        result = explainNoProgrammer(bench);
    }
    if (status == kExitDone && !o_.quiet && !o_.json && report_.bytes > 0)
        noteSummary();
    return {status, result};
}

void Run::noteSummary() {
    char summary[160];
    std::snprintf(
        summary, sizeof summary, "%s %s: %llu bytes in %.2f s (%.2f MB/s)", o_.command.c_str(),
        report_.chip.c_str(), static_cast<unsigned long long>(report_.bytes), report_.seconds,
        report_.seconds > 0 ? static_cast<double>(report_.bytes) / report_.seconds / kMega : 0.0);
    ui_.note(summary);
}

std::string Run::explainNoProgrammer(operations::Workbench& bench) {
    using Open = usblink::UsbLink::OpenResult;
    const std::string where = o_.device.empty() ? "" : " at " + o_.device;
    switch (bench.link.lastOpenResult()) {
        case Open::InUse:
            // Said at once and plainly: on a bench with several programmers the usual
            // cause is a second run given the same --device.
            ui_.note("the programmer" + where +
                     " is in use by another program (another chipwright-cli or the window): " +
                     bench.link.lastError());
            return "in-use";
        case Open::NotFound:
            if (!o_.device.empty())
                ui_.note("no programmer at " + o_.device + " (chipwright-cli doctor lists them)");
            return "no-programmer";
        case Open::Opened:
            return "no-programmer";
        case Open::Unplugged:
        case Open::AccessDenied:
        case Open::Other:
            ui_.note(bench.link.lastError() + " (chipwright-cli doctor says what to do)");
            return "no-programmer";
    }
    return "no-programmer";
}

void Run::leaveProgrammer(operations::Workbench& bench) {
    stopSimulatedSwap();
    if (device_)
        keepSimulatedChip();
    // The programmer outlives this process: what an abandoned transfer left (a read it
    // still sends, a write it still waits for) is settled now, since the next run
    // cannot know of it.
    // The simulated programmer ends with the process and owes nothing to the next run.
    if (!device_ && bench.link.deviceOpen()) {
        if (bench.link.owedReadBytes() > 0)
            ui_.note("letting the programmer finish the abandoned read...");
        if (!bench.link.settle()) {
            ui_.note(bench.link.lastError());
            bench.log.write(bench.link.lastError());
        }
    }
    // An empty socket has no cells: the file keeps the chip for the next run. So does a
    // run that ended between chips, after --sim-swap took the last one out.
    // Only a chip that changed is written back: a read leaves the file as it was.
    if (device_ && !o_.simMemory.empty() && !emptySocket_ && simMemoryKept_ &&
        device_->memoryChanges() != simMemoryChanges_) {
        const std::vector<std::uint8_t> cells = device_->memory();
        std::string error;
        if (!cells.empty() && !util::replaceFileSafely(o_.simMemory, cells, &error))
            ui_.note("cannot keep the simulated chip: " + error);
    }
}

}  // namespace cli
