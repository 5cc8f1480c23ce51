// The command set end to end: Programmer over UsbLink over the simulated programmer.

#include "protocol/programmer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "protocol/chip_params.h"
#include "tests/support/sim_rig.h"

using protocol::PollStatus;
using protocol::Programmer;
using testsupport::chipOf;
using testsupport::elapsedMs;
using testsupport::SimRig;

namespace {

constexpr std::uint32_t k1MB = 0x100000;
constexpr std::uint32_t k16MB = 0x1000000;
constexpr std::uint32_t kTrailer = sizeof(sim::kReadTrailer);

protocol::ProgrammerLimits shortLimits() {
    protocol::ProgrammerLimits limits;
    limits.replyReadMs = 150;  // below the 200 ms stall limit of the rig
    limits.eraseLimitMs = 150;
    limits.owedReadSilenceMs = 300;
    return limits;
}

std::vector<std::uint8_t> pattern(std::uint32_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> data(size);
    std::uint32_t x = seed;
    for (auto& b : data) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return data;
}

class ProgrammerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        protocol::chipParams() = {};
        rig.device->setEraseDurationMs(30);
        ASSERT_EQ(rig.link.open(), 1);
        programmer.attach(rig.link);
    }

    void insert(std::int32_t type, std::uint32_t capacity) {
        const catalogue::ChipRecord chip = chipOf(type, capacity);
        rig.device->insertChip(chip);
        ASSERT_EQ(programmer.setChip(chip), 1);
    }

    void setFaults(const sim::Faults& faults) { rig.device->setFaults(faults); }

    // Polls as the operations do until the running operation ends; every wait bounded.
    PollStatus finish(std::vector<PollStatus>* seen = nullptr) {
        const std::uint64_t limit = util::tickMs() + 10000;
        for (;;) {
            const PollStatus s = programmer.poll();
            if (seen)
                seen->push_back(s);
            if (s == protocol::PollDone || s == protocol::PollFailed)
                return s;
            if (util::tickMs() > limit)
                return protocol::PollFailed;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    PollStatus readChip(std::vector<std::uint8_t>* out, std::uint32_t length) {
        out->assign(length + protocol::kReadSlackBytes, 0);
        if (!programmer.startReadChip(out->data(), 0, length))
            return protocol::PollFailed;
        return finish();
    }

    PollStatus writeChip(const std::vector<std::uint8_t>& data, std::uint16_t pageSize = 256) {
        if (!programmer.startWriteChip(data.data(), 0, static_cast<std::uint32_t>(data.size()),
                                       pageSize))
            return protocol::PollFailed;
        return finish();
    }

    SimRig rig;
    Programmer programmer{shortLimits()};
};

}  // namespace

TEST_F(ProgrammerTest, SixteenMegabyteChipIsWrittenAndReadBackIdentical) {
    insert(catalogue::SpiFlash, k16MB);
    ASSERT_EQ(programmer.startErase(), 1);
    ASSERT_EQ(finish(), protocol::PollDone);
    const auto data = pattern(k16MB, 1);
    ASSERT_EQ(writeChip(data), protocol::PollDone);
    EXPECT_EQ(programmer.progress(), 100);
    EXPECT_TRUE(rig.device->memory() == data);

    std::vector<std::uint8_t> back;
    ASSERT_EQ(readChip(&back, k16MB), protocol::PollDone);
    EXPECT_EQ(programmer.bytesReceived(), k16MB + kTrailer);
    EXPECT_EQ(programmer.progress(), 100);
    EXPECT_EQ(std::memcmp(back.data(), data.data(), k16MB), 0);
    EXPECT_EQ(programmer.state(), protocol::Idle);
}

TEST_F(ProgrammerTest, ReadAsksSixtyFourBytesBeyondTheChip) {
    insert(catalogue::Eeprom25, k1MB);
    rig.device->clearRequestLog();
    std::vector<std::uint8_t> back;
    ASSERT_EQ(readChip(&back, k1MB), protocol::PollDone);
    std::uint64_t asked = 0;
    for (std::uint32_t n : rig.device->inRequests())
        asked += n;
    // The reply read (64) and the bulk read: 256 requests of 4096 and one of 64.
    EXPECT_EQ(asked, 64u + k1MB + 64u);
    EXPECT_EQ(programmer.bytesReceived(), k1MB + kTrailer);
    EXPECT_EQ(programmer.progress(), 100);
}

