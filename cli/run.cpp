// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/run.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <system_error>
#include <thread>

#include "app/messages.h"
#include "buffer/data_file.h"
#include "catalogue/chip_database.h"
#include "catalogue/chip_queries.h"
#include "cli/bench_steps.h"
#include "cli/chip_check.h"
#include "cli/doctor.h"
#include "cli/input_file.h"
#include "cli/intel_hex_writer.h"
#include "cli/interrupt.h"
#include "cli/json_report.h"
#include "cli/production_line.h"
#include "cli/terminal_frontend.h"
#include "link/libusb/libusb_bus.h"
#include "operations/checks.h"
#include "operations/commands.h"
#include "operations/workbench.h"
#include "sim/sim_bus.h"
#include "sim/sim_programmer.h"
#include "util/regular_file.h"
#include "util/safe_file.h"
#include "util/text_codec.h"

namespace cli {
namespace {

using operations::Outcome;

constexpr double kMega = 1e6;
constexpr std::uint8_t kNoIdByte = 0xFF;
// -c auto: the chip is the one whose IDs the socket answers.
constexpr const char* kAutoChip = "AUTO";

std::string text(int key) {
    return app::messageText(key);
}

std::string upperAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

// The chip named `name` (UTF-8): exactly as typed, else with its ASCII letters in upper
// case, the way the database spells chip names.
bool findChip(const catalogue::ChipDatabase& db, const std::string& name,
              catalogue::ChipRecord& out) {
    return catalogue::findByName(db, util::utf8ToGbk(name), out) ||
           catalogue::findByName(db, util::utf8ToGbk(upperAscii(name)), out);
}

// --type: spi, 24, 25, 93, or the list's own texts ("SPI FLASH"...); AnyType without one.
std::optional<int> typeKeyFor(const std::string& type) {
    const std::string t = upperAscii(type);
    if (t.empty())
        return catalogue::AnyType;
    if (t == "SPI" || t == "SPI FLASH")
        return catalogue::SpiFlash;
    if (t == "24" || t == "24 EEPROM")
        return catalogue::Eeprom24;
    if (t == "25" || t == "25 EEPROM")
        return catalogue::Eeprom25;
    if (t == "93" || t == "93 EEPROM")
        return catalogue::Eeprom93;
    return std::nullopt;
}

int statusFor(Outcome outcome) {
    switch (outcome) {
        case Outcome::Done:
            return kExitDone;
        case Outcome::Mismatch:
            return kExitMismatch;
        case Outcome::NoProgrammer:
            return kExitNoProgrammer;
        case Outcome::Cancelled:
            return interruptRequested() ? kInterruptedStatus : kExitFailed;
        case Outcome::Failed:
        case Outcome::Busy:
        case Outcome::Skipped:
            return kExitFailed;
    }
    return kExitFailed;
}

const char* resultFor(Outcome outcome) {
    switch (outcome) {
        case Outcome::Done:
            return "done";
        case Outcome::Failed:
            return "failed";
        case Outcome::Mismatch:
            return "mismatch";
        case Outcome::Busy:
            return "busy";
        case Outcome::NoProgrammer:
            return "no-programmer";
        case Outcome::Cancelled:
            return interruptRequested() ? "interrupted" : "cancelled";
        case Outcome::Skipped:
            return "skipped";
    }
    return "failed";
}

// The simulator's faults by name; false for an unknown name or a value that is no count.
bool applyFault(const std::string& setting, sim::Faults& f) {
    const auto eq = setting.find('=');
    const std::string name = setting.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : setting.substr(eq + 1);
    std::uint64_t n = 0;
    bool numeric = !value.empty();
    try {
        std::size_t used = 0;
        if (numeric)
            n = std::stoull(value, &used, 0);
        numeric = numeric && used == value.size();
    } catch (const std::exception&) {
        numeric = false;
    }
    auto count = [&](std::uint64_t fallback) { return value.empty() ? fallback : n; };
    if (!value.empty() && !numeric)
        return false;
    if (name == "stall")
        f.stallAfterBytes = count(0x10000);
    else if (name == "disconnect")
        f.disconnectAfterBytes = count(0x10000);
    else if (name == "cut-read")
        f.cutReadAfterBytes = count(0x10000);
    else if (name == "garbage")
        f.garbagePackets = static_cast<int>(count(2));
    else if (name == "bit-flip")
        f.bitFlipEvery = static_cast<std::uint32_t>(count(0x1000));
    else if (name == "loose-bit")
        f.looseBitAddress = static_cast<std::uint32_t>(count(0x1234));
    else if (name == "wrong-reply" && value.empty())
        f.wrongReplyByte = true;
    else if (name == "never-ready" && value.empty())
        f.neverReady = true;
    else if (name == "fail-self-test" && value.empty())
        f.failSelfTest = true;
    else if (name == "silent" && value.empty())
        f.silent = true;
    else if (name == "write-protect" && value.empty())
        f.writeProtected = true;
    else
        return false;
    return true;
}

// The number of arguments each command takes, as [least, most].
std::optional<std::pair<std::size_t, std::size_t>> argumentCount(const std::string& command) {
    if (command == "chips")
        return std::pair<std::size_t, std::size_t>{0, 1};
    if (command == "info" || command == "read" || command == "write" || command == "verify" ||
        command == "auto" || command == "update-firmware") {
        return std::pair<std::size_t, std::size_t>{1, 1};
    }
    if (command == "detect" || command == "erase" || command == "version" ||
        command == "selftest" || command == "blank-check" || command == "doctor") {
        return std::pair<std::size_t, std::size_t>{0, 0};
    }
    return std::nullopt;
}

class Run {
  public:
    Run(const Options& options, const Streams& streams)
        : o_(options),
          s_(streams),
          ui_(streams.err, streams.in,
              TerminalSettings{
                  .progressBar = streams.errIsTerminal && !options.quiet && !options.json,
                  .quiet = options.quiet,
                  .yes = options.yes,
                  .interactive = streams.inIsTerminal}),
          bench_(options, ui_, report_) {
        report_.command = options.command;
        report_.simulated = options.simulate;
    }

