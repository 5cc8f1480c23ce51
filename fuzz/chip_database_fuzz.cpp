// SPDX-License-Identifier: GPL-3.0-or-later
// The chip database loader, and what it lets through. Each input is loaded twice: as
// it is, and with its checksum made right, so that a changed record byte reaches the
// record checks instead of stopping at the sum. A refused file must leave the database
// empty. Every chip the loader accepts goes through the queries (the first few names
// also as search patterns), and then to the simulated programmer: a write and a read
// back at the chip's start and at its end, into a block laid out as the program's data
// buffer (16 MB and the read's slack), each at the offset of its chip address. A chip
// beyond 16 MB would make the read at its end land past the block, which the address
// sanitizer reports; the bytes read must be the bytes written, and the simulated
// firmware must find nothing wrong with the chip parameters.
//
// Only the first and the last kWindowBytes of a chip move, the simulator runs
// unthrottled, and a chip whose parameters were driven already (only the name and the
// manufacturer differ, as for most chips of the shipped file) is not driven again.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "catalogue/chip_database.h"
#include "catalogue/chip_queries.h"
#include "link/device_finder.h"
#include "link/usb_link.h"
#include "protocol/programmer.h"
#include "sim/sim_bus.h"
#include "sim/sim_programmer.h"

namespace {

using catalogue::ChipRecord;

// The program's data buffer (buffer/data_buffer.h): 16 MB and the slack a chip read
// asks for. Its own number, not the catalogue's limit, so that a limit raised beyond
// the buffer shows here.
constexpr std::size_t kBufferBytes = 0x1000000 + protocol::kReadSlackBytes;
constexpr std::uint32_t kWindowBytes = 512;
constexpr std::ptrdiff_t kSearchedNames = 16;

// The simulator answers within microseconds: the link's pauses between polls stay short.
usblink::LinkLimits fastLinkLimits() {
    usblink::LinkLimits limits;
    limits.pollSleepMs = 1;
    return limits;
}

// A simulated programmer behind a link and a Programmer, made once for the whole run.
struct Rig {
    Rig() {
        bus.addProgrammer(device);
        device->setThroughput(0);
        programmer.attach(link);
        if (!link.open())
            __builtin_trap();
    }
    std::shared_ptr<sim::SimProgrammer> device = std::make_shared<sim::SimProgrammer>();
    sim::SimBus bus;
    usblink::DeviceFinder finder{bus};
    usblink::UsbLink link{finder, fastLinkLimits()};
    protocol::Programmer programmer;
    std::unique_ptr<std::uint8_t[]> buffer = std::make_unique<std::uint8_t[]>(kBufferBytes);
};

// Polls the running write or read to its end; true when it ended well.
bool finish(protocol::Programmer& programmer) {
    for (;;) {
        const protocol::PollStatus status = programmer.poll();
        if (status == protocol::PollDone)
            return true;
        if (status == protocol::PollFailed)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

// Writes `length` bytes at `address` and reads them back, through the buffer at the
// same offset as the program does; false when either fails or the bytes differ.
bool writeAndReadBack(Rig& rig, const ChipRecord& chip, std::uint32_t address,
                      std::uint32_t length) {
    std::uint8_t* at = rig.buffer.get() + address;
    for (std::uint32_t i = 0; i < length; ++i)
        at[i] = static_cast<std::uint8_t>((address + i) * 31 + chip.deviceId);
    const std::vector<std::uint8_t> written(at, at + length);
    const auto pageSize = static_cast<std::uint16_t>(chip.pageWrite != 0 ? chip.pageSize : 1);
    if (!rig.programmer.startWriteChip(at, address, length, pageSize) || !finish(rig.programmer)) {
        return false;
    }
    std::fill(at, at + length, std::uint8_t{0});
    if (!rig.programmer.startReadChip(at, address, length) || !finish(rig.programmer))
        return false;
    return std::equal(written.begin(), written.end(), at);
}

void drive(Rig& rig, const ChipRecord& chip) {
    rig.device->insertChip(chip);
    const std::size_t complaints = rig.device->protocolComplaints().size();
    if (!rig.programmer.setChip(chip))
        __builtin_trap();
    const std::uint32_t head = std::min(chip.capacity, kWindowBytes);
    if (!writeAndReadBack(rig, chip, 0, head))
        __builtin_trap();
    if (chip.capacity > head) {
        const std::uint32_t tail = std::min(chip.capacity - head, kWindowBytes);
        if (!writeAndReadBack(rig, chip, chip.capacity - tail, tail))
            __builtin_trap();
    }
    if (rig.device->protocolComplaints().size() != complaints)
        __builtin_trap();
}

// Everything of a chip the programmer and the simulator look at.
using Parameters = std::tuple<std::int32_t, std::uint32_t, std::uint32_t, std::uint16_t,
                              std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t>;

Parameters parametersOf(const ChipRecord& c) {
    return {c.type,  c.capacity, c.pageWrite,    c.pageSize,
            c.level, c.mode93,   c.organisation, c.deviceId};
}

void exercise(Rig& rig, const catalogue::ChipDatabase& db) {
    static std::set<Parameters> driven;
    // Bounded, however long the run.
    if (driven.size() > 100000)
        driven.clear();
    ChipRecord found;
    catalogue::manufacturersOfType(db, catalogue::AnyType);
    catalogue::findByName(db, "EN25T80", found);
    for (const ChipRecord& c : db.chips()) {
        catalogue::capacityText(c);
        catalogue::typeText(c.type);
        // Each search runs over every chip: a few names as patterns are enough.
        if (&c - db.chips().data() < kSearchedNames)
            catalogue::searchByPattern(db, c.nameBytes(), c.type);
        c.nameText();
        if (driven.insert(parametersOf(c)).second)
            drive(rig, c);
    }
}

bool load(const std::string& path, const std::vector<std::uint8_t>& bytes,
          catalogue::ChipDatabase& db) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    if (catalogue::loadDatabase(path, db))
        return true;
    if (db.count() != 0 || !(db.records[0] == ChipRecord{}))
        __builtin_trap();
    return false;
}

// The input with the sum of its records (as many as the header counts and the input
// holds) in the header: unscrambled, summed, scrambled again.
std::vector<std::uint8_t> withRightChecksum(std::vector<std::uint8_t> bytes) {
    if (bytes.size() < catalogue::kHeaderBytes)
        return bytes;
    catalogue::Keystream in, out;
    catalogue::descramble(bytes, in);
    const std::size_t count = std::min<std::size_t>(bytes[0] | bytes[1] << 8, catalogue::kMaxChips);
    const std::size_t end =
        std::min(bytes.size(), catalogue::kHeaderBytes + count * catalogue::kRecordBytes);
    std::uint8_t sum = 0;
    for (std::size_t i = catalogue::kHeaderBytes; i < end; ++i)
        sum = static_cast<std::uint8_t>(sum + bytes[i]);
    bytes[2] = sum;
    catalogue::scramble(bytes, out);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/chipwright-fuzz-db-" + std::to_string(getpid());
    static auto db = std::make_unique<catalogue::ChipDatabase>();
    static Rig rig;
    const std::vector<std::uint8_t> input(data, data + size);
    if (load(path, input, *db))
        exercise(rig, *db);
    const std::vector<std::uint8_t> repaired = withRightChecksum(input);
    if (repaired != input && load(path, repaired, *db))
        exercise(rig, *db);
    return 0;
}
