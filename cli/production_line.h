// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The pieces of a production-line run (--repeat) that need no programmer: the serial
// number written into each chip's image (--serial), the CSV line kept per chip
// (--report), and waiting for the next chip (Enter, or the chip's IDs going and coming
// back with --next-on-id).

#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cli {

// --serial ADDR:FORMAT:START: where each chip's serial number goes and how it is written.
struct SerialNumbering {
    enum class Format { U32Le, U32Be, Ascii };
    std::uint32_t address = 0;
    Format format = Format::U32Le;
    unsigned digits = 0;  // ascii:N
    std::uint64_t start = 0;

    // The bytes one serial number takes in the image.
    std::uint32_t width() const;
    // The largest serial number the format holds.
    std::uint64_t maximum() const;
};

// The numbering, or nothing with `error` saying what is wrong. ADDR is decimal or 0x-hex,
// START decimal; FORMAT u32le, u32be or ascii:N (1 to 19 digits).
std::optional<SerialNumbering> parseSerial(const std::string& text, std::string* error);
// Empty when every byte of the serial number lies inside a chip of `capacity` bytes,
// else why not.
std::string serialFitProblem(const SerialNumbering& numbering, std::uint32_t capacity);
// `value` as the image holds it: little or big endian, or zero-padded decimal digits.
std::vector<std::uint8_t> serialBytes(const SerialNumbering& numbering, std::uint64_t value);
// The serial number `bytes` hold, read back from a chip: nothing when they hold no
// number of the numbering (blank cells, another format) or one below its start.
std::optional<std::uint64_t> serialValue(const SerialNumbering& numbering,
                                         std::span<const std::uint8_t> bytes);

// One line of the --report file.
struct ChipLine {
    std::string time;  // local time, ISO 8601 with the UTC offset
    std::string chip;
    std::string command;
    std::string result;
    std::string sha256;
    std::string diagnosis;
    std::string serial;
};

constexpr const char* kChipLineHeader = "time,chip,command,result,sha256,diagnosis,serial";

std::string isoLocalTime(std::time_t when);
// The line as CSV (RFC 4180 quoting), without its line end.
std::string csvLine(const ChipLine& line);
// Appends the line (and the header before it when the file is empty) with one write()
// under a file lock, so several programs can share one report file. False with `error`
// when it could not be written whole.
bool appendChipLine(const std::string& path, const ChipLine& line, std::string* error);
// Creates the report file when missing, without writing: a path that cannot take lines
// is refused before the first chip is programmed.
bool reportWritable(const std::string& path, std::string* error);

enum class NextChip {
    Ready,        // the next chip is in the socket
    Ended,        // stdin ended (Ctrl-D) or the programmer stopped answering
    Interrupted,  // Ctrl-C
};

// Waits for a line on `fd` (Enter on a terminal). Ctrl-C and the end of input end the run.
NextChip waitForEnter(int fd);

// The chip IDs the programmer reads now; nothing when the programmer did not answer.
using IdReader = std::function<std::optional<std::array<std::uint8_t, 2>>()>;

// How the programmer's ID reads are paced while waiting for the next chip.
constexpr int kIdPollMs = 500;

// Reads the IDs at once and then every kIdPollMs until they vanish (FF FF or 00 00: the
// chip was taken out) and then come back the same in two reads in a row (a chip pushed
// into the socket is in contact only once it reads steadily). `ids` gets the chip's IDs.
NextChip waitForChipSwap(const IdReader& read, std::array<std::uint8_t, 2>* ids,
                         int pollMs = kIdPollMs);

// IDs that mean "no chip": what an empty socket (FF FF) or a dead chip (00 00) reads.
bool noChipIds(const std::array<std::uint8_t, 2>& ids);

}  // namespace cli
