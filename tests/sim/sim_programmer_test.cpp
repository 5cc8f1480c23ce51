// SPDX-License-Identifier: GPL-3.0-or-later
// The firmware model at the byte level: raw packets through the link, written from the
// firmware's side so these tests do not lean on the host's command set.

#include "sim/sim_programmer.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/sim_rig.h"
#include "tests/support/temp_dir.h"

using testsupport::chipOf;
using testsupport::elapsedMs;
using testsupport::SimRig;

namespace {

std::vector<std::uint8_t> readCommand(std::uint32_t address, std::uint32_t length) {
    auto be = [](std::uint32_t v, int shift) { return static_cast<std::uint8_t>(v >> shift); };
    return {0x11,
            0x0A,
            1,
            be(address, 24),
            be(address, 16),
            be(address, 8),
            be(address, 0),
            be(length, 24),
            be(length, 16),
            be(length, 8),
            be(length, 0),
            3,
            0,
            0,
            0};
}

class Firmware : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(rig.link.open(), 1); }

    void send(const std::vector<std::uint8_t>& packet) {
        ASSERT_EQ(rig.link.writeTimed(packet.data(), static_cast<std::uint32_t>(packet.size()),
                                      &counter, 500),
                  1);
    }

    // One reply-sized read; the bytes received.
    std::vector<std::uint8_t> readPacket(std::uint32_t timeoutMs = 300) {
        std::uint8_t buffer[64];
        if (!rig.link.readTimed(buffer, 64, &counter, timeoutMs))
            return {};
        return {buffer, buffer + counter.load()};
    }

    SimRig rig;
    std::atomic<std::uint32_t> counter{0};
};

}  // namespace

TEST_F(Firmware, ReadEndsWithATrailerOrAZeroLengthPacket) {
    // 4156 chip bytes and the 4-byte trailer make 65 whole packets: a zero-length
    // packet closes the read.
    rig.device->insertChip(chipOf(catalogue::Eeprom24, 4156));
    send(readCommand(0, 4156));
    EXPECT_EQ(readPacket(), (std::vector<std::uint8_t>{0x11, 0x01, 0x00}));
    std::vector<std::uint8_t> data(4156 + 64);
    ASSERT_EQ(rig.link.readTimed(data.data(), 4156 + 64, &counter, 1000), 1);
    EXPECT_EQ(counter.load(), 4160u);
    EXPECT_EQ(data[4155], 0xFF);
    EXPECT_EQ(data[4156], sim::kReadTrailer[0]);
    EXPECT_TRUE(readPacket(50).empty());  // nothing left over

    // A read beyond an EEPROM wraps to its start, as the part's address counter does.
    rig.device->fillMemory(0, std::vector<std::uint8_t>{0x42});
    send(readCommand(4100, 100));
    readPacket();
    ASSERT_EQ(rig.link.readTimed(data.data(), 164, &counter, 1000), 1);
    EXPECT_EQ(counter.load(), 104u);
    EXPECT_EQ(data[4156 - 4100], 0x42);
}

TEST_F(Firmware, UnreadChipDataWaitsAheadOfTheNextReply) {
    rig.device->insertChip(chipOf(catalogue::SpiFlash, 4096));
    send(readCommand(0, 256));
    readPacket();
    EXPECT_EQ(readPacket().size(), 64u);  // one packet of the read, the rest left unread
    send({0x13, 0x00, 1});
    std::vector<std::vector<std::uint8_t>> packets;
    for (auto p = readPacket(); !p.empty(); p = readPacket(50))
        packets.push_back(p);
    ASSERT_EQ(packets.size(), 5u);
    EXPECT_EQ(packets[2].size(), 64u);
    EXPECT_EQ(packets[3], (std::vector<std::uint8_t>(std::begin(sim::kReadTrailer),
                                                     std::end(sim::kReadTrailer))));
    EXPECT_EQ(packets[4], (std::vector<std::uint8_t>{0x13, 0x01, 0x00}));
}

