// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Checks for the bench and the production line, for the terminal front end: a backup of
// the chip before a command changes it, a blank check, a patch of one region of the
// chip, and a diagnosis that names the likely cause when a verify, a read or an erase
// went wrong. They run in the same frame as the window's commands (guards, status texts,
// progress, the log, cancel) and leave the window's own commands as they are.
//
// A diagnosis only ever rests on what the operation itself saw: the bytes of a read, a
// second read where the user asked for passes (or for a diagnosis after a failed
// verify), and the IDs an SPI flash answered. The analysis is pure, so it can be
// checked without a programmer.

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/chip_record.h"
#include "operations/checks.h"
#include "operations/frontend.h"
#include "operations/workbench.h"

namespace operations {

// The two ID bytes a chip answered.
struct ChipIds {
    std::uint8_t manufacturer = 0;
    std::uint8_t device = 0;
};

// ---- Diagnosis ---------------------------------------------------------------------

enum class Cause {
    None,
    NoChip,         // all 0xFF or all 0x00, or IDs FF FF / 00 00
    NotErased,      // old bits kept: the chip reads as its old content AND the data
    WriteNoEffect,  // the chip reads as before the write, or bits the data wants 0 stayed 1
    EraseNoEffect,  // not blank right after an erase
    Unstable,       // two reads differed
    Wraps,          // an EEPROM whose second half repeats its first
    Unknown,        // a verify failed, and the chip shows none of the causes above
};

// A cause as the user sees it: a stable code ("" for none), one line saying what it
// means and one saying what to do.
struct Diagnosis {
    const char* code = "";
    const char* explanation = "";
    const char* suggestion = "";
};
Diagnosis describe(Cause cause);
// The cause of a code; None for one that names no cause.
Cause causeOf(std::string_view code);

// What an operation saw of the chip.
struct Evidence {
    // A 24/25/93-series EEPROM, whose address counter wraps at its size.
    bool eeprom = false;
    // A whole read of the chip; empty when there was none.
    std::span<const unsigned char> chip;
    // What the chip should hold after a write (a verify's data); empty for a read.
    std::span<const unsigned char> wanted;
    // Two reads of the chip differed.
    bool readsDiffered = false;
    // The chip was just erased: it should read blank.
    bool afterErase = false;
    // The chip as it read before the write (a backup's read); empty when there was none.
    std::span<const unsigned char> before;
    // The IDs the chip answered, where they were asked (SPI flash).
    std::optional<ChipIds> ids;
};

// FF FF (an empty socket) or 00 00 (a shorted or absent data line).
bool idsMeanNoChip(ChipIds ids);
// Every byte 0xFF, or every byte 0x00 (false for no bytes).
bool readsEmpty(std::span<const unsigned char> chip);
// The second half repeats the first, and the chip is not one byte value throughout.
bool wrapsAtHalf(std::span<const unsigned char> chip);
// They differ, and only in bits the data wants 0 that the chip kept at 1: what a
// write that did not reach the cells leaves (an erased chip under write protection).
bool onlyBitsLeftSet(std::span<const unsigned char> wanted, std::span<const unsigned char> chip);
// They differ, and only in bits the data wants 1 that the chip holds at 0: programming
// only clears bits, so a chip that was not erased keeps its old 0s (old AND data).
bool onlyBitsLeftClear(std::span<const unsigned char> wanted, std::span<const unsigned char> chip);
// The one cause the evidence points to, in this order: unstable reads, no chip, an
// erase without effect, a wrapping EEPROM; then, after a write, the chip compared with
// its read from before (old AND data: not erased; as it was: no effect), else with the
// data alone (only 0s where it wants 1: not erased; only 1s where it wants 0: no
// effect). None when none fits.
Cause diagnose(const Evidence& evidence);

// The IDs the selected chip's mode reads; Done with them in `ids`, else why not.
Outcome readChipIds(Workbench& bench, Frontend& ui, ChipIds& ids);
// Detect Chip, keeping the IDs the programmer answered (nothing when it did not answer).
Outcome detectChipIds(Workbench& bench, Frontend& ui, std::optional<ChipIds>& ids);

// After a verify of the buffer failed: reads the chip twice apart from the buffer, and
// an SPI flash's IDs, and names the cause those show: Unknown when nothing fits, None
// when the reads fail. `before`: the chip as read before the write, if it was.
Cause diagnoseVerifyFailure(Workbench& bench, Frontend& ui,
                            std::span<const unsigned char> before = {});
// The cause a read into the buffer shows: `unstable` from its passes; with `askIds`,
// an SPI flash that read empty is asked for its IDs.
Cause diagnoseRead(Workbench& bench, Frontend& ui, const Differences& unstable, bool askIds);

// ---- Blank check -------------------------------------------------------------------

struct BlankCheck {
    bool blank = true;
    std::uint32_t firstNonBlank = 0;  // when not blank
    std::uint64_t nonBlankBytes = 0;
};
BlankCheck blankCheckOf(std::span<const unsigned char> chip);

// Reads the chip `passes` times apart from the buffer and checks that every byte is
// 0xFF. An SPI flash is asked for its IDs first, since an empty socket reads as blank as
// an erased chip. Done when blank, Mismatch when not; Failed when no chip answered, the
// read failed or the passes differed, with the cause in `cause`. `sums` are of what
// was read.
Outcome blankCheckChip(Workbench& bench, Frontend& ui, int passes, BlankCheck& result,
                       Checksums& sums, Cause& cause);
// After an erase: reads the chip once and checks it is blank (an SPI flash that reads
// empty is asked for its IDs too). Done when blank; Failed, with the cause, when not.
Outcome checkErased(Workbench& bench, Frontend& ui, BlankCheck& result, Checksums& sums,
                    Cause& cause);

// ---- Backup ------------------------------------------------------------------------

struct Backup {
    std::string path;
    Checksums checksums;
};

// <chip>-<YYYYMMDD-HHMMSS, local time>-<first 8 hex digits of the SHA-256>.bin, with
// every character of the chip's name but ASCII letters, digits, '.', '-' and '_' made '_'.
std::string backupFileName(const catalogue::ChipRecord& chip, std::time_t when,
                           const Checksums& sums);
// Saves `bytes` (a whole read of the chip) in `folder`, created when missing; false,
// with a box and the log saying why, when it cannot.
bool saveBackup(Workbench& bench, Frontend& ui, const std::string& folder,
                std::span<const unsigned char> bytes, Backup& saved);
// Reads the chip `passes` times apart from the buffer (which keeps the data about to be
// written) and saves it in `folder`. Done with `saved`, and the read in `read` for a
// diagnosis after the command; otherwise the chip must not be changed: the read
// failed, the passes differed (in `unstable`) or the file was not written.
Outcome backupChip(Workbench& bench, Frontend& ui, const std::string& folder, int passes,
                   Backup& saved, Differences& unstable, std::vector<unsigned char>& read);

// ---- Patch -------------------------------------------------------------------------

// Whether `length` bytes at `offset` lie inside the selected chip (and are some).
bool patchFits(const catalogue::ChipRecord& chip, std::uint64_t offset, std::uint64_t length);

// Putting `patch` at `offset` and leaving the rest of the chip as it is takes two steps,
// so that the file the chip can be restored from is named before the chip changes.
//
// The first reads the whole chip into the buffer (`passes` times) and saves that read in
// `folder` (the rescue file, in `saved`); it changes nothing. Failed, with nothing read,
// when the patch does not fit; Failed too when the file cannot be saved.
Outcome readChipForPatch(Workbench& bench, Frontend& ui, std::uint32_t offset, std::size_t length,
                         int passes, const std::string& folder, Backup& saved,
                         Differences& unstable);
// The second places the patch in that read and erases (SPI flash only), writes and
// verifies the whole chip.
Outcome applyPatch(Workbench& bench, Frontend& ui, std::uint32_t offset,
                   std::span<const unsigned char> patch);

}  // namespace operations
