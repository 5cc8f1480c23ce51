// SPDX-License-Identifier: GPL-3.0-or-later
// --repeat, --report and --serial: the command chip after chip, each chip with its own
// serial number, CSV line and report, the operator's chip swaps waited for in between.
#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "cli/interrupt.h"
#include "cli/line_station.h"
#include "cli/production_line.h"
#include "cli/run_session.h"

namespace cli {
namespace {

constexpr std::uint8_t kNoIdByte = 0xFF;

}  // namespace

class ProductionRun {
  public:
    ProductionRun(Run& run, operations::Workbench& bench, const catalogue::ChipRecord& simulated)
        : r_(run), o_(run.o_), bench_(bench), simulated_(simulated) {}

    int run();

  private:
    // The programmer's ID read while the operator swaps chips.
    std::optional<std::array<std::uint8_t, 2>> readIds();
    std::string counters() const {
        return "passed " + std::to_string(passed_) + ", failed " + std::to_string(failed_);
    }
    // The chip's --report line; false (and said) when it could not be written.
    bool record(const std::string& result, const std::string& serialText);
    // A station's attempt in the line store, its serial number used or given back.
    bool recordAtStation(const std::string& result, const std::string& serialText);
    // A station's next serial number from the store: whether a chip may be programmed.
    // A verify station reserves none; it only asks whether the job is still open.
    bool reserveAtStation();
    // Whether the job wants another chip from this station, asked before the operator
    // is asked for one.
    bool stationWantsAnother();
    // A station that stops: why, in the terminal and the log; a failure unless the
    // job is complete (or the operator's Ctrl-C).
    void stationStops(const std::string& why, bool complete);
    // A verify station checks each chip against the job's image carrying the chip's
    // own serial number, read from the chip first.
    bool verifyingAtStation() const { return r_.station_ && o_.command == "verify"; }
    bool takeSerialFromChip();
    // Each attempt's report (and its JSON object) starts empty, with its own lines.
    void startChip();
    // Whether the chip in the socket is the selected one; another is counted as failed.
    bool isSelected(const std::array<std::uint8_t, 2>& ids);
    // The chip in the socket at the start, checked like every later one: whether the
    // run goes on.
    bool firstChipReady();
    // Waits for the operator to put in the next chip: Ready, or the run ends.
    NextChip awaitNextChip();
    NextChip awaitChipById();
    // The image with this chip's serial number patched in; the number as text.
    std::string patchSerial();
    // The command on one chip: whether the run goes on to the next.
    bool programChip(std::uint64_t chipNumber);
    bool goesOn(std::uint64_t chipNumber, int chipStatus, const std::string& result, bool recorded);

