// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The command line of chipwright-cli: one command, its file or pattern, and options
// anywhere around them.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// Exit statuses, as --help documents them.
enum ExitStatus : int {
    kExitDone = 0,
    kExitFailed = 1,
    kExitUsage = 2,
    kExitMismatch = 3,
    kExitNoProgrammer = 4,
};

struct Options {
    std::string command;
    // What follows the command: a file, a pattern, a chip name.
    std::vector<std::string> arguments;
    std::string chip;      // -c / --chip
    std::string type;      // --type, for `chips`
    std::string language;  // --lang, for this run only
    bool json = false;
    bool quiet = false;
    bool yes = false;
    bool all = false;  // verify --all
    int passes = 1;    // read --passes, blank-check, --backup, write --offset
    // --backup DIR: write, erase and auto first save the chip's contents in DIR.
    std::string backup;
    // write --offset ADDR: the file goes to ADDR, the rest of the chip stays as it is.
    std::optional<std::uint64_t> offset;
    bool diagnose = false;  // --diagnose: name the likely cause of a failure
    // --force: the chip in the socket is not checked against the selected one.
    bool force = false;
    // --pad: a file shorter than the chip is filled up with 0xFF instead of refused.
    bool pad = false;
    // --no-verify: write on an SPI flash does not read back what it wrote.
    bool noVerify = false;
    bool help = false;
    bool version = false;  // --version
    // --simulate[=CHIP]: the simulated programmer instead of a real one, with CHIP (or
    // the selected chip) in its socket.
    bool simulate = false;
    std::string simulatedChip;
    std::optional<std::uint64_t> simSpeed;  // bytes per second; 0 = as fast as it goes
    std::vector<std::string> simFaults;     // NAME or NAME=VALUE
    std::string simMemory;                  // file that keeps the simulated chip's cells
    // --sim-swap[=MS]: after each chip the simulator takes it out and, MS later, puts a
    // fresh erased one in.
    std::optional<std::uint32_t> simSwapMs;
    // --sim-tray DIR: every chip the simulator takes out, and the one in its socket when
    // the run ends, kept as a file in DIR (chip-0001.bin, ...): the tray of chips a
    // simulated production run leaves.
    std::string simTray;

    // The bench and the production line.
    std::string device;  // --device PLACE: the programmer at this place ("1-4")
    bool repeat = false;
    bool nextOnId = false;               // --next-on-id: the next chip is seen by its IDs
    std::optional<std::uint64_t> count;  // --count N: stop after N chips
    std::string reportFile;              // --report FILE: one CSV line per chip
    std::string serial;                  // --serial ADDR:FORMAT:START, checked when parsed
    // A production line of several stations: its store, the job, and this station.
    std::string lineUrl;  // --line URL
    std::string job;      // --job JOB
    std::string station;  // --station NAME
};

// The options, or nothing with `error` saying what is wrong.
std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string* error);

// The --help text.
std::string helpText();

}  // namespace cli
