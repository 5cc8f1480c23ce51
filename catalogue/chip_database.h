// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The chip database file and its in-memory form.
//
// The file is a 100-byte header followed by `count` records of 108 bytes, every
// byte scrambled with one continuous keystream (header first, then records,
// without reseeding) and the records verified by an 8-bit sum kept in the
// header. Numbers are little-endian; names are GBK, zero-terminated in their
// fields. Header: count (u16) at 0, checksum (u8) at 2, 97 bytes uninterpreted.
// Record: type (i32) 0, name[40] 4, manufacturer[20] 44, spare 64, level 65,
// reserved 66-67, capacity (u32) 68, pageWrite (u32) 72, pageSize (u16) 76,
// manufacturerId 78, deviceId 79, mode93 80, organisation 81, reserved 82-107.
//
// The keystream's seed and additive constant are part of the format: a file can
// only be read with the values it was made with, so they never change.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "catalogue/chip_record.h"

namespace catalogue {

constexpr std::size_t kHeaderBytes = 100;
constexpr std::size_t kRecordBytes = 108;
constexpr std::size_t kMaxChips = 2000;

// Park and Miller's multiplier, reduced by a 31-bit mask (not modulo 2^31 - 1).
constexpr std::uint32_t kKeystreamMultiplier = 16807;
constexpr std::uint16_t kKeystreamSeed = 0x4357;
constexpr std::uint8_t kScrambleConstant = 0xA5;

class Keystream {
  public:
    explicit Keystream(std::uint32_t seed = kKeystreamSeed) { reseed(seed); }
    // Only the low 16 bits of the seed count.
    void reseed(std::uint32_t seed) { state_ = seed & 0xFFFFu; }
    // Advances the generator and returns the low byte of its output.
    std::uint8_t next() {
        state_ = (state_ * kKeystreamMultiplier) & 0x7FFFFFFFu;
        return static_cast<std::uint8_t>(state_ + (state_ >> 16));
    }

  private:
    std::uint32_t state_ = 0;
};

// Stored byte = plain + keystream + K (mod 256), and back.
void descramble(std::span<std::uint8_t> bytes, Keystream& stream);
void scramble(std::span<std::uint8_t> bytes, Keystream& stream);

// The loaded database: the header and the records in file order. All zero when
// nothing is loaded, so every query then finds nothing.
struct ChipDatabase {
    std::array<std::uint8_t, kHeaderBytes> header{};
    std::array<ChipRecord, kMaxChips> records{};

    std::uint16_t count() const { return static_cast<std::uint16_t>(header[0] | (header[1] << 8)); }
    std::uint8_t checksum() const { return header[2]; }
    std::span<const ChipRecord> chips() const { return {records.data(), count()}; }
    void clear();
};

// Loads and verifies the database file. On any failure — missing, unreadable,
// too short for its header or its records, more records than fit, a checksum
// mismatch, a record recordProblem (chip_record.h) finds fault with, a name held by
// two records — the database is left all zero and false is returned.
bool loadDatabase(const std::string& path, ChipDatabase& database);

std::array<std::uint8_t, kRecordBytes> encodeRecord(const ChipRecord& chip);
ChipRecord decodeRecord(std::span<const std::uint8_t, kRecordBytes> bytes);

// The complete, scrambled file for `chips` (at most kMaxChips).
std::vector<std::uint8_t> buildDatabaseImage(std::span<const ChipRecord> chips);

}  // namespace catalogue
