// SPDX-License-Identifier: GPL-3.0-or-later
// The command set end to end: Programmer over UsbLink over the simulated programmer. The
// shared command-set contract runs here on the in-process backend. The cases below are
// the simulator's own: pipes that fail to open, garbage and bit flips on the wire, the
// real limits measured once, and host-side rules that no backend can change.

#include "protocol/programmer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "protocol/chip_params.h"
#include "tests/support/programmer_contract.h"
#include "tests/support/sim_rig.h"

using protocol::Programmer;
using testsupport::elapsedMs;
using testsupport::pattern;
using testsupport::SimRig;

namespace testsupport {
INSTANTIATE_TYPED_TEST_SUITE_P(SimProgrammer, ProgrammerContract, SimRig);
}  // namespace testsupport

namespace {

constexpr std::uint32_t k1MB = 0x100000;

using ProgrammerTest = testsupport::ProgrammerContract<SimRig>;

}  // namespace

TEST_F(ProgrammerTest, FlashProgrammingOnlyClearsBitsAndEepromsOverwrite) {
    insert(catalogue::SpiFlash, 4096);
    rig_.device->fillMemory(0, std::vector<std::uint8_t>(4096, 0xF0));
    ASSERT_EQ(writeChip(std::vector<std::uint8_t>(4096, 0x3C)), protocol::PollDone);
    std::vector<std::uint8_t> back;
    ASSERT_EQ(readChip(&back, 4096), protocol::PollDone);
    EXPECT_EQ(back[0], 0x30);
    EXPECT_EQ(back[4095], 0x30);

    insert(catalogue::Eeprom24, 4096);
    rig_.device->fillMemory(0, std::vector<std::uint8_t>(4096, 0xF0));
    ASSERT_EQ(writeChip(std::vector<std::uint8_t>(4096, 0x3C)), protocol::PollDone);
    ASSERT_EQ(readChip(&back, 4096), protocol::PollDone);
    EXPECT_EQ(back[0], 0x3C);
}

TEST_F(ProgrammerTest, StartRefusesWhileAnotherOperationRuns) {
    insert(catalogue::SpiFlash, k1MB);
    rig_.device->setThroughput(20'000'000);
    const auto data = pattern(k1MB, 2);
    ASSERT_EQ(programmer_.startWriteChip(data.data(), 0, k1MB, 256), 1);
    std::vector<std::uint8_t> back(k1MB + 64);
    EXPECT_EQ(programmer_.startReadChip(back.data(), 0, k1MB), 0);
    EXPECT_EQ(programmer_.startErase(), 0);
    std::array<char, protocol::kVersionTextBytes> text{};
    EXPECT_EQ(programmer_.readFirmwareVersion(text), 0);
    // Only the bulk write went on: no command packet reached the device.
    const auto requests = rig_.device->outRequests();
    for (std::size_t i = 1; i < requests.size(); ++i)
        EXPECT_TRUE(requests[i] == 4096 || requests[i] == 0) << requests[i];
    EXPECT_EQ(finish(), protocol::PollDone);
}