    Run& r_;
    const Options& o_;
    operations::Workbench& bench_;
    const catalogue::ChipRecord& simulated_;
    std::optional<SerialNumbering> serial_;
    // Every chip starts from the image as loaded, whatever the last command left in the
    // buffer, with its own serial number patched in.
    std::vector<unsigned char> image_;
    std::uint64_t nextSerial_ = 0;
    // A station's serial number for the chip in the socket, until it is recorded.
    std::optional<std::uint64_t> held_;
    std::uint64_t passed_ = 0;
    std::uint64_t failed_ = 0;
    int status_ = kExitDone;
};

int Run::productionRun(operations::Workbench& bench, const catalogue::ChipRecord& simulated) {
    return ProductionRun(*this, bench, simulated).run();
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

int ProductionRun::run() {
    std::string error;
    if (!o_.reportFile.empty() && !reportWritable(o_.reportFile, &error)) {
        r_.ui_.note(error);
        return r_.finish(kExitFailed, "failed");
    }
    if (!o_.serial.empty())
        serial_ = parseSerial(o_.serial, &error);
    nextSerial_ = serial_ ? serial_->start : 0;
    image_.assign(bench_.buffer->image(), bench_.buffer->image() + bench_.buffer->dataLength());

    if (o_.nextOnId && !firstChipReady()) {
        r_.leaveProgrammer(bench_);
        r_.ui_.note("chips: " + counters());
        return status_ == kExitDone ? kExitFailed : status_;
    }
    for (std::uint64_t chipNumber = 1; programChip(chipNumber); ++chipNumber) {
        if (r_.station_ && !stationWantsAnother())
            break;
        if (r_.device_ && o_.simSwapMs)
            r_.swapSimulatedChip(simulated_);
        if (awaitNextChip() != NextChip::Ready)
            break;
    }
    r_.leaveProgrammer(bench_);
    if (o_.repeat) {
        r_.ui_.note("chips: " + counters());
        if (status_ == kExitDone && failed_ > 0)
            status_ = kExitFailed;
    }
    return status_;
}

std::optional<std::array<std::uint8_t, 2>> ProductionRun::readIds() {
    if (!bench_.link.deviceOpen() && !bench_.link.open())
        return std::nullopt;
    bench_.programmer.setChip(bench_.chip);
    std::array<std::uint8_t, 2> ids{};
    if (!bench_.programmer.readChipId(&ids))
        return std::nullopt;
    return ids;
}

bool ProductionRun::record(const std::string& result, const std::string& serialText) {
    if (r_.station_ && !recordAtStation(result, serialText))
        return false;
    if (o_.reportFile.empty())
        return true;
    ChipLine line;
    line.time = isoLocalTime(std::time(nullptr));
    line.chip = bench_.chip.nameText();
    line.command = o_.command;
    line.result = result;
    line.sha256 = r_.report_.checksums ? r_.report_.checksums->sha256 : "";
    line.diagnosis = r_.report_.diagnosis;
    line.serial = serialText;
    std::string why;
    if (appendChipLine(o_.reportFile, line, &why))
        return true;
    // A chip whose line is lost cannot be traced: the run stops rather than go on
    // unrecorded.
    r_.ui_.note(why + "; stopping, so that no chip goes unrecorded");
    bench_.log.write(why);
    return false;
}

void ProductionRun::startChip() {
    Report& report = r_.report_;
    r_.messagesFrom_ = r_.ui_.shown().size();
    report.bytes = 0;
    report.seconds = 0;
    report.checksums.reset();
    report.chipChecksums.reset();
    report.differences.reset();
    report.chipState.clear();
    report.diagnosis.clear();
    report.backup.reset();
    report.blank.reset();
    report.socket.reset();
    report.serial.clear();
}

// A chip whose IDs are not the selected chip's is not programmed with its parameters.
bool ProductionRun::isSelected(const std::array<std::uint8_t, 2>& ids) {
    if (bench_.chip.manufacturerId == ids[0] && bench_.chip.deviceId == ids[1])
        return true;
    startChip();
    r_.report_.chip = bench_.chip.nameText();
    r_.report_.socket = socketAnswer(*bench_.database, {ids[0], ids[1]});
    const std::string text =
        wrongChipText(*bench_.database, bench_.chip, {ids[0], ids[1]}) + ": not programmed";
    r_.ui_.note(text);
    bench_.log.write(text);
    ++failed_;
    const bool wrongRecorded = record("wrong-chip", "");
    r_.finish(kExitFailed, "wrong-chip");
    if (!wrongRecorded)
        status_ = kExitFailed;
    return false;
}

// An empty socket waits for its first chip.
bool ProductionRun::firstChipReady() {
    const auto ids = readIds();
    if (!ids || (!noChipIds(*ids) && isSelected(*ids)))
        return true;
    return status_ == kExitDone && awaitNextChip() == NextChip::Ready;
}

NextChip ProductionRun::awaitNextChip() {
    setInterruptNote("\ninterrupted: the run ends here (no chip is being programmed)\n");
    NextChip next = NextChip::Ready;
    if (o_.nextOnId) {
        next = awaitChipById();
    } else {
        r_.ui_.note("put in the next chip and press Enter (Ctrl-C or Ctrl-D ends)");
        next = waitForEnter(fileno(r_.s_.in));
    }
    if (next == NextChip::Ended && o_.nextOnId && status_ == kExitDone) {
        r_.ui_.note("the programmer stopped answering" +
                    (o_.device.empty() ? std::string() : " at " + o_.device));
        status_ = kExitNoProgrammer;
    }
    setInterruptNote(nullptr);
    return next;
}

NextChip ProductionRun::awaitChipById() {
    for (;;) {
        r_.ui_.note("take the chip out and put in the next one (Ctrl-C ends)");
        std::array<std::uint8_t, 2> ids{};
        const NextChip next = waitForChipSwap([this] { return readIds(); }, &ids);
        if (next != NextChip::Ready || isSelected(ids))
            return next;
        if (status_ != kExitDone)  // its line could not be written
            return NextChip::Ended;
    }
}

std::string ProductionRun::patchSerial() {
    std::copy(image_.begin(), image_.end(), bench_.buffer->image());
    if (!serial_ || (verifyingAtStation() && !takeSerialFromChip()))
        return "";
    const std::vector<std::uint8_t> bytes = serialBytes(*serial_, nextSerial_);
    std::copy(bytes.begin(), bytes.end(), bench_.buffer->image() + serial_->address);
    std::string serialText = serial_->format == SerialNumbering::Format::Ascii
                                 ? std::string(bytes.begin(), bytes.end())
                                 : std::to_string(nextSerial_);
    bench_.log.write("Serial number " + serialText);
    return serialText;
}

bool ProductionRun::reserveAtStation() {
    if (verifyingAtStation())
        return stationWantsAnother();
    std::string why;
    bool complete = false;
    held_ = r_.station_->reserve(&why, &complete);
    if (held_) {
        nextSerial_ = *held_;
        return true;
    }
    stationStops(why, complete);
    return false;
}

bool ProductionRun::stationWantsAnother() {
    std::string why;
    bool complete = false;
    if (r_.station_->wantsAnotherChip(verifyingAtStation(), &why, &complete))
        return true;
    stationStops(why, complete);
    return false;
}

void ProductionRun::stationStops(const std::string& why, bool complete) {
    r_.ui_.note(why);
    bench_.log.write(why);
    // Ctrl-C while waiting for the other stations ends the run as Ctrl-C does.
    if (!complete)
        status_ = interruptRequested() ? interruptStatus() : kExitFailed;
}

bool ProductionRun::takeSerialFromChip() {
    const std::unique_ptr<unsigned char[]> block = operations::chipBlock(bench_, r_.ui_);
    operations::Differences unstable;
    if (!block || operations::readChipCopy(bench_, r_.ui_, block.get(), 1, unstable) !=
                      operations::Outcome::Done)
        return false;
    const std::optional<std::uint64_t> number =
        serialValue(*serial_, {block.get() + serial_->address, serial_->width()});
    if (number) {
        nextSerial_ = *number;
        return true;
    }
    // The image's own bytes stay in the field, so the verify fails there.
    char at[16];
    std::snprintf(at, sizeof at, "0x%X", serial_->address);
    r_.ui_.note("the chip holds no serial number of job " + r_.station_->job().name + " at " + at);
    return false;
}

bool ProductionRun::recordAtStation(const std::string& result, const std::string& serialText) {
    line::Attempt attempt;
    attempt.chip = bench_.chip.nameText();
    attempt.command = o_.command;
    attempt.result = result;
    attempt.sha256 = r_.report_.checksums ? r_.report_.checksums->sha256 : "";
    attempt.diagnosis = r_.report_.diagnosis;
    attempt.serial = serialText;
    attempt.seconds = r_.report_.seconds;
    std::string why;
    const bool recorded = r_.station_->record(attempt, held_, &why);
    held_.reset();
    if (!recorded) {
        r_.ui_.note(why + "; stopping, so that no chip goes unrecorded");
        bench_.log.write(why);
    }
    return recorded;
}

bool ProductionRun::programChip(std::uint64_t chipNumber) {
    if (r_.station_ && !reserveAtStation())
        return false;
    startChip();
    const std::string serialText = patchSerial();
    r_.report_.serial = serialText;
    const auto [chipStatus, result] = r_.commandOnChip(bench_);
    const bool ok = chipStatus == kExitDone;
    (ok ? passed_ : failed_) += 1;
    const bool recorded = record(result, serialText);
    // A single chip's report is the run's, which a lost line fails.
    if (recorded || o_.repeat)
        r_.finish(chipStatus, result);
    else
        r_.finish(kExitFailed, "failed");
    if (o_.repeat) {
        r_.ui_.note("chip " + std::to_string(chipNumber) +
                    (serial_ ? " (serial " + serialText + ")" : "") + ": " +
                    (ok ? "passed" : result) + "; " + counters());
    } else if (serial_) {
        r_.ui_.note("serial number " + serialText);
    }
    // A serial number is used up by a chip that passed; a chip that failed is put
    // aside and its number goes to the next chip, so the shipped numbers run on.
    if (ok && serial_)
        ++nextSerial_;
    return goesOn(chipNumber, chipStatus, result, recorded);
}

bool ProductionRun::goesOn(std::uint64_t chipNumber, int chipStatus, const std::string& result,
                           bool recorded) {
    if (!o_.repeat) {
        status_ = recorded ? chipStatus : kExitFailed;
        return false;
    }
    if (interruptRequested() && chipStatus == interruptStatus()) {
        status_ = chipStatus;
        return false;
    }
    if (!recorded || result == "no-programmer" || result == "in-use") {
        status_ = !recorded ? kExitFailed : chipStatus;
        return false;
    }
    if (o_.count && chipNumber >= *o_.count)
        return false;
    // A station's numbers are the line store's to count.
    if (serial_ && !r_.station_ && nextSerial_ > serial_->maximum()) {
        r_.ui_.note("--serial: the serial numbers are used up at " +
                    std::to_string(serial_->maximum()));
        return false;
    }
    return true;
}

}  // namespace cli