TEST_F(ProgrammerTest, AbandonedVerifyReadIsFollowedAtOnceByACommandThatSucceeds) {
    insert(catalogue::SpiFlash, k16MB);
    rig.device->setThroughput(50'000'000);
    std::vector<std::uint8_t> back(k16MB + 64);
    ASSERT_EQ(programmer.startReadChip(back.data(), 0, k16MB), 1);
    const std::uint64_t limit = util::tickMs() + 5000;
    while (programmer.bytesReceived() < k1MB && util::tickMs() < limit) {
        ASSERT_EQ(programmer.poll(), protocol::PollReading);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    programmer.cancelRead();
    EXPECT_EQ(programmer.state(), protocol::Idle);
    EXPECT_LT(programmer.bytesReceived(), k16MB);

    rig.device->setThroughput(0);
    std::array<char, protocol::kVersionTextBytes> text{};
    const std::uint64_t ms = elapsedMs([&] {
        ASSERT_EQ(rig.link.open(), 1);
        EXPECT_EQ(programmer.readFirmwareVersion(text), 1);
    });
    EXPECT_LT(ms, 500u);
    EXPECT_STREQ(text.data(), "Chipwright SIM V1.00");
}

TEST_F(ProgrammerTest, ErasePollsBusyThenDone) {
    insert(catalogue::SpiFlash, k1MB);
    rig.device->setEraseDurationMs(60);
    ASSERT_EQ(programmer.startErase(), 1);
    EXPECT_EQ(programmer.startReadChip(nullptr, 0, k1MB), 0);  // busy: refused
    std::vector<PollStatus> seen;
    ASSERT_EQ(finish(&seen), protocol::PollDone);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen.front(), protocol::PollErasing);
    EXPECT_EQ(programmer.progress(), 100);
    EXPECT_EQ(programmer.poll(), protocol::PollDone);
}

TEST_F(ProgrammerTest, FlashProgrammingOnlyClearsBitsAndEepromsOverwrite) {
    insert(catalogue::SpiFlash, 4096);
    rig.device->fillMemory(0, std::vector<std::uint8_t>(4096, 0xF0));
    ASSERT_EQ(writeChip(std::vector<std::uint8_t>(4096, 0x3C)), protocol::PollDone);
    std::vector<std::uint8_t> back;
    ASSERT_EQ(readChip(&back, 4096), protocol::PollDone);
    EXPECT_EQ(back[0], 0x30);
    EXPECT_EQ(back[4095], 0x30);

    insert(catalogue::Eeprom24, 4096);
    rig.device->fillMemory(0, std::vector<std::uint8_t>(4096, 0xF0));
    ASSERT_EQ(writeChip(std::vector<std::uint8_t>(4096, 0x3C), 1), protocol::PollDone);
    ASSERT_EQ(readChip(&back, 4096), protocol::PollDone);
    EXPECT_EQ(back[0], 0x3C);
}

TEST_F(ProgrammerTest, StartRefusesWhileAnotherOperationRuns) {
    insert(catalogue::SpiFlash, k1MB);
    rig.device->setThroughput(20'000'000);
    const auto data = pattern(k1MB, 2);
    ASSERT_EQ(programmer.startWriteChip(data.data(), 0, k1MB, 256), 1);
    std::vector<std::uint8_t> back(k1MB + 64);
    EXPECT_EQ(programmer.startReadChip(back.data(), 0, k1MB), 0);
    EXPECT_EQ(programmer.startErase(), 0);
    std::array<char, protocol::kVersionTextBytes> text{};
    EXPECT_EQ(programmer.readFirmwareVersion(text), 0);
    // Only the bulk write went on: no command packet reached the device.
    const auto requests = rig.device->outRequests();
    for (std::size_t i = 1; i < requests.size(); ++i)
        EXPECT_TRUE(requests[i] == 4096 || requests[i] == 0) << requests[i];
    EXPECT_EQ(finish(), protocol::PollDone);
}

TEST_F(ProgrammerTest, ReplyMatchingSkipsStaleAndOversizedPackets) {
    std::vector<std::uint8_t> oversized(64, 0);
    oversized[0] = 0x11;
    rig.device->queueInPacket(oversized);
    rig.device->queueInPacket(std::vector<std::uint8_t>{0x13, 0x01, 0x00});
    rig.device->queueInPacket(std::vector<std::uint8_t>{});
    rig.device->queueInPacket(std::vector<std::uint8_t>{0x11, 0x01, 0x00});
    std::uint8_t reply[64];
    std::uint32_t n = 0;
    ASSERT_EQ(programmer.receiveReply(0x11, reply, 3, &n), 1);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(reply[2], 0x00);
    // Nothing more arrives: the wait ends at the reply-read limit.
    const std::uint64_t ms =
        elapsedMs([&] { EXPECT_EQ(programmer.receiveReply(0x11, reply, 3, &n), 0); });
    EXPECT_GE(ms, 150u);
    EXPECT_LT(ms, 300u);
}

