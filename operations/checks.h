// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Checks beyond the window's commands, for the terminal front end: the checksums of what
// was read, written or verified; a verify that lists every difference instead of
// stopping at the first; and a read repeated several times that reports every byte which
// did not read the same each time (the usual sign of a loose clip or a marginal chip).
// They run in the same frame as the window's commands (guards, status texts, progress,
// the log, cancel), and leave the window's own commands and messages as they are.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "operations/frontend.h"
#include "operations/workbench.h"

namespace operations {

struct Checksums {
    std::uint32_t crc32 = 0;  // zlib's CRC-32 (the one of zip, gzip and PNG)
    std::string sha256;       // 64 lower-case hex digits
};

Checksums checksumsOf(std::span<const unsigned char> bytes);
// The buffer's data: the selected chip's capacity from address 0. After a read, a write
// or a verify that passed, these are the chip's bytes.
Checksums bufferChecksums(const Workbench& bench);

// One run of differing bytes: `count` bytes from `start` on.
struct DifferenceRange {
    std::uint32_t start = 0;
    std::uint32_t count = 0;
};

// How many ranges a report lists; the totals count them all.
constexpr std::size_t kListedDifferenceRanges = 100;

struct Differences {
    std::vector<DifferenceRange> ranges;  // the first kListedDifferenceRanges, by address
    std::uint64_t totalRanges = 0;
    std::uint64_t totalBytes = 0;
    bool any() const { return totalBytes > 0; }
};

// Adds the bytes where `a` and `b` differ to `out`, listing up to `listed` ranges; ranges
// are runs of adjacent differing bytes.
void collectDifferences(const unsigned char* a, const unsigned char* b, std::uint32_t length,
                        Differences& out, std::size_t listed = kListedDifferenceRanges);

// Reads the whole chip and compares all of it with the buffer. Done when equal;
// Mismatch, with every difference in `differences` and a summary in a box and the log,
// when not.
Outcome verifyChipAll(Workbench& bench, Frontend& ui, Differences& differences);
// The same, listing up to `listed` ranges and keeping the chip's bytes as they were read
// (the selected chip's capacity) in `chip`, for a report that shows them.
Outcome verifyChipAll(Workbench& bench, Frontend& ui, Differences& differences, std::size_t listed,
                      std::vector<unsigned char>& chip);

// Room for a whole chip read apart from the buffer: the selected chip's capacity and the
// read's slack; nullptr, with the "Memory overflow" box shown, when there is no memory.
std::unique_ptr<unsigned char[]> chipBlock(const Workbench& bench, Frontend& ui);

// Reads the chip into the buffer `passes` times (at least once): the first read as Read
// Chip does, each further one into a block of its own, compared with the first.
// `unstable` gets every byte that read differently in any pass; Failed, with a summary in
// a box and the log, when there is one.
Outcome readChipPasses(Workbench& bench, Frontend& ui, int passes, Differences& unstable);

// The same into `block` (from chipBlock) instead of the buffer, which keeps what it holds
// (the data a write is about to put in the chip): the read a backup or a check makes.
Outcome readChipCopy(Workbench& bench, Frontend& ui, unsigned char* block, int passes,
                     Differences& unstable);

// Reads the chip `passes` times apart from the buffer. When every pass read the same, the
// buffer takes the read as Read Chip leaves it (marks cleared, view refreshed); otherwise
// it keeps what it held, and `unstable` gets every byte that read differently.
Outcome readChipAgreeing(Workbench& bench, Frontend& ui, int passes, Differences& unstable);

}  // namespace operations
