// SPDX-License-Identifier: GPL-3.0-or-later
#include "operations/bench_checks.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "app/messages.h"
#include "operations/commands.h"
#include "operations/frame.h"
#include "util/safe_file.h"
#include "util/text_codec.h"

namespace operations {
namespace {

constexpr unsigned char kBlank = 0xFF;
constexpr std::size_t kBackupHashDigits = 8;

std::string hexAddress(std::uint32_t address) {
    char out[16];
    std::snprintf(out, sizeof out, "0x%06X", address);
    return out;
}

bool isEeprom(const catalogue::ChipRecord& chip) {
    return chip.type == catalogue::Eeprom24 || chip.type == catalogue::Eeprom25 ||
           chip.type == catalogue::Eeprom93;
}

std::span<const unsigned char> chipBytes(const unsigned char* block, const Workbench& bench) {
    return {block, bench.chip.capacity};
}

// A line in the log and a box, in a frame of its own.
void tell(Workbench& bench, Frontend& ui, const std::string& line) {
    Frame f(bench, ui);
    f.log(line);
    f.message(line);
}

// Asks an SPI flash that read empty for its IDs: erased and absent read the same.
std::optional<ChipIds> idsIfEmpty(Workbench& bench, Frontend& ui,
                                  std::span<const unsigned char> chip) {
    ChipIds ids;
    if (bench.chip.type != catalogue::SpiFlash || !readsEmpty(chip) ||
        readChipIds(bench, ui, ids) != Outcome::Done) {
        return std::nullopt;
    }
    return ids;
}

}  // namespace

Diagnosis describe(Cause cause) {
    switch (cause) {
        case Cause::None:
            return {};
        case Cause::NoChip:
            return {"no-chip",
                    "The chip reads all 0xFF or all 0x00, or its IDs read FF FF or 00 00: no "
                    "chip answers.",
                    "Check that a chip sits in the socket or clip, the right way round, with "
                    "every pin in contact."};
        case Cause::NotErased:
            return {"not-erased",
                    "Bits the data wants 1 read 0: the chip keeps bits of its old content, as "
                    "programming without an erase leaves it.",
                    "Erase it before the write: auto erases, writes and verifies."};
        case Cause::WriteNoEffect:
            return {"write-no-effect",
                    "The write had no effect: the chip reads as before it, or bits the data "
                    "wants 0 are still 1. The chip is write-protected.",
                    "Clear the chip's write protection (status register protect bits, WP pin) "
                    "and write again."};
        case Cause::EraseNoEffect:
            return {"erase-no-effect",
                    "The chip is not blank right after the erase: the erase "
                    "had no effect.",
                    "Clear the chip's write protection (status register protect bits, WP pin) "
                    "and erase again."};
        case Cause::Unstable:
            return {"unstable", "Two reads of the chip differ: the contact is unstable.",
                    "Reseat the clip or the chip, shorten the wires, then read with --passes 2."};
        case Cause::Wraps:
            return {"wraps",
                    "The second half of the chip repeats the first: the chip in the socket may "
                    "be smaller than the one selected.",
                    "Read the part number on the chip and select that chip with -c."};
        case Cause::Unknown:
            return {"unknown",
                    "No likely cause found: the chip differs from the data in no pattern a "
                    "missing erase, write protection, a loose contact or a wrong chip leaves.",
                    "Read the chip and compare it with the file; with --backup the diagnosis "
                    "also compares the chip with what it held before the write."};
    }
    return {};
}

Cause causeOf(std::string_view code) {
    for (Cause c : {Cause::NoChip, Cause::NotErased, Cause::WriteNoEffect, Cause::EraseNoEffect,
                    Cause::Unstable, Cause::Wraps, Cause::Unknown}) {
        if (code == describe(c).code)
            return c;
    }
    return Cause::None;
}

bool idsMeanNoChip(ChipIds ids) {
    return (ids.manufacturer == 0xFF && ids.device == 0xFF) ||
           (ids.manufacturer == 0x00 && ids.device == 0x00);
}

bool readsEmpty(std::span<const unsigned char> chip) {
    if (chip.empty() || (chip[0] != 0xFF && chip[0] != 0x00))
        return false;
    return std::all_of(chip.begin(), chip.end(), [&](unsigned char b) { return b == chip[0]; });
}

bool wrapsAtHalf(std::span<const unsigned char> chip) {
    const std::size_t half = chip.size() / 2;
    if (half == 0 || chip.size() % 2 != 0 ||
        std::memcmp(chip.data(), chip.data() + half, half) != 0) {
        return false;
    }
    // One value throughout (an erased chip) repeats itself without wrapping.
    return std::adjacent_find(chip.begin(), chip.end(), std::not_equal_to<>()) != chip.end();
}

namespace {

// Whether every byte differs from `wanted` only as `keeps` allows, and one differs.
template <typename Keeps>
bool differsOnlyAs(std::span<const unsigned char> wanted, std::span<const unsigned char> chip,
                   Keeps keeps) {
    if (wanted.size() != chip.size())
        return false;
    bool differs = false;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (wanted[i] == chip[i])
            continue;
        if (!keeps(wanted[i], chip[i]))
            return false;
        differs = true;
    }
    return differs;
}

// The chip reads as `before` AND `wanted`, byte for byte.
bool equalsAnd(std::span<const unsigned char> chip, std::span<const unsigned char> before,
               std::span<const unsigned char> wanted) {
    if (chip.size() != before.size() || chip.size() != wanted.size())
        return false;
    for (std::size_t i = 0; i < chip.size(); ++i) {
        if (chip[i] != (before[i] & wanted[i]))
            return false;
    }
    return true;
}

// After a write that did not verify. Programming only turns bits to 0: a chip that was
// not erased keeps its old 0s (old AND data), and one whose write never reached the
// cells keeps everything, so the bits the data wants 0 stay 1 where they were 1.
Cause causeAfterWrite(const Evidence& e) {
    if (!e.before.empty()) {
        // Tested first: when the old bytes already lie within the data, an unchanged
        // chip still needed the erase it did not get.
        if (equalsAnd(e.chip, e.before, e.wanted))
            return Cause::NotErased;
        if (std::ranges::equal(e.chip, e.before))
            return Cause::WriteNoEffect;
    }
    if (onlyBitsLeftClear(e.wanted, e.chip))
        return Cause::NotErased;
    if (onlyBitsLeftSet(e.wanted, e.chip))
        return Cause::WriteNoEffect;
    return Cause::None;
}

}  // namespace