TEST_F(ProgrammerTest, ReplyContentsAreChecked) {
    // Small, so the read the device still sends after the refused reply is soon skipped.
    insert(catalogue::SpiFlash, 256);
    // A ReadChip reply 11 01 01 waiting ahead of the real one refuses the read.
    rig.device->queueInPacket(std::vector<std::uint8_t>{0x11, 0x01, 0x01});
    std::vector<std::uint8_t> back(256 + 64);
    EXPECT_EQ(programmer.startReadChip(back.data(), 0, 256), 0);
    EXPECT_EQ(programmer.state(), protocol::Idle);

    // Each raw reply is met before the simulator's own, which is then taken off.
    std::uint8_t stale[64];
    std::uint32_t n = 0;
    rig.device->queueInPacket(std::vector<std::uint8_t>{0x15, 0x02, 0xEF, 0x14});
    std::array<std::uint8_t, 2> ids{};
    ASSERT_EQ(programmer.readChipId(&ids), 1);
    EXPECT_EQ(ids, (std::array<std::uint8_t, 2>{0xEF, 0x14}));
    ASSERT_EQ(programmer.receiveReply(0x15, stale, 5, &n), 1);
    rig.device->queueInPacket(std::vector<std::uint8_t>{0x15, 0x01, 0xEF, 0x14});
    EXPECT_EQ(programmer.readChipId(&ids), 0);
    ASSERT_EQ(programmer.receiveReply(0x15, stale, 5, &n), 1);

    std::array<char, protocol::kVersionTextBytes> text{};
    rig.device->queueInPacket(std::vector<std::uint8_t>{0x17, 0x00, 'V', '1', '.', '2', 0, 'x'});
    ASSERT_EQ(programmer.readFirmwareVersion(text), 1);
    EXPECT_STREQ(text.data(), "V1.2");
    ASSERT_EQ(programmer.receiveReply(0x17, stale, 64, &n), 1);
    rig.device->queueInPacket(std::vector<std::uint8_t>{0x17, 0x00, 'A', 'B'});
    ASSERT_EQ(programmer.readFirmwareVersion(text), 1);
    EXPECT_STREQ(text.data(), "AB");
}

TEST_F(ProgrammerTest, IdsOfTheChipInTheSocket) {
    std::array<std::uint8_t, 2> ids{};
    ASSERT_EQ(programmer.readChipId(&ids), 1);
    EXPECT_EQ(ids, (std::array<std::uint8_t, 2>{0xFF, 0xFF}));  // empty socket
    insert(catalogue::Eeprom25, 1024);
    ASSERT_EQ(programmer.readChipId(&ids), 1);
    EXPECT_EQ(ids, (std::array<std::uint8_t, 2>{0xEF, 0x18}));
}

TEST_F(ProgrammerTest, SelfTestReadsTheReport) {
    std::array<char, protocol::kSelfTestReportBytes> report{};
    ASSERT_EQ(programmer.selfTest(report), 1);
    EXPECT_EQ(std::string(report.data(), std::strlen(sim::kPassingSelfTestReport)),
              sim::kPassingSelfTestReport);
    EXPECT_EQ(std::string(&report[14], 2), "ok");

    sim::Faults faults;
    faults.failSelfTest = true;
    setFaults(faults);
    report.fill(0);
    ASSERT_EQ(programmer.selfTest(report), 1);
    EXPECT_NE(std::string(&report[14], 2), "ok");
}

TEST_F(ProgrammerTest, FirmwareImageIsSentInWholeRequestsAfterTheEcho) {
    const auto image = pattern(0x40000, 3);
    ASSERT_EQ(programmer.startFirmwareUpdate(image.data(), 0x40000), 1);
    ASSERT_EQ(finish(), protocol::PollDone);
    EXPECT_TRUE(rig.device->firmwareImage() == image);
    const auto requests = rig.device->outRequests();
    ASSERT_EQ(requests.size(), 1u + 64u + 1u);  // the boot packet, 64 of 4096, one of 0
    EXPECT_EQ(requests[0], 23u);
    EXPECT_EQ(requests[1], 4096u);
    EXPECT_EQ(requests.back(), 0u);

    // An echo whose status byte is 0 refuses the image.
    std::vector<std::uint8_t> refusal(19, 0);
    refusal[0] = 0xF2;
    std::memcpy(&refusal[1], "USB BOOT COMMAND", 16);
    rig.device->queueInPacket(refusal);
    EXPECT_EQ(programmer.startFirmwareUpdate(image.data(), 0x40000), 0);
    EXPECT_EQ(programmer.state(), protocol::Idle);
}

