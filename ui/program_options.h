// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's own command line: what is not one of its options is the data file to
// load (exactly one is loaded; none or several load nothing).

#include <string>
#include <utility>
#include <vector>

namespace ui {

// Set to 1 for simulate mode, or to a chip's name for that chip in the socket.
constexpr const char* kSimulateVariable = "CHIPWRIGHT_SIMULATE";

constexpr const char* kUsage =
    "Usage: chipwright [OPTION]... [FILE]\n"
    "Programs SPI flash and 24/25/93-series EEPROM chips through the USB programmer\n"
    "10c4:f5a2. FILE (binary, or Intel HEX when its name ends in .hex or .HEX) is loaded\n"
    "into the buffer at start.\n"
    "\n"
    "  --simulate[=CHIP]  use the built-in simulated programmer instead of the real one;\n"
    "                     with CHIP, that chip sits in its socket whatever is selected,\n"
    "                     else a fresh erased copy of the selected chip\n"
    "                     (also: CHIPWRIGHT_SIMULATE=1 or CHIPWRIGHT_SIMULATE=CHIP)\n"
    "  --help             show this help and exit\n"
    "  --version          show the version and exit\n";

struct ProgramOptions {
    bool simulate = false;
    std::string simulatedChip;  // empty: the socket follows the selected chip
    bool help = false;
    bool version = false;
    std::vector<std::string> files;
    // Internal, for the user manual's pictures (scripts/screenshots.sh), not in the
    // help: "--screenshot WHAT=FILE" saves that picture once the window is up, and
    // the program ends (WHAT: see ui/screenshots.h).
    std::vector<std::pair<std::string, std::string>> screenshots;
    std::string error;  // an unknown option
};

// `arguments` without the program's name; `simulateVariable` is the environment's
// value of kSimulateVariable, or null.
ProgramOptions parseProgramOptions(const std::vector<std::string>& arguments,
                                   const char* simulateVariable);

}  // namespace ui