bool onlyBitsLeftSet(std::span<const unsigned char> wanted, std::span<const unsigned char> chip) {
    return differsOnlyAs(wanted, chip, [](unsigned char w, unsigned char c) {
        return (w & ~c) == 0;  // no bit the data wants 1 reads 0
    });
}

bool onlyBitsLeftClear(std::span<const unsigned char> wanted, std::span<const unsigned char> chip) {
    return differsOnlyAs(wanted, chip, [](unsigned char w, unsigned char c) {
        return (c & ~w) == 0;  // no bit the data wants 0 reads 1
    });
}

Cause diagnose(const Evidence& e) {
    if (e.readsDiffered)
        return Cause::Unstable;
    if (e.ids && idsMeanNoChip(*e.ids))
        return Cause::NoChip;
    // A chip that answered its IDs is there, however empty it reads; without IDs an empty
    // read means no chip only where data should have been.
    if (!e.wanted.empty() && !e.ids && readsEmpty(e.chip) &&
        !std::equal(e.wanted.begin(), e.wanted.end(), e.chip.begin(), e.chip.end())) {
        return Cause::NoChip;
    }
    if (e.afterErase && !e.chip.empty() && !blankCheckOf(e.chip).blank)
        return Cause::EraseNoEffect;
    if (e.eeprom && wrapsAtHalf(e.chip) && (e.wanted.empty() || !wrapsAtHalf(e.wanted)))
        return Cause::Wraps;
    return e.wanted.empty() ? Cause::None : causeAfterWrite(e);
}

Outcome readChipIds(Workbench& bench, Frontend& ui, ChipIds& ids) {
    Frame f(bench, ui);
    if (const Outcome g = f.guard(); g != Outcome::Done)
        return g;
    bench.programmer.setChip(bench.chip);
    std::array<std::uint8_t, 2> answer{};
    if (!bench.programmer.readChipId(&answer)) {
        f.log(text(app::MsgDetectChipError));
        return Outcome::Failed;
    }
    ids = {answer[0], answer[1]};
    char line[48];
    std::snprintf(line, sizeof line, "Chip IDs: %02X %02X", ids.manufacturer, ids.device);
    f.log(line);
    return Outcome::Done;
}

