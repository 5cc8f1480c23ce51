// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One run of chipwright-cli: the options turned into one command of the operations
// library, over the real programmer (libusb) or the simulated one, with the terminal as
// the front end. The result goes to stdout (text, or one JSON object with --json),
// messages to stderr; the return value is the exit status.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/chip_record.h"
#include "cli/options.h"
#include "operations/bench_checks.h"
#include "operations/checks.h"

namespace cli {

// What the chip in the socket answered: its IDs ("EF 17") and the database's chips
// that carry them.
struct SocketAnswer {
    std::string ids;
    std::vector<catalogue::ChipRecord> chips;
};

// What a run did, for the text and the JSON report.
struct Report {
    std::string command;
    std::string chip;  // the selected chip's name, UTF-8
    std::uint64_t bytes = 0;
    double seconds = 0;
    // "done", "failed", "mismatch", "no-programmer", "in-use", "busy", "cancelled",
    // "interrupted", "skipped", "usage", "unknown-chip", "no-chip", "wrong-chip",
    // "ambiguous-chip"; doctor's "ready"
    std::string result;
    int exitStatus = 0;
    std::vector<std::string> messages;
    std::string chipState;  // after an interrupted operation
    std::string file;       // the command's file, if it has one
    bool simulated = false;
    std::vector<catalogue::ChipRecord> chips;  // chips and info
    // Of what was read, or of the file's bytes written or verified.
    std::optional<operations::Checksums> checksums;
    // Of the chip's whole image where it is more than the file (write --pad).
    std::optional<operations::Checksums> chipChecksums;
    // A failed verify (write's read-back included), read --passes, --backup --passes.
    std::optional<operations::Differences> differences;
    // The code of the cause a diagnosis named ("no-chip", "unstable"... as
    // operations::describe gives them); empty when none.
    std::string diagnosis;
    // --backup: the file the chip was saved in, and its checksums.
    std::optional<operations::Backup> backup;
    // blank-check, erase --diagnose.
    std::optional<operations::BlankCheck> blank;
    // What the socket answered: detect, and a chip refused by its IDs.
    std::optional<SocketAnswer> socket;
    // --serial: the number this chip was given.
    std::string serial;
    // version: the programmer's firmware version text.
    std::string firmwareVersion;
};

struct Streams {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    std::FILE* in = stdin;
    bool outIsTerminal = false;
    bool errIsTerminal = false;
    bool inIsTerminal = false;
};

// The message table must be loaded (app::loadMessageTable) before.
int run(const Options& options, const Streams& streams);

}  // namespace cli
