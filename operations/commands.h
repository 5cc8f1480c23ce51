// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Every command the user can give, each a function of the Workbench and the Frontend.
// They run on the front end's one thread; while they wait for the programmer they call
// Frontend::pumpMessage, so other commands may run nested inside them: a command that
// needs the programmer, the buffer or the files is then refused with message 0 ("the
// programmer is busy"), while chip selection, language and typing go on.

#include "operations/frontend.h"
#include "operations/workbench.h"

namespace operations {

// The chip: the whole of it, from address 0 to the selected chip's capacity.
Outcome readChip(Workbench& bench, Frontend& ui);
Outcome eraseChip(Workbench& bench, Frontend& ui);
Outcome writeChip(Workbench& bench, Frontend& ui);
Outcome verifyChip(Workbench& bench, Frontend& ui);
// Erase (SPI flash only), write and verify; each step runs whatever the one before
// ended with.
Outcome autoProgram(Workbench& bench, Frontend& ui);

// The programmer's answers.
Outcome detectChip(Workbench& bench, Frontend& ui);
Outcome readFirmwareVersion(Workbench& bench, Frontend& ui);
Outcome selfTest(Workbench& bench, Frontend& ui);
Outcome updateFirmware(Workbench& bench, Frontend& ui);

// Files and the buffer.
Outcome openFile(Workbench& bench, Frontend& ui);
Outcome saveFile(Workbench& bench, Frontend& ui);
Outcome fillBuffer(Workbench& bench, Frontend& ui);
Outcome swapBytes(Workbench& bench, Frontend& ui);

// The caption suffix for a chosen file: three blanks and the path, or, for a path of
// more than 60 bytes, three blanks, "..." and its last 50 bytes, moved forward to the
// start of a character so a character is never cut.
std::string captionSuffixFor(const std::string& path);

// The largest firmware image the programmer takes.
constexpr std::uint32_t kFirmwareImageBytes = 0x40000;

}  // namespace operations
