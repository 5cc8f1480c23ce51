// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the program works with for its whole run, whichever front end shows it: the chip
// database, the selected chip, the link to the programmer and the command set over it,
// the data buffer, and the log. The window and the terminal each own one Workbench and
// hand it, with their Frontend, to the commands (operations/commands.h); the parts of
// start-up and chip selection that touch no widget live here too, so both front ends
// share one copy.
//
// Members are destroyed in reverse order of declaration: the Programmer goes first and
// stops a bulk phase still running, while the link it talks through and the buffer the
// phase reads or fills still exist.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "buffer/data_buffer.h"
#include "catalogue/chip_database.h"
#include "catalogue/chip_record.h"
#include "link/device_finder.h"
#include "link/usb_bus.h"
#include "link/usb_link.h"
#include "operations/log.h"
#include "protocol/programmer.h"

namespace operations {

class Frontend;

// How a command ended. The window ignores it (the user has seen the messages); the
// terminal turns it into its exit status.
enum class Outcome {
    Done,
    Failed,
    Mismatch,      // a verify found the chip different from the buffer
    Busy,          // refused: another operation runs
    NoProgrammer,  // refused: no programmer could be opened
    Cancelled,     // the user cancelled a dialog or asked the operation to stop
    Skipped,       // nothing to do (Chip Erase of a chip that is no SPI flash)
};

// The chip selected when neither the configured default nor anything else is known.
constexpr const char* kFallbackChipName = "EN25T80";

struct Workbench {
    explicit Workbench(usblink::UsbBus& bus, usblink::LinkLimits linkLimits = {},
                       protocol::ProgrammerLimits programmerLimits = {});
    ~Workbench();
    Workbench(const Workbench&) = delete;
    Workbench& operator=(const Workbench&) = delete;

    // Whether anything runs that closing the program would cut short: a command
    // between its guards and its end, a firmware update (its waiting phase included),
    // or a bulk phase of the programmer.
    bool busy() const;
    // The buffer exists (start-up got past the database and the allocation).
    bool ready() const { return buffer != nullptr; }

    Log log;
    std::unique_ptr<catalogue::ChipDatabase> database;
    catalogue::ChipRecord chip{};
    // Chip Erase is offered only for an SPI flash.
    bool eraseEnabled = false;
    // A selected chip becomes the default of the next start (config.ini). The terminal
    // front end turns this off: a scripted run must not change the window's settings.
    bool rememberChip = true;
    usblink::DeviceFinder finder;
    usblink::UsbLink link;
    std::unique_ptr<buffer::DataBuffer> buffer;
    protocol::Programmer programmer;
    bool firmwareUpdateRunning = false;
    // Commands that have passed their guards and not yet ended; they may be nested
    // inside another's message pump.
    int operationsRunning = 0;
};

// The capacity as the chip panel shows it: "4MB\r\n\r\n", "128 x8bit\r\n\r\n", and for a
// 16-bit 93-series chip a line on the byte order of its words.
std::string chipInformation(const catalogue::ChipRecord& chip);

// Makes `chip` the selected chip and applies it: the buffer's data length, the chip
// line in the log, Chip Erase enabled for an SPI flash only, the front end told, and
// the name kept as the default for the next start (when the bench remembers chips).
void selectChip(Workbench& bench, Frontend& ui, const catalogue::ChipRecord& chip);

// The chip named `name` (stored bytes) made the selected chip; false, with message 16 in
// a message box and nothing changed, when the database has no such chip.
bool selectChipByName(Workbench& bench, Frontend& ui, std::string_view name);

enum class StartupResult {
    Ready,
    // The chip database did not load: no buffer, no chip, no programmer. The window
    // stays open with its menus until it is closed.
    NoDatabase,
    // The buffer could not be allocated: the program ends.
    NoMemory,
};

// Start-up after the window exists: the chip database, the buffer, the default chip
// (or "EN25T80"), the first look for the programmer, and a data file named as the one
// command-line argument.
StartupResult startUp(Workbench& bench, Frontend& ui, const std::vector<std::string>& arguments,
                      const buffer::BlockAllocator& allocate = {});

}  // namespace operations
