// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One run of chipwright-cli as the files that carry it out share it: run.cpp checks the
// command line and picks the command; each command or concern has its own file
// (chip_info.cpp, programmer_session.cpp, chip_command.cpp, production_run.cpp,
// simulated_device.cpp, report_output.cpp). Only those files include this header.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "catalogue/chip_database.h"
#include "catalogue/chip_record.h"
#include "cli/bench_steps.h"
#include "cli/chip_check.h"
#include "cli/options.h"
#include "cli/run.h"
#include "cli/terminal_frontend.h"
#include "link/usb_bus.h"
#include "operations/checks.h"
#include "operations/workbench.h"
#include "sim/sim_programmer.h"
#include "util/safe_file.h"

namespace cli {

// A message of the window's table, in the run's language.
std::string text(int key);
std::string upperAscii(std::string s);
// The chip named `name` (UTF-8): exactly as typed, else with its ASCII letters in upper
// case, the way the database spells chip names.
bool findChip(const catalogue::ChipDatabase& db, const std::string& name,
              catalogue::ChipRecord& out);
// --type: spi, 24, 25, 93, or the list's own texts ("SPI FLASH"...); AnyType without one.
std::optional<int> typeKeyFor(const std::string& type);
// An operation's outcome as the run's exit status and the report's result.
int statusFor(operations::Outcome outcome);
const char* resultFor(operations::Outcome outcome);

class LineStation;

class Run {
  public:
    Run(const Options& options, const Streams& streams);
    ~Run() { stopSimulatedSwap(); }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    int execute();
    // --line: the run is a station of a production line.
    void setStation(LineStation* station) { station_ = station; }

  private:
    friend class ProductionRun;

    // run.cpp
    int finish(int status, const std::string& result);
    int usage(const std::string& why);
    // What is wrong with the command line for its command; nothing when it may run.
    std::optional<std::string> commandLineProblem();

    // chip_info.cpp
    int listChips(const catalogue::ChipDatabase& db);
    int showChip(const catalogue::ChipDatabase& db);

    // programmer_session.cpp
    int withProgrammer();
    // Loads the database and the buffer and selects the run's chip (`chip`) and the one
    // in the simulated socket (`simulated`): the exit status when the run ends here.
    std::optional<int> prepareBench(operations::Workbench& bench, catalogue::ChipRecord& chip,
                                    catalogue::ChipRecord& simulated);
    // The command once the bench is ready: on one chip, or chip after chip.
    int runOnBench(operations::Workbench& bench, const catalogue::ChipRecord& simulated);
    // The command on the chip in the socket: its exit status and result.
    std::pair<int, std::string> commandOnChip(operations::Workbench& bench);
    // "read CHIP: N bytes in S s (R MB/s)" on stderr.
    void noteSummary();
    // A refusal of the chip check as the run's exit status and result.
    std::pair<int, std::string> refused(operations::Workbench& bench, const Refusal& refusal);
    // Why the programmer could not be opened, on stderr; the result for the report.
    std::string explainNoProgrammer(operations::Workbench& bench);
    // Leaves the programmer the way the next run needs it, and the simulated chip kept.
    void leaveProgrammer(operations::Workbench& bench);

    // simulated_device.cpp
    // The simulated programmer on its bus, with the --sim-fault faults; nullptr with
    // `unknownFault` named when one is not known.
    std::unique_ptr<usblink::UsbBus> simulatedBus(std::string* unknownFault);
    // Puts `chip` in the simulated socket with its --sim-memory cells (or takes it out
    // again for empty-socket); what is wrong with --sim-memory, if anything.
    std::optional<std::string> fillSimulatedSocket(const catalogue::ChipRecord& chip);
    std::optional<std::string> loadSimulatedMemory(const catalogue::ChipRecord& chip);
    // --sim-swap: the chip taken out now, a fresh one put in after the delay.
    void swapSimulatedChip(const catalogue::ChipRecord& chip);
    // --sim-tray: the chip in the simulated socket kept as the tray's next file.
    void keepSimulatedChip();
    void stopSimulatedSwap();

    // chip_command.cpp
    int loadInput(operations::Workbench& bench);
    // The read's file and the backup folder, checked before the chip is read.
    int prepareOutput();
    operations::Outcome runCommand(operations::Workbench& bench);
    // read, write, verify and auto: the transfer, and its checksums started.
    operations::Outcome runTransfer(operations::Workbench& bench);
    void startChecksums(operations::Workbench& bench);
    // detect, version, selftest and update-firmware.
    operations::Outcome runProgrammerCommand(operations::Workbench& bench);
    // update-firmware, once confirmed.
    operations::Outcome updateFirmware(operations::Workbench& bench);
    // write on an SPI flash: reads back what it wrote, unless --no-verify.
    operations::Outcome writeAndVerify(operations::Workbench& bench);
    // auto, and every difference of a failed verify.
    operations::Outcome autoAndListDifferences(operations::Workbench& bench);
    // verify, and write's read-back: the whole chip compared, every difference reported.
    operations::Outcome verifyWhole(operations::Workbench& bench);
    bool saveOutput(operations::Workbench& bench);
    // A read's bytes into its file, or to stdout for `-`.
    bool saveRead(operations::Workbench& bench);
    // read -: stdout carries the chip's bytes, so the report goes to stderr.
    bool toStdout() const {
        return o_.command == "read" && !o_.arguments.empty() && o_.arguments[0] == "-";
    }
    std::string stateAfterInterrupt() const;
    // The phase of auto (or a write's steps) this chip's lines reached.
    std::string lastStepPhase() const;

    // production_run.cpp
    // --repeat, --report, --serial: the command chip after chip.
    int productionRun(operations::Workbench& bench, const catalogue::ChipRecord& simulated);
    std::optional<std::string> productionUsage(const operations::Workbench& bench) const;

    // report_output.cpp
    void printReport();

    const Options& o_;
    const Streams& s_;
    // A read's file, opened before the chip is read and replaced once it was.
    util::ReplacementFile output_;
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
    LineStation* station_ = nullptr;
    unsigned trayChips_ = 0;  // --sim-tray's files so far
    std::thread simSwap_;
    std::atomic<bool> simSwapStop_{false};
};

}  // namespace cli