TEST_F(ProgrammerTest, SilentDeviceFailsCommandsAtTheReplyLimit) {
    insert(catalogue::SpiFlash, k1MB);
    sim::Faults faults;
    faults.silent = true;
    setFaults(faults);
    std::vector<std::uint8_t> back(k1MB + 64);
    std::uint64_t ms =
        elapsedMs([&] { EXPECT_EQ(programmer.startReadChip(back.data(), 0, k1MB), 0); });
    EXPECT_GE(ms, 150u);
    EXPECT_LT(ms, 300u);
    EXPECT_EQ(programmer.state(), protocol::Idle);
    std::uint8_t busy = 0;
    EXPECT_EQ(programmer.queryBusy(&busy), 0);
}

TEST_F(ProgrammerTest, RealLimitsEndAReplyWaitAtOneSecondAndAPacketWriteAtHalfASecond) {
    programmer.setLimits(protocol::ProgrammerLimits{});
    rig.link.setLimits(usblink::LinkLimits{});
    sim::Faults faults;
    faults.silent = true;
    setFaults(faults);
    std::array<char, protocol::kVersionTextBytes> text{};
    std::uint64_t ms = elapsedMs([&] { EXPECT_EQ(programmer.readFirmwareVersion(text), 0); });
    EXPECT_GE(ms, 1000u);
    EXPECT_LT(ms, 1200u);

    faults = {};
    faults.writeFails = true;
    setFaults(faults);
    ms = elapsedMs([&] { EXPECT_EQ(programmer.startErase(), 0); });
    EXPECT_GE(ms, 500u);
    EXPECT_LT(ms, 700u);
}

TEST_F(ProgrammerTest, StalledReadFailsAtTheStallLimit) {
    insert(catalogue::SpiFlash, k1MB);
    sim::Faults faults;
    faults.stallAfterBytes = 100000;
    setFaults(faults);
    std::vector<std::uint8_t> back(k1MB + 64);
    ASSERT_EQ(programmer.startReadChip(back.data(), 0, k1MB), 1);
    const std::uint64_t ms = elapsedMs([&] { EXPECT_EQ(finish(), protocol::PollFailed); });
    EXPECT_GE(ms, 200u);
    EXPECT_LT(ms, 350u);
    EXPECT_EQ(programmer.state(), protocol::Idle);
    EXPECT_EQ(programmer.bytesReceived(), 100000u);

    // The device recovers: the rest of the read it still sends is read off before the
    // next command, which succeeds at once.
    setFaults({});
    std::array<std::uint8_t, 2> ids{};
    const std::uint64_t next = elapsedMs([&] { EXPECT_EQ(programmer.readChipId(&ids), 1); });
    EXPECT_LT(next, 250u);
}

TEST_F(ProgrammerTest, StalledWriteFailsAtTheStallLimit) {
    insert(catalogue::SpiFlash, k1MB);
    sim::Faults faults;
    faults.stallAfterBytes = 100000;
    setFaults(faults);
    const auto data = pattern(k1MB, 4);
    ASSERT_EQ(programmer.startWriteChip(data.data(), 0, k1MB, 256), 1);
    const std::uint64_t ms = elapsedMs([&] { EXPECT_EQ(finish(), protocol::PollFailed); });
    EXPECT_GE(ms, 200u);
    EXPECT_LT(ms, 350u);
}

TEST_F(ProgrammerTest, WrongReplyByteFailsEveryCommand) {
    insert(catalogue::SpiFlash, k1MB);
    sim::Faults faults;
    faults.wrongReplyByte = true;
    setFaults(faults);
    std::vector<std::uint8_t> buffer(k1MB + 64);
    EXPECT_EQ(programmer.startReadChip(buffer.data(), 0, k1MB), 0);
    // The refused read may still be coming: it is read off before the next command, not
    // skipped one reply read at a time.
    EXPECT_EQ(rig.link.owedReadBytes(), k1MB + 64);
    const std::uint64_t ms = elapsedMs([&] { EXPECT_EQ(programmer.startErase(), 0); });
    EXPECT_LT(ms, 250u);
    std::uint8_t busy = 0;
    EXPECT_EQ(programmer.queryBusy(&busy), 0);
    std::array<std::uint8_t, 2> ids{};
    EXPECT_EQ(programmer.readChipId(&ids), 0);
    EXPECT_EQ(programmer.startWriteChip(buffer.data(), 0, k1MB, 256), 0);
    EXPECT_EQ(programmer.state(), protocol::Idle);
}