TEST_F(Firmware, ThroughputPacesTheData) {
    rig.device->insertChip(chipOf(catalogue::SpiFlash, 100'000));
    rig.device->setThroughput(1'000'000);
    send(readCommand(0, 100'000));
    readPacket();
    std::vector<std::uint8_t> data(100'064);
    const std::uint64_t ms =
        elapsedMs([&] { EXPECT_EQ(rig.link.readTimed(data.data(), 100'064, &counter, 5000), 1); });
    EXPECT_GE(ms, 95u);
    EXPECT_LT(ms, 300u);
}

TEST_F(Firmware, BootCommandEchoesAndChecksItsSum) {
    std::vector<std::uint8_t> boot = {0xF2, 'U', 'S', 'B', ' ', 'B', 'O', 'O', 'T', ' ', 'C', 'O',
                                      'M',  'M', 'A', 'N', 'D', 0,   0,   0,   0,   8,   0};
    unsigned sum = 0;
    for (std::size_t i = 0; i < 22; ++i)
        sum += boot[i];
    boot[22] = static_cast<std::uint8_t>(0x100 - sum % 256);
    boot[22] ^= 1;  // wrong sum: refused
    send(boot);
    auto reply = readPacket();
    ASSERT_EQ(reply.size(), 19u);
    EXPECT_TRUE(std::equal(reply.begin() + 1, reply.begin() + 18, boot.begin() + 1));
    EXPECT_EQ(reply[18], 0x00);

    boot[22] ^= 1;
    send(boot);
    EXPECT_EQ(readPacket()[18], 0x01);
    send({1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(rig.device->firmwareImage(), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(Firmware, GarbageAndWrongReplyBytes) {
    sim::Faults faults;
    faults.garbagePackets = 2;
    faults.wrongReplyByte = true;
    rig.device->setFaults(faults);
    send({0x14, 0x01, 1});
    EXPECT_EQ(readPacket(), std::vector<std::uint8_t>(64, 0xEE));
    EXPECT_EQ(readPacket(), (std::vector<std::uint8_t>{0x13, 0x01, 0x00}));
    EXPECT_EQ(readPacket(), (std::vector<std::uint8_t>{0x14, 0xFE, 0xFE}));
}

// The cells live in blocks made on the first store; what is never stored reads erased,
// within the chip and beyond it, whatever the chip's size.
TEST(ChipCells, StoresAndProgramsAcrossBlocksAndReadsTheRestErased) {
    sim::ChipCells cells;
    const std::uint32_t size = 0x20000 + 100;  // two whole blocks and part of a third
    cells.reset(size);
    std::vector<std::uint8_t> data(300, 0x5A);
    cells.store(0x10000 - 150, data);  // across the first boundary
    cells.program(0x10000 - 150, std::vector<std::uint8_t>(300, 0x0F));  // flash: AND
    cells.store(size - 10, std::vector<std::uint8_t>(50, 0x00));         // runs past the end

    std::vector<std::uint8_t> out(size + 64);
    cells.read(0, size + 64, out.data());
    for (std::uint32_t a = 0; a < out.size(); ++a) {
        std::uint8_t want = sim::ChipCells::kErased;
        if (a >= 0x10000 - 150 && a < 0x10000 + 150)
            want = 0x5A & 0x0F;
        else if (a >= size - 10 && a < size)
            want = 0x00;
        ASSERT_EQ(out[a], want) << "at " << a;
    }
    EXPECT_EQ(cells.copy(), std::vector<std::uint8_t>(out.begin(), out.begin() + size));
    cells.eraseAll();
    EXPECT_EQ(cells.copy(), std::vector<std::uint8_t>(size, sim::ChipCells::kErased));
}

// Cells on a file read its bytes wherever nothing changed them (erased past the file's
// end and past the chip's), keep every change to themselves and forget the file when
// erased; the file is never written.
TEST(ChipCells, OnAFileReadItsBytesAndKeepChangesToThemselves) {
    testsupport::TempDir dir;
    const std::string path = dir.file("chip.bin");
    std::string bytes(0x30000 + 50, '\0');  // three blocks and a little of a fourth
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 + i / 0x10000);
    testsupport::writeFile(path, bytes);
    const std::uint32_t size = 0x40000 + 100;
    sim::ChipCells cells;
    cells.reset(size);
    cells.store(0, std::vector<std::uint8_t>(10, 0x00));  // the file replaces it
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    cells.backWithFile(fd, bytes.size());

    std::vector<std::uint8_t> want(size + 64, sim::ChipCells::kErased);
    std::copy(bytes.begin(), bytes.end(), want.begin());
    cells.program(0x20000 - 20, std::vector<std::uint8_t>(40, 0x0F));  // across a block edge
    cells.store(0x30000 + 40, std::vector<std::uint8_t>(20, 0x00));    // across the file's end
    for (std::uint32_t a = 0x20000 - 20; a < 0x20000 + 20; ++a)
        want[a] &= 0x0F;
    std::fill(want.begin() + 0x30000 + 40, want.begin() + 0x30000 + 60, 0x00);
    std::vector<std::uint8_t> out(size + 64);
    cells.read(0, size + 64, out.data());
    EXPECT_EQ(out, want);
    EXPECT_EQ(testsupport::readFile(path), bytes) << "the file is never written";

    cells.eraseAll();
    EXPECT_EQ(cells.copy(), std::vector<std::uint8_t>(size, sim::ChipCells::kErased));

    // A file longer than the chip gives the chip's share of it.
    cells.reset(100);
    cells.backWithFile(open(path.c_str(), O_RDONLY | O_CLOEXEC), bytes.size());
    out.assign(164, 0);
    cells.read(0, 164, out.data());
    want.assign(bytes.begin(), bytes.begin() + 100);
    want.resize(164, sim::ChipCells::kErased);
    EXPECT_EQ(out, want);
}