    ~Run() { stopSimulatedSwap(); }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    int execute();

  private:
    int finish(int status, const std::string& result) {
        ui_.endProgress();
        report_.exitStatus = status;
        report_.result = result;
        report_.messages.assign(ui_.shown().begin() + static_cast<std::ptrdiff_t>(messagesFrom_),
                                ui_.shown().end());
        printReport();
        return status;
    }
    int usage(const std::string& why) {
        ui_.note("chipwright-cli: " + why + " (see --help)");
        return finish(kExitUsage, "usage");
    }
    int listChips(const catalogue::ChipDatabase& db);
    int showChip(const catalogue::ChipDatabase& db);
    int withProgrammer();
    // The command on the chip in the socket: its exit status and result.
    std::pair<int, std::string> commandOnChip(operations::Workbench& bench);
    // Leaves the programmer the way the next run needs it, and the simulated chip kept.
    void leaveProgrammer(operations::Workbench& bench);
    // Why the programmer could not be opened, on stderr; the result for the report.
    std::string explainNoProgrammer(operations::Workbench& bench);
    // --repeat, --report, --serial: the command chip after chip.
    int productionRun(operations::Workbench& bench, const catalogue::ChipRecord& simulated);
    std::optional<std::string> productionUsage(const operations::Workbench& bench) const;
    // --sim-swap: the chip taken out now, a fresh one put in after the delay.
    void swapSimulatedChip(const catalogue::ChipRecord& chip);
    void stopSimulatedSwap();
    std::optional<std::string> loadSimulatedMemory(const catalogue::ChipRecord& chip);
    Outcome runCommand(operations::Workbench& bench);
    int loadInput(operations::Workbench& bench);
    // A refusal of the chip check as the run's exit status and result.
    std::pair<int, std::string> refused(operations::Workbench& bench, const Refusal& refusal);
    // write on an SPI flash: reads back what it wrote, unless --no-verify.
    Outcome writeAndVerify(operations::Workbench& bench);
    bool saveOutput(operations::Workbench& bench);
    std::string stateAfterInterrupt() const;
    void printReport();