TEST_F(ProgrammerTest, DisconnectInTheMiddleFailsAtOnce) {
    insert(catalogue::SpiFlash, k1MB);
    sim::Faults faults;
    faults.disconnectAfterBytes = 300000;
    setFaults(faults);
    std::vector<std::uint8_t> back(k1MB + 64);
    ASSERT_EQ(programmer.startReadChip(back.data(), 0, k1MB), 1);
    std::uint64_t ms = elapsedMs([&] { EXPECT_EQ(finish(), protocol::PollFailed); });
    EXPECT_LT(ms, 100u);
    EXPECT_EQ(rig.link.open(), 0);
    EXPECT_EQ(programmer.startErase(), 0);

    // Plugged in again: a write cut short the same way.
    rig.device->setPresent(true);
    setFaults(faults);
    ASSERT_EQ(rig.link.open(), 1);
    const auto data = pattern(k1MB, 5);
    ASSERT_EQ(programmer.startWriteChip(data.data(), 0, k1MB, 256), 1);
    ms = elapsedMs([&] { EXPECT_EQ(finish(), protocol::PollFailed); });
    EXPECT_LT(ms, 100u);
}

TEST_F(ProgrammerTest, FailingPipesFailCommandsAtOnce) {
    insert(catalogue::SpiFlash, k1MB);
    sim::Faults faults;
    faults.failPipe = "PIPE00";
    setFaults(faults);
    ASSERT_EQ(rig.link.open(), 1);
    std::vector<std::uint8_t> back(k1MB + 64);
    std::uint64_t ms =
        elapsedMs([&] { EXPECT_EQ(programmer.startReadChip(back.data(), 0, k1MB), 0); });
    EXPECT_LT(ms, 100u);

    faults.failPipe = "PIPE01";
    setFaults(faults);
    ASSERT_EQ(rig.link.open(), 1);
    ms = elapsedMs([&] { EXPECT_EQ(programmer.startErase(), 0); });
    EXPECT_LT(ms, 100u);

    // A write endpoint that refuses every packet: the command fails at the stall limit.
    faults = {};
    faults.writeFails = true;
    setFaults(faults);
    ASSERT_EQ(rig.link.open(), 1);
    ms = elapsedMs([&] { EXPECT_EQ(programmer.startErase(), 0); });
    EXPECT_GE(ms, 200u);
    EXPECT_LT(ms, 350u);
}

TEST_F(ProgrammerTest, GarbageBeforeRepliesIsSkipped) {
    insert(catalogue::SpiFlash, k1MB);
    sim::Faults faults;
    faults.garbagePackets = 5;
    setFaults(faults);
    const auto data = pattern(k1MB, 6);
    ASSERT_EQ(programmer.startErase(), 1);
    ASSERT_EQ(finish(), protocol::PollDone);
    ASSERT_EQ(writeChip(data), protocol::PollDone);
    std::vector<std::uint8_t> back;
    ASSERT_EQ(readChip(&back, k1MB), protocol::PollDone);
    EXPECT_EQ(std::memcmp(back.data(), data.data(), k1MB), 0);
    std::array<char, protocol::kVersionTextBytes> text{};
    EXPECT_EQ(programmer.readFirmwareVersion(text), 1);
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

TEST_F(ProgrammerTest, ChipThatNeverStopsBeingBusyFailsAtTheEraseLimit) {
    insert(catalogue::SpiFlash, k1MB);
    sim::Faults faults;
    faults.neverReady = true;
    setFaults(faults);
    ASSERT_EQ(programmer.startErase(), 1);
    std::vector<PollStatus> seen;
    const std::uint64_t ms = elapsedMs([&] { EXPECT_EQ(finish(&seen), protocol::PollFailed); });
    EXPECT_GE(ms, 150u);
    EXPECT_LT(ms, 400u);
    EXPECT_EQ(seen.front(), protocol::PollErasing);
    EXPECT_EQ(programmer.state(), protocol::Idle);
}

TEST_F(ProgrammerTest, PollWithNothingRunningIsDone) {
    EXPECT_EQ(programmer.poll(), protocol::PollDone);
    Programmer unattached;
    EXPECT_EQ(unattached.poll(), protocol::PollDone);
    EXPECT_EQ(unattached.startErase(), 0);
}