TEST_F(ProgrammerTest, ReplyContentsAreChecked) {
    // Small, so the read the device still sends after the refused reply is soon skipped.
    insert(catalogue::SpiFlash, 256);
    // A ReadChip reply 11 01 01 waiting ahead of the real one refuses the read.
    rig_.device->queueInPacket(std::vector<std::uint8_t>{0x11, 0x01, 0x01});
    std::vector<std::uint8_t> back(256 + 64);
    EXPECT_EQ(programmer_.startReadChip(back.data(), 0, 256), 0);
    EXPECT_EQ(programmer_.state(), protocol::Idle);

    // Each raw reply is met before the simulator's own, which is then taken off.
    std::uint8_t stale[64];
    std::uint32_t n = 0;
    rig_.device->queueInPacket(std::vector<std::uint8_t>{0x15, 0x02, 0xEF, 0x14});
    std::array<std::uint8_t, 2> ids{};
    ASSERT_EQ(programmer_.readChipId(&ids), 1);
    EXPECT_EQ(ids, (std::array<std::uint8_t, 2>{0xEF, 0x14}));
    ASSERT_EQ(programmer_.receiveReply(0x15, stale, 5, &n), 1);
    rig_.device->queueInPacket(std::vector<std::uint8_t>{0x15, 0x01, 0xEF, 0x14});
    EXPECT_EQ(programmer_.readChipId(&ids), 0);
    ASSERT_EQ(programmer_.receiveReply(0x15, stale, 5, &n), 1);

    std::array<char, protocol::kVersionTextBytes> text{};
    rig_.device->queueInPacket(std::vector<std::uint8_t>{0x17, 0x00, 'V', '1', '.', '2', 0, 'x'});
    ASSERT_EQ(programmer_.readFirmwareVersion(text), 1);
    EXPECT_STREQ(text.data(), "V1.2");
    ASSERT_EQ(programmer_.receiveReply(0x17, stale, 64, &n), 1);
    rig_.device->queueInPacket(std::vector<std::uint8_t>{0x17, 0x00, 'A', 'B'});
    ASSERT_EQ(programmer_.readFirmwareVersion(text), 1);
    EXPECT_STREQ(text.data(), "AB");
    ASSERT_EQ(programmer_.receiveReply(0x17, stale, 64, &n), 1);

    // A ReadIds reply too short to hold both IDs fails.
    rig_.device->queueInPacket(std::vector<std::uint8_t>{0x15, 0x02, 0xEF});
    EXPECT_EQ(programmer_.readChipId(&ids), 0);
    ASSERT_EQ(programmer_.receiveReply(0x15, stale, 5, &n), 1);

    // Any busy byte but 1 ends an erase.
    rig_.device->setEraseDurationMs(10000);
    ASSERT_EQ(programmer_.startErase(), 1);
    EXPECT_EQ(programmer_.poll(), protocol::PollErasing);
    rig_.device->queueInPacket(std::vector<std::uint8_t>{0x13, 0x01, 0x02});
    EXPECT_EQ(programmer_.poll(), protocol::PollDone);
    EXPECT_EQ(programmer_.progress(), 100);
}

TEST_F(ProgrammerTest, SelfTestReportMustArriveWithinItsLimit) {
    auto limits = testsupport::shortProgrammerLimits();
    limits.selfTestReportMs = 100;
    programmer_.setLimits(limits);
    // The 76-byte report takes about 380 ms at this pace.
    rig_.device->setThroughput(200);
    std::array<char, protocol::kSelfTestReportBytes> report{};
    const std::uint64_t ms = elapsedMs([&] { EXPECT_EQ(programmer_.selfTest(report), 0); });
    EXPECT_GE(ms, 100u);
    EXPECT_LT(ms, 300u);
}

TEST_F(ProgrammerTest, RealLimitsEndAReplyWaitAtOneSecondAndAPacketWriteAtHalfASecond) {
    programmer_.setLimits(protocol::ProgrammerLimits{});
    rig_.link.setLimits(usblink::LinkLimits{});
    sim::Faults faults;
    faults.silent = true;
    setFaults(faults);
    std::array<char, protocol::kVersionTextBytes> text{};
    std::uint64_t ms = elapsedMs([&] { EXPECT_EQ(programmer_.readFirmwareVersion(text), 0); });
    EXPECT_GE(ms, 1000u);
    EXPECT_LT(ms, 1200u);

    faults = {};
    faults.writeFails = true;
    setFaults(faults);
    ms = elapsedMs([&] { EXPECT_EQ(programmer_.startErase(), 0); });
    EXPECT_GE(ms, 500u);
    EXPECT_LT(ms, 700u);
}

