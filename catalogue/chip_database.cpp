// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalogue/chip_database.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string_view>

#include "util/regular_file.h"

namespace catalogue {
namespace {

// Field offsets inside a record.
constexpr std::size_t kTypeAt = 0;
constexpr std::size_t kNameAt = 4;
constexpr std::size_t kManufacturerAt = 44;
constexpr std::size_t kSpareAt = 64;
constexpr std::size_t kLevelAt = 65;
constexpr std::size_t kCapacityAt = 68;
constexpr std::size_t kPageWriteAt = 72;
constexpr std::size_t kPageSizeAt = 76;
constexpr std::size_t kManufacturerIdAt = 78;
constexpr std::size_t kDeviceIdAt = 79;
constexpr std::size_t kMode93At = 80;
constexpr std::size_t kOrganisationAt = 81;

std::uint32_t get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Every record sound by recordProblem, and no name twice: chips are chosen by name, so
// a second chip of a name could be listed but never selected. The chipdb tool builds
// no file that breaks either rule; one that does was damaged or made by hand.
bool recordsSound(std::span<const ChipRecord> chips) {
    std::set<std::string_view> names;
    for (const ChipRecord& chip : chips) {
        if (!recordProblem(chip).empty() || !names.insert(chip.nameBytes()).second)
            return false;
    }
    return true;
}

}  // namespace

void descramble(std::span<std::uint8_t> bytes, Keystream& stream) {
    for (std::uint8_t& b : bytes)
        b = static_cast<std::uint8_t>(b - stream.next() - kScrambleConstant);
}

void scramble(std::span<std::uint8_t> bytes, Keystream& stream) {
    for (std::uint8_t& b : bytes)
        b = static_cast<std::uint8_t>(b + stream.next() + kScrambleConstant);
}

void ChipDatabase::clear() {
    header.fill(0);
    records.fill(ChipRecord{});
}

std::array<std::uint8_t, kRecordBytes> encodeRecord(const ChipRecord& chip) {
    std::array<std::uint8_t, kRecordBytes> out{};
    put32(&out[kTypeAt], static_cast<std::uint32_t>(chip.type));
    std::memcpy(&out[kNameAt], chip.name.data(), kNameBytes);
    std::memcpy(&out[kManufacturerAt], chip.manufacturer.data(), kManufacturerBytes);
    out[kSpareAt] = chip.spare;
    out[kLevelAt] = chip.level;
    put32(&out[kCapacityAt], chip.capacity);
    put32(&out[kPageWriteAt], chip.pageWrite);
    put16(&out[kPageSizeAt], chip.pageSize);
    out[kManufacturerIdAt] = chip.manufacturerId;
    out[kDeviceIdAt] = chip.deviceId;
    out[kMode93At] = chip.mode93;
    out[kOrganisationAt] = chip.organisation;
    return out;
}

ChipRecord decodeRecord(std::span<const std::uint8_t, kRecordBytes> in) {
    ChipRecord chip;
    chip.type = static_cast<std::int32_t>(get32(&in[kTypeAt]));
    std::memcpy(chip.name.data(), &in[kNameAt], kNameBytes);
    std::memcpy(chip.manufacturer.data(), &in[kManufacturerAt], kManufacturerBytes);
    chip.spare = in[kSpareAt];
    chip.level = in[kLevelAt];
    chip.capacity = get32(&in[kCapacityAt]);
    chip.pageWrite = get32(&in[kPageWriteAt]);
    chip.pageSize = get16(&in[kPageSizeAt]);
    chip.manufacturerId = in[kManufacturerIdAt];
    chip.deviceId = in[kDeviceIdAt];
    chip.mode93 = in[kMode93At];
    chip.organisation = in[kOrganisationAt];
    return chip;
}

bool loadDatabase(const std::string& path, ChipDatabase& database) {
    database.clear();
    Keystream stream;

    // Only a regular file: a FIFO would wait for a writer, a device never end.
    const int fd = util::openRegularFile(path, nullptr);
    std::unique_ptr<std::FILE, FileCloser> file(fd < 0 ? nullptr : fdopen(fd, "rb"));
    if (!file) {
        if (fd >= 0)
            close(fd);
        return false;
    }

    std::array<std::uint8_t, kHeaderBytes> header{};
    if (std::fread(header.data(), 1, header.size(), file.get()) != header.size())
        return false;
    descramble(header, stream);
    const std::size_t count = static_cast<std::size_t>(header[0] | header[1] << 8);
    // More records than the database holds cannot be loaded: treated like a
    // damaged file rather than read in part.
    if (count > kMaxChips)
        return false;

    std::vector<std::uint8_t> body(count * kRecordBytes);
    if (std::fread(body.data(), 1, body.size(), file.get()) != body.size())
        return false;
    descramble(body, stream);

    std::uint8_t sum = 0;
    for (std::uint8_t b : body)
        sum = static_cast<std::uint8_t>(sum + b);
    if (sum != header[2])
        return false;

    for (std::size_t i = 0; i < count; ++i) {
        database.records[i] = decodeRecord(
            std::span<const std::uint8_t, kRecordBytes>(&body[i * kRecordBytes], kRecordBytes));
    }
    // One record the program cannot use refuses the whole file, as damage does: a
    // capacity beyond the buffer would let a chip read overrun it, a capacity of 0 would
    // make every command succeed at nothing, and a record that breaks the file's own
    // layout (a name without its zero) shows the file is not what the tool built.
    if (!recordsSound({database.records.data(), count})) {
        database.clear();
        return false;
    }
    database.header = header;
    return true;
}

std::vector<std::uint8_t> buildDatabaseImage(std::span<const ChipRecord> chips) {
    const std::size_t count = std::min(chips.size(), kMaxChips);
    std::vector<std::uint8_t> image(kHeaderBytes + count * kRecordBytes, 0);
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        auto record = encodeRecord(chips[i]);
        std::memcpy(&image[kHeaderBytes + i * kRecordBytes], record.data(), kRecordBytes);
        for (std::uint8_t b : record)
            sum = static_cast<std::uint8_t>(sum + b);
    }
    put16(&image[0], static_cast<std::uint16_t>(count));
    image[2] = sum;
    Keystream stream;
    scramble(image, stream);
    return image;
}

}  // namespace catalogue