Cause diagnoseVerifyFailure(Workbench& bench, Frontend& ui, std::span<const unsigned char> before) {
    if (!bench.ready())
        return Cause::None;
    const auto block = chipBlock(bench, ui);
    if (!block)
        return Cause::None;
    bench.log.write("Diagnosis: reading the chip twice");
    Differences unstable;
    if (readChipCopy(bench, ui, block.get(), 2, unstable) != Outcome::Done && !unstable.any())
        return Cause::None;
    Evidence e;
    e.eeprom = isEeprom(bench.chip);
    e.chip = chipBytes(block.get(), bench);
    e.wanted = chipBytes(bench.buffer->image(), bench);
    e.readsDiffered = unstable.any();
    if (before.size() == e.chip.size())
        e.before = before;
    if (ChipIds ids;
        bench.chip.type == catalogue::SpiFlash && readChipIds(bench, ui, ids) == Outcome::Done) {
        e.ids = ids;
    }
    // The chip was read: a cause is named, or it is said that none was found.
    const Cause cause = diagnose(e);
    return cause == Cause::None ? Cause::Unknown : cause;
}

Cause diagnoseRead(Workbench& bench, Frontend& ui, const Differences& unstable, bool askIds) {
    if (!bench.ready())
        return Cause::None;
    Evidence e;
    e.eeprom = isEeprom(bench.chip);
    e.chip = chipBytes(bench.buffer->image(), bench);
    e.readsDiffered = unstable.any();
    if (askIds && !e.readsDiffered)
        e.ids = idsIfEmpty(bench, ui, e.chip);
    return diagnose(e);
}

BlankCheck blankCheckOf(std::span<const unsigned char> chip) {
    BlankCheck r;
    const auto first =
        std::find_if(chip.begin(), chip.end(), [](unsigned char b) { return b != kBlank; });
    if (first == chip.end())
        return r;
    r.blank = false;
    r.firstNonBlank = static_cast<std::uint32_t>(first - chip.begin());
    r.nonBlankBytes = static_cast<std::uint64_t>(
        std::count_if(first, chip.end(), [](unsigned char b) { return b != kBlank; }));
    return r;
}

namespace {

std::string blankSummary(const BlankCheck& r) {
    if (r.blank)
        return "The chip is blank.";
    return "The chip is not blank: " + std::to_string(r.nonBlankBytes) +
           (r.nonBlankBytes == 1 ? " byte is" : " bytes are") + " not 0xFF, the first at " +
           hexAddress(r.firstNonBlank) + ".";
}

}  // namespace

Outcome blankCheckChip(Workbench& bench, Frontend& ui, int passes, BlankCheck& result,
                       Checksums& sums, Cause& cause) {
    result = {};
    cause = Cause::None;
    if (!bench.ready())
        return Outcome::Failed;
    if (bench.chip.type == catalogue::SpiFlash) {
        ChipIds ids;
        if (const Outcome o = readChipIds(bench, ui, ids); o != Outcome::Done)
            return o;
        if (idsMeanNoChip(ids)) {
            cause = Cause::NoChip;
            tell(bench, ui, "No chip answers: its IDs read FF FF or 00 00.");
            return Outcome::Failed;
        }
    }
    const auto block = chipBlock(bench, ui);
    if (!block)
        return Outcome::Failed;
    Differences unstable;
    if (const Outcome o = readChipCopy(bench, ui, block.get(), passes, unstable);
        o != Outcome::Done) {
        if (unstable.any())
            cause = Cause::Unstable;
        return o;
    }
    const auto chip = chipBytes(block.get(), bench);
    sums = checksumsOf(chip);
    result = blankCheckOf(chip);
    bench.log.write(blankSummary(result));
    ui.showStatus(blankSummary(result));
    if (result.blank)
        return Outcome::Done;
    Evidence e;
    e.eeprom = isEeprom(bench.chip);
    e.chip = chip;
    cause = diagnose(e);
    return Outcome::Mismatch;
}

Outcome checkErased(Workbench& bench, Frontend& ui, BlankCheck& result, Checksums& sums,
                    Cause& cause) {
    result = {};
    cause = Cause::None;
    const auto block = chipBlock(bench, ui);
    if (!block)
        return Outcome::Failed;
    Differences unstable;
    if (const Outcome o = readChipCopy(bench, ui, block.get(), 1, unstable); o != Outcome::Done)
        return o;
    Evidence e;
    e.eeprom = isEeprom(bench.chip);
    e.chip = chipBytes(block.get(), bench);
    e.afterErase = true;
    e.ids = idsIfEmpty(bench, ui, e.chip);
    sums = checksumsOf(e.chip);
    result = blankCheckOf(e.chip);
    cause = diagnose(e);
    if (cause == Cause::None && result.blank) {
        bench.log.write(blankSummary(result));
        return Outcome::Done;
    }
    tell(bench, ui,
         cause == Cause::NoChip ? "No chip answers: its IDs read FF FF or 00 00."
                                : "After the erase: " + blankSummary(result));
    return Outcome::Failed;
}