    const Options& o_;
    const Streams& s_;
    TerminalFrontend ui_;
    Report report_;
    // The checksums of the chip's bytes, computed while a read's file is written.
    std::future<operations::Checksums> checksums_;
    BenchSteps bench_;
    std::shared_ptr<sim::SimProgrammer> device_;
    // --sim-fault empty-socket: no chip in the simulated socket.
    bool emptySocket_ = false;
    // The simulated chip's change count once its --sim-memory file was loaded.
    std::uint64_t simMemoryChanges_ = 0;
    // The --sim-memory file is of the chip's size (or new), so it keeps the chip.
    bool simMemoryKept_ = false;
    // How many of the buffer's bytes are the command's file (write, verify, auto).
    std::uint32_t fileLength_ = 0;
    // Where this chip's lines start among everything shown.
    std::size_t messagesFrom_ = 0;
    std::thread simSwap_;
    std::atomic<bool> simSwapStop_{false};
};

int Run::execute() {
    if (!o_.language.empty()) {
        const std::string l = upperAscii(o_.language);
        if (l == "EN" || l == "ENGLISH")
            app::useLanguage(app::kLanguageEnglish);
        else if (l == "ZH" || l == "SIMPLECHINESE")
            app::useLanguage(app::kLanguageChinese);
        else
            return usage("unknown language " + o_.language + " (English or SimpleChinese)");
    }
    if (o_.command.empty())
        return usage("no command given");
    if (!o_.arguments.empty() && o_.command != "chips" && o_.command != "info")
        report_.file = o_.arguments[0];
    const auto counts = argumentCount(o_.command);
    if (!counts)
        return usage("unknown command " + o_.command);
    if (o_.arguments.size() < counts->first || o_.arguments.size() > counts->second)
        return usage("wrong number of arguments for " + o_.command);
    if (o_.all && o_.command != "verify")
        return usage("--all is for verify");
    if (const std::string why = benchUsageError(o_); !why.empty())
        return usage(why);
    if (!typeKeyFor(o_.type))
        return usage("unknown chip type " + o_.type + " (spi, 24, 25 or 93)");
    const bool chipCommand = o_.command == "read" || o_.command == "write" ||
                             o_.command == "verify" || o_.command == "auto" ||
                             o_.command == "erase";
    if (o_.repeat && (!chipCommand || o_.command == "read"))
        return usage("--repeat is for write, verify, auto and erase");
    if (!o_.reportFile.empty() && !chipCommand)
        return usage("--report is for read, write, verify, auto and erase");
    if (!o_.serial.empty() && o_.command != "write" && o_.command != "auto")
        return usage("--serial is for write and auto");
    // A patch is written over the chip's own bytes as read, which would cover the number.
    if (!o_.serial.empty() && o_.offset)
        return usage("--serial is not for write --offset; put the number into the patch file");
    if (o_.command == "doctor")
        return runDoctor(o_, s_);

    if (o_.command == "chips" || o_.command == "info") {
        catalogue::ChipDatabase db;
        if (!catalogue::loadDatabase(text(app::MsgDatabaseFile), db)) {
            ui_.showMessage(text(app::MsgDatabaseError));
            return finish(kExitFailed, "failed");
        }
        return o_.command == "chips" ? listChips(db) : showChip(db);
    }
    return withProgrammer();
}

int Run::listChips(const catalogue::ChipDatabase& db) {
    // Names are stored in upper case; the search dialog folds what is typed the same way.
    const std::string pattern = o_.arguments.empty() ? "" : upperAscii(o_.arguments[0]);
    const catalogue::PatternMatches found = catalogue::searchByPattern(
        db, util::utf8ToGbk(pattern), *typeKeyFor(o_.type), catalogue::kChipListCapacity);
    report_.chips = found.chips;
    if (!o_.json) {
        for (const catalogue::ChipRecord& c : found.chips) {
            std::fprintf(s_.out, "%-24s %-14s %-10s %s\n", c.nameText().c_str(),
                         c.manufacturerText().c_str(), catalogue::typeText(c.type).c_str(),
                         catalogue::capacityText(c).c_str());
        }
    }
    if (found.total > found.chips.size())
        ui_.note(std::to_string(found.total) + " chips match; the first " +
                 std::to_string(found.chips.size()) + " are listed");
    return finish(found.total > 0 ? kExitDone : kExitFailed, found.total > 0 ? "done" : "failed");
}

int Run::showChip(const catalogue::ChipDatabase& db) {
    catalogue::ChipRecord chip;
    if (!findChip(db, o_.arguments[0], chip)) {
        ui_.note("unknown chip " + o_.arguments[0] + " (chipwright-cli chips PATTERN lists them)");
        return finish(kExitUsage, "unknown-chip");
    }
    report_.chips = {chip};
    report_.chip = chip.nameText();
    if (!o_.json) {
        std::fprintf(s_.out,
                     "name: %s\nmanufacturer: %s\ntype: %s\ncapacity: %s (%u bytes)\n"
                     "page: %u bytes\nids: %02X %02X\n",
                     chip.nameText().c_str(), chip.manufacturerText().c_str(),
                     catalogue::typeText(chip.type).c_str(), catalogue::capacityText(chip).c_str(),
                     chip.capacity, chip.pageWrite != 0 ? chip.pageSize : 1u, chip.manufacturerId,
                     chip.deviceId);
    }
    return finish(kExitDone, "done");
}

int Run::withProgrammer() {
    std::unique_ptr<usblink::UsbBus> bus;
    if (o_.simulate) {
        auto simBus = std::make_unique<sim::SimBus>();
        device_ = std::make_shared<sim::SimProgrammer>();
        sim::Faults faults;
        for (const std::string& fault : o_.simFaults) {
            emptySocket_ = emptySocket_ || fault == "empty-socket";
            if (fault != "empty-socket" && !applyFault(fault, faults))
                return usage("unknown simulator fault " + fault);
        }
        device_->setFaults(faults);
        device_->setThroughput(o_.simSpeed.value_or(sim::kInteractiveThroughput));
        simBus->addProgrammer(device_);
        bus = std::move(simBus);
    } else {
        bus = std::make_unique<usblink::LibusbBus>();
    }
    // Declared after the bus: the bench, and the link in it, go first.
    operations::Workbench bench(*bus);
    bench.rememberChip = false;
    bench.finder.restrictTo(o_.device);

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
    catalogue::ChipRecord chip{};
    catalogue::ChipRecord simulated{};
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

    if (device_) {
        device_->insertChip(o_.simulatedChip.empty() ? chip : simulated);
        if (const auto problem = loadSimulatedMemory(o_.simulatedChip.empty() ? chip : simulated))
            return usage(*problem);
        if (emptySocket_)
            device_->removeChip();
        simMemoryChanges_ = device_->memoryChanges();
    }

    if (autoChip && touchesChip(o_.command)) {
        if (const auto refusal = chooseChipByIds(bench, ui_, report_)) {
            const auto [status, result] = refused(bench, *refusal);
            leaveProgrammer(bench);
            return finish(status, result);
        }
    }
    const bool production = o_.repeat || !o_.reportFile.empty() || !o_.serial.empty();
    if (production) {
        if (const auto problem = productionUsage(bench))
            return usage(*problem);
    }
    if (const int loaded = loadInput(bench); loaded != kExitDone)
        return finish(loaded, loaded == kExitUsage ? "usage" : "failed");

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
        return productionRun(bench, o_.simulatedChip.empty() ? chip : simulated);

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
    Outcome outcome = bench_.after(bench, runCommand(bench));
    report_.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    report_.chip = bench.chip.nameText();

    int status = statusFor(outcome);
    std::string result = resultFor(outcome);
    if (outcome == Outcome::Cancelled && interruptRequested()) {
        report_.chipState = stateAfterInterrupt();
        ui_.note("interrupted: " + report_.chipState);
        bench.log.write("Interrupted by Ctrl-C: " + report_.chipState);
    } else if (outcome == Outcome::Done && o_.command == "read" && !saveOutput(bench)) {
        status = kExitFailed;
        result = "failed";
    }
    if (checksums_.valid()) {
        // A read the check found to be of no chip has no checksums: it read nothing.
        const operations::Checksums sums = checksums_.get();
        if (outcome == Outcome::Done)
            report_.checksums = sums;
    }
    if (outcome == Outcome::Skipped) {
        ui_.note("erase: the chip is no SPI flash; an EEPROM is simply overwritten by write");
    } else if (outcome == Outcome::NoProgrammer) {
        result = explainNoProgrammer(bench);
    }
    if (outcome == Outcome::Done && !o_.quiet && !o_.json && report_.bytes > 0) {
        char summary[160];
        std::snprintf(
            summary, sizeof summary, "%s %s: %llu bytes in %.2f s (%.2f MB/s)", o_.command.c_str(),
            report_.chip.c_str(), static_cast<unsigned long long>(report_.bytes), report_.seconds,
            report_.seconds > 0 ? static_cast<double>(report_.bytes) / report_.seconds / kMega
                                : 0.0);
        ui_.note(summary);
    }
    return {status, result};
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

std::optional<std::string> Run::loadSimulatedMemory(const catalogue::ChipRecord& chip) {
    if (o_.simMemory.empty())
        return std::nullopt;
    // Only a regular file is read (never a FIFO that waits for a writer, nor an endless
    // device). The chip reads its cells from the file as they are asked for, so a whole
    // chip read copies the file once, into the buffer, and holds no second copy of it.
    int fd = -1;
    std::uint64_t bytes = 0;
    std::string error;
    const util::FileRead opened = util::openRegularFileSized(o_.simMemory, &fd, &bytes, &error);
    if (opened == util::FileRead::Failed)
        return "--sim-memory: " + error;
    // A file of another size than the chip fills what it can, but is never rewritten
    // to the chip's size: it is left as it is.
    simMemoryKept_ = opened == util::FileRead::Missing || bytes == chip.capacity;
    if (!simMemoryKept_) {
        ui_.note("the simulated chip is not kept in " + util::printableName(o_.simMemory) +
                 ": it is not the size of " + chip.nameText() + " (" +
                 std::to_string(chip.capacity) + " bytes)");
    }
    if (fd >= 0)
        device_->backMemoryWithFile(fd, bytes);
    return std::nullopt;
}

std::optional<std::string> Run::productionUsage(const operations::Workbench& bench) const {
    if (!o_.serial.empty()) {
        std::string error;
        const std::optional<SerialNumbering> serial = parseSerial(o_.serial, &error);
        if (!serial)
            return error;
        if (std::string problem = serialFitProblem(*serial, bench.chip.capacity); !problem.empty())
            return problem + " (" + bench.chip.nameText() + ")";
        const std::uint64_t chips = o_.repeat ? o_.count.value_or(1) : 1;
        if (chips - 1 > serial->maximum() - serial->start) {
            return "--serial: " + std::to_string(chips) + " chips from " +
                   std::to_string(serial->start) + " go past " + std::to_string(serial->maximum());
        }
    }
    // The chip table gives chips that answer no identification the IDs FF FF.
    if (o_.nextOnId && bench.chip.manufacturerId == kNoIdByte && bench.chip.deviceId == kNoIdByte) {
        return "--next-on-id: " + bench.chip.nameText() +
               " answers no ID, so its coming and going cannot be seen; press Enter between "
               "chips instead (leave out --next-on-id)";
    }
    return std::nullopt;
}

int Run::productionRun(operations::Workbench& bench, const catalogue::ChipRecord& simulated) {
    std::string error;
    if (!o_.reportFile.empty() && !reportWritable(o_.reportFile, &error)) {
        ui_.note(error);
        return finish(kExitFailed, "failed");
    }
    std::optional<SerialNumbering> serial;
    if (!o_.serial.empty())
        serial = parseSerial(o_.serial, &error);
    // Every chip starts from the image as loaded, whatever the last command left in the
    // buffer, with its own serial number patched in.
    const std::vector<unsigned char> image(bench.buffer->image(),
                                           bench.buffer->image() + bench.buffer->dataLength());
    std::uint64_t nextSerial = serial ? serial->start : 0;
    std::uint64_t passed = 0;
    std::uint64_t failed = 0;
    int status = kExitDone;

    // The programmer's ID reads while the operator swaps chips.
    const IdReader readIds = [&]() -> std::optional<std::array<std::uint8_t, 2>> {
        if (!bench.link.deviceOpen() && !bench.link.open())
            return std::nullopt;
        bench.programmer.setChip(bench.chip);
        std::array<std::uint8_t, 2> ids{};
        if (!bench.programmer.readChipId(&ids))
            return std::nullopt;
        return ids;
    };
    auto counters = [&] {
        return "passed " + std::to_string(passed) + ", failed " + std::to_string(failed);
    };
    auto record = [&](const std::string& result, const std::string& serialText) {
        if (o_.reportFile.empty())
            return true;
        ChipLine line;
        line.time = isoLocalTime(std::time(nullptr));
        line.chip = bench.chip.nameText();
        line.command = o_.command;
        line.result = result;
        line.sha256 = report_.checksums ? report_.checksums->sha256 : "";
        line.diagnosis = report_.diagnosis;
        line.serial = serialText;
        std::string why;
        if (appendChipLine(o_.reportFile, line, &why))
            return true;
        // A chip whose line is lost cannot be traced: the run stops rather than go on
        // unrecorded.
        ui_.note(why + "; stopping, so that no chip goes unrecorded");
        bench.log.write(why);
        return false;
    };

    // Each attempt's report (and its JSON object) starts empty, with its own lines.
    auto startChip = [&] {
        messagesFrom_ = ui_.shown().size();
        report_.bytes = 0;
        report_.seconds = 0;
        report_.checksums.reset();
        report_.chipChecksums.reset();
        report_.differences.reset();
        report_.chipState.clear();
        report_.diagnosis.clear();
        report_.backup.reset();
        report_.blank.reset();
    };

    // A chip whose IDs are not the selected chip's is not programmed with its parameters.
    auto isSelected = [&](const std::array<std::uint8_t, 2>& ids) {
        if (bench.chip.manufacturerId == ids[0] && bench.chip.deviceId == ids[1])
            return true;
        startChip();
        const std::string text =
            wrongChipText(*bench.database, bench.chip, {ids[0], ids[1]}) + ": not programmed";
        ui_.note(text);
        bench.log.write(text);
        ++failed;
        const bool wrongRecorded = record("wrong-chip", "");
        finish(kExitFailed, "wrong-chip");
        if (!wrongRecorded)
            status = kExitFailed;
        return false;
    };
    // Waits for the operator to put in the next chip: Ready, or the run ends.
    auto awaitNextChip = [&] {
        setInterruptNote("\ninterrupted: the run ends here (no chip is being programmed)\n");
        NextChip next = NextChip::Ready;
        for (;;) {
            if (!o_.nextOnId) {
                ui_.note("put in the next chip and press Enter (Ctrl-C or Ctrl-D ends)");
                next = waitForEnter(fileno(s_.in));
                break;
            }
            ui_.note("take the chip out and put in the next one (Ctrl-C ends)");
            std::array<std::uint8_t, 2> ids{};
            next = waitForChipSwap(readIds, &ids);
            if (next != NextChip::Ready || isSelected(ids))
                break;
            if (status != kExitDone) {  // its line could not be written
                next = NextChip::Ended;
                break;
            }
        }
        if (next == NextChip::Ended && o_.nextOnId && status == kExitDone) {
            ui_.note("the programmer stopped answering" +
                     (o_.device.empty() ? std::string() : " at " + o_.device));
            status = kExitNoProgrammer;
        }
        setInterruptNote(nullptr);
        return next;
    };

    // The chip in the socket at the start is checked like every later one; an empty
    // socket waits for its first chip.
    if (o_.nextOnId) {
        if (const auto ids = readIds(); ids && (noChipIds(*ids) || !isSelected(*ids))) {
            if (status != kExitDone || awaitNextChip() != NextChip::Ready) {
                leaveProgrammer(bench);
                ui_.note("chips: " + counters());
                return status == kExitDone ? kExitFailed : status;
            }
        }
    }

    for (std::uint64_t chipNumber = 1;; ++chipNumber) {
        startChip();
        std::copy(image.begin(), image.end(), bench.buffer->image());
        std::string serialText;
        if (serial) {
            const std::vector<std::uint8_t> bytes = serialBytes(*serial, nextSerial);
            std::copy(bytes.begin(), bytes.end(), bench.buffer->image() + serial->address);
            serialText = serial->format == SerialNumbering::Format::Ascii
                             ? std::string(bytes.begin(), bytes.end())
                             : std::to_string(nextSerial);
            bench.log.write("Serial number " + serialText);
        }
        const auto [chipStatus, result] = commandOnChip(bench);
        const bool ok = chipStatus == kExitDone;
        (ok ? passed : failed) += 1;
        const bool recorded = record(result, serialText);
        // A single chip's report is the run's, which a lost line fails.
        if (recorded || o_.repeat)
            finish(chipStatus, result);
        else
            finish(kExitFailed, "failed");
        if (o_.repeat) {
            ui_.note("chip " + std::to_string(chipNumber) +
                     (serial ? " (serial " + serialText + ")" : "") + ": " +
                     (ok ? "passed" : result) + "; " + counters());
        } else if (serial) {
            ui_.note("serial number " + serialText);
        }
        // A serial number is used up by a chip that passed; a chip that failed is put
        // aside and its number goes to the next chip, so the shipped numbers run on.
        if (ok && serial)
            ++nextSerial;
        if (!o_.repeat) {
            status = recorded ? chipStatus : kExitFailed;
            break;
        }
        if (chipStatus == kInterruptedStatus) {
            status = kInterruptedStatus;
            break;
        }
        if (!recorded || result == "no-programmer" || result == "in-use") {
            status = !recorded ? kExitFailed : chipStatus;
            break;
        }
        if (o_.count && chipNumber >= *o_.count)
            break;
        if (serial && nextSerial > serial->maximum()) {
            ui_.note("--serial: the serial numbers are used up at " +
                     std::to_string(serial->maximum()));
            break;
        }

        if (device_ && o_.simSwapMs)
            swapSimulatedChip(simulated);
        if (awaitNextChip() != NextChip::Ready)
            break;
    }
    leaveProgrammer(bench);
    if (o_.repeat) {
        ui_.note("chips: " + counters());
        if (status == kExitDone && failed > 0)
            status = kExitFailed;
    }
    return status;
}

void Run::swapSimulatedChip(const catalogue::ChipRecord& chip) {
    stopSimulatedSwap();
    device_->removeChip();
    simSwapStop_ = false;
    simSwap_ = std::thread([this, chip, device = device_, delay = *o_.simSwapMs] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay);
        while (std::chrono::steady_clock::now() < until) {
            if (simSwapStop_)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        device->insertChip(chip);
    });
}

void Run::stopSimulatedSwap() {
    simSwapStop_ = true;
    if (simSwap_.joinable())
        simSwap_.join();
}

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
    return operations::verifyChip(bench, ui_);
}

bool Run::saveOutput(operations::Workbench& bench) {
    const std::string& path = o_.arguments[0];
    std::string error;
    bool saved = false;
    if (isIntelHexName(path)) {
        saved = util::replaceFileSafely(
            path, intelHexText({bench.buffer->image(), bench.buffer->dataLength()}), &error);
    } else {
        saved = buffer::saveDataFile(*bench.buffer, path, &error);
    }
    if (!saved) {
        bench.log.write(error);
        ui_.note(error);
    }
    return saved;
}

Outcome Run::runCommand(operations::Workbench& bench) {
    const std::string& c = o_.command;
    const std::uint32_t capacity = bench.chip.capacity;
    if (c == "read" || c == "write" || c == "verify" || c == "auto") {
        report_.bytes = capacity;
        ui_.setPhaseBytes(capacity);
    }
    if (const auto o = bench_.before(bench))
        return *o;
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
        if (o_.all)
            report_.differences = differences;
    } else if (c == "verify" && o_.all) {
        outcome = operations::verifyChipAll(bench, ui_, differences);
        report_.differences = differences;
    } else if (c == "verify") {
        outcome = operations::verifyChip(bench, ui_);
    } else if (c == "auto") {
        outcome = operations::autoProgram(bench, ui_);
    }
    if (c == "read" || c == "write" || c == "verify" || c == "auto") {
        // After a read, a write, or a verify that passed, the buffer holds the chip's
        // bytes (auto ends with its verify). The file's checksums are of its own bytes;
        // a padded file's chip has its own.
        if (outcome == Outcome::Done) {
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
        return outcome;
    }
    if (c == "erase")
        return operations::eraseChip(bench, ui_);
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
        if (o == Outcome::Done && !o_.json && !ui_.shown().empty())
            std::fprintf(s_.out, "%s\n", ui_.shown().back().c_str());
        return o;
    }
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
    std::string phase = steps ? "auto" : c;
    if (steps) {
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
        if (phase == "auto")
            return "chip unchanged";
    }
    if (phase == "write")
        return "chip partly written";
    if (phase == "erase")
        return "chip partly erased (the programmer may still be erasing it)";
    if (phase == "verify" && steps)
        return "chip written, verify not finished";
    return "chip unchanged";
}