TEST_F(ProgrammerTest, DeviceThatNeverStopsTalkingFailsACommandAtTheReplyLimit) {
    sim::Faults faults;
    // Far beyond the reply limit; only then would the reply get through.
    faults.chatterMs = 2000;
    setFaults(faults);
    std::array<std::uint8_t, 2> ids{};
    const std::uint64_t ms = elapsedMs([&] { EXPECT_EQ(programmer_.readChipId(&ids), 0); });
    EXPECT_GE(ms, 150u);
    EXPECT_LT(ms, 300u);
    // Many reads each got an unrelated packet: the limit ended a wait that was never
    // silent.
    EXPECT_GT(rig_.device->inRequests().size(), 10u);
}

TEST_F(ProgrammerTest, FailingPipesFailCommandsAtOnce) {
    insert(catalogue::SpiFlash, k1MB);
    sim::Faults faults;
    faults.failPipe = "PIPE00";
    setFaults(faults);
    ASSERT_EQ(rig_.link.open(), 1);
    std::vector<std::uint8_t> back(k1MB + 64);
    std::uint64_t ms =
        elapsedMs([&] { EXPECT_EQ(programmer_.startReadChip(back.data(), 0, k1MB), 0); });
    EXPECT_LT(ms, 100u);

    faults.failPipe = "PIPE01";
    setFaults(faults);
    ASSERT_EQ(rig_.link.open(), 1);
    ms = elapsedMs([&] { EXPECT_EQ(programmer_.startErase(), 0); });
    EXPECT_LT(ms, 100u);

    // A write endpoint that refuses every packet: the command fails at the stall limit.
    faults = {};
    faults.writeFails = true;
    setFaults(faults);
    ASSERT_EQ(rig_.link.open(), 1);
    ms = elapsedMs([&] { EXPECT_EQ(programmer_.startErase(), 0); });
    EXPECT_GE(ms, 200u);
    EXPECT_LT(ms, 350u);
}

TEST_F(ProgrammerTest, GarbageBeforeRepliesIsSkipped) {
    insert(catalogue::SpiFlash, k1MB);
    sim::Faults faults;
    faults.garbagePackets = 5;
    setFaults(faults);
    const auto data = pattern(k1MB, 6);
    ASSERT_EQ(programmer_.startErase(), 1);
    ASSERT_EQ(finish(), protocol::PollDone);
    ASSERT_EQ(writeChip(data), protocol::PollDone);
    std::vector<std::uint8_t> back;
    ASSERT_EQ(readChip(&back, k1MB), protocol::PollDone);
    EXPECT_EQ(std::memcmp(back.data(), data.data(), k1MB), 0);
    std::array<char, protocol::kVersionTextBytes> text{};
    EXPECT_EQ(programmer_.readFirmwareVersion(text), 1);
    EXPECT_STREQ(text.data(), "Chipwright SIM V1.00");
}

TEST_F(ProgrammerTest, BitFlipsArriveAsReadSoAVerifyFindsThem) {
    insert(catalogue::SpiFlash, k1MB);
    sim::Faults faults;
    faults.bitFlipEvery = 65536;
    setFaults(faults);
    std::vector<std::uint8_t> back;
    ASSERT_EQ(readChip(&back, k1MB), protocol::PollDone);
    std::vector<std::uint32_t> differing;
    for (std::uint32_t a = 0; a < k1MB; ++a) {
        if (back[a] != 0xFF)
            differing.push_back(a);
    }
    ASSERT_EQ(differing.size(), 16u);
    EXPECT_EQ(differing[0], 65535u);
    EXPECT_EQ(back[65535], 0xFE);
}

TEST_F(ProgrammerTest, PollWithNothingRunningIsDone) {
    EXPECT_EQ(programmer_.poll(), protocol::PollDone);
    Programmer unattached;
    EXPECT_EQ(unattached.poll(), protocol::PollDone);
    EXPECT_EQ(unattached.startErase(), 0);
}