std::string backupFileName(const catalogue::ChipRecord& chip, std::time_t when,
                           const Checksums& sums) {
    std::string name = chip.nameText();
    for (char& c : name) {
        const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!safe)
            c = '_';
    }
    // A name of dots only would be a folder of its own.
    if (name.empty() || name.find_first_not_of('.') == std::string::npos)
        name = "chip";
    std::tm local{};
    localtime_r(&when, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y%m%d-%H%M%S", &local);
    return name + "-" + date + "-" + sums.sha256.substr(0, kBackupHashDigits) + ".bin";
}

namespace {

// How many names a backup tries before it gives up: each taken name (a backup of the
// same chip in the same second, or a name planted in a shared folder) moves it on.
constexpr int kBackupNameAttempts = 100;

// A backup is only ever a new file: a name that is taken, even by a link, is left as
// it is and the next name tried, so the path given back is where the bytes really are.
bool createBackupFile(const std::string& folder, const std::string& name,
                      std::span<const unsigned char> bytes, std::string& path, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    const std::string stem = name.substr(0, name.size() - std::string_view(".bin").size());
    for (int attempt = 1; attempt <= kBackupNameAttempts; ++attempt) {
        path = (std::filesystem::path(folder) /
                (attempt == 1 ? name : stem + "-" + std::to_string(attempt) + ".bin"))
                   .string();
        switch (util::createNewFile(path, bytes, &error)) {
            case util::NewFile::Created:
                return true;
            case util::NewFile::Failed:
                return false;
            case util::NewFile::Exists:
                break;
        }
    }
    error = "every name for it is taken";
    return false;
}

}  // namespace

bool saveBackup(Workbench& bench, Frontend& ui, const std::string& folder,
                std::span<const unsigned char> bytes, Backup& saved) {
    saved = {};
    const Checksums sums = checksumsOf(bytes);
    std::string path;
    std::string error;
    if (createBackupFile(folder, backupFileName(bench.chip, std::time(nullptr), sums), bytes, path,
                         error)) {
        saved = {path, sums};
        bench.log.write("Backup saved: " + util::printableName(path));
        return true;
    }
    tell(bench, ui, "Cannot save the backup in " + folder + ": " + error);
    return false;
}

Outcome backupChip(Workbench& bench, Frontend& ui, const std::string& folder, int passes,
                   Backup& saved, Differences& unstable, std::vector<unsigned char>& read) {
    saved = {};
    unstable = {};
    if (!bench.ready())
        return Outcome::Failed;
    const auto block = chipBlock(bench, ui);
    if (!block)
        return Outcome::Failed;
    bench.log.write("Backup of the chip before it is changed");
    if (const Outcome o = readChipCopy(bench, ui, block.get(), passes, unstable);
        o != Outcome::Done) {
        return o;
    }
    const auto chip = chipBytes(block.get(), bench);
    if (!saveBackup(bench, ui, folder, chip, saved))
        return Outcome::Failed;
    read.assign(chip.begin(), chip.end());
    return Outcome::Done;
}

bool patchFits(const catalogue::ChipRecord& chip, std::uint64_t offset, std::uint64_t length) {
    return length > 0 && offset < chip.capacity && length <= chip.capacity - offset;
}

Outcome readChipForPatch(Workbench& bench, Frontend& ui, std::uint32_t offset, std::size_t length,
                         int passes, const std::string& folder, Backup& saved,
                         Differences& unstable) {
    saved = {};
    unstable = {};
    if (!bench.ready())
        return Outcome::Failed;
    if (!patchFits(bench.chip, offset, length)) {
        tell(bench, ui,
             std::to_string(length) + " bytes at " + hexAddress(offset) +
                 " do not fit in the chip's " + std::to_string(bench.chip.capacity) + " bytes.");
        return Outcome::Failed;
    }
    // The chip as it is, into the buffer; saved, it is what the chip can be restored from.
    if (const Outcome read = readChipPasses(bench, ui, passes, unstable); read != Outcome::Done)
        return read;
    return saveBackup(bench, ui, folder, {bench.buffer->image(), bench.chip.capacity}, saved)
               ? Outcome::Done
               : Outcome::Failed;
}

Outcome applyPatch(Workbench& bench, Frontend& ui, std::uint32_t offset,
                   std::span<const unsigned char> patch) {
    if (!bench.ready() || !patchFits(bench.chip, offset, patch.size()))
        return Outcome::Failed;
    std::memcpy(bench.buffer->image() + offset, patch.data(), patch.size());
    for (std::uint32_t i = 0; i < patch.size(); ++i)
        bench.buffer->markChanged(offset + i);
    bench.log.write("Patch: " + std::to_string(patch.size()) + " bytes at " + hexAddress(offset));
    return autoProgram(bench, ui);
}

}  // namespace operations