void Run::printReport() {
    if (o_.json) {
        std::fprintf(s_.out, "%s\n", jsonReport(report_).c_str());
        std::fflush(s_.out);
        return;
    }
    if (const auto& d = report_.differences; d && d->any()) {
        for (const operations::DifferenceRange& range : d->ranges) {
            std::fprintf(s_.out, "differs 0x%06X-0x%06X %u %s\n", range.start,
                         range.start + range.count - 1, range.count,
                         range.count == 1 ? "byte" : "bytes");
        }
        std::fprintf(s_.out, "differences: %llu %s in %llu %s%s\n",
                     static_cast<unsigned long long>(d->totalBytes),
                     d->totalBytes == 1 ? "byte" : "bytes",
                     static_cast<unsigned long long>(d->totalRanges),
                     d->totalRanges == 1 ? "range" : "ranges",
                     d->totalRanges > d->ranges.size() ? " (the first listed)" : "");
    }
    printBenchReport(s_.out, report_);
    if (const auto& sums = report_.checksums) {
        std::fprintf(s_.out, "crc32 %08x sha256 %s\n", sums->crc32, sums->sha256.c_str());
    }
    if (const auto& sums = report_.chipChecksums) {
        std::fprintf(s_.out, "chip crc32 %08x sha256 %s\n", sums->crc32, sums->sha256.c_str());
    }
    std::fflush(s_.out);
}

}  // namespace

int run(const Options& options, const Streams& streams) {
    Run r(options, streams);
    return r.execute();
}

}  // namespace cli
