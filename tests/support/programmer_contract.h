// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The command set end to end, Programmer over UsbLink over the simulated programmer's
// firmware model, written once and run against every UsbBus backend:
//
//   namespace testsupport {
//   INSTANTIATE_TYPED_TEST_SUITE_P(SimProgrammer, ProgrammerContract, SimRig);
//   }
//
// The rig's members are described in tests/support/transport_contract.h. The fixture
// also serves a backend's own command-set tests as a plain base class.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/chip_record.h"
#include "protocol/chip_params.h"
#include "protocol/programmer.h"
#include "sim/sim_programmer.h"
#include "tests/support/sim_rig.h"
#include "util/tick.h"

namespace testsupport {

constexpr std::uint32_t kTrailerBytes = sizeof(sim::kReadTrailer);

// The command set's limits, shortened so failure paths run fast.
inline protocol::ProgrammerLimits shortProgrammerLimits() {
    protocol::ProgrammerLimits limits;
    limits.replyReadMs = 150;  // below the 200 ms stall limit of the rigs
    limits.eraseLimitMs = 150;
    return limits;
}

// Bytes that differ from address to address, from `seed`.
inline std::vector<std::uint8_t> pattern(std::uint32_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> data(size);
    std::uint32_t x = seed;
    for (auto& b : data) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return data;
}

template <typename Rig>
class ProgrammerContract : public ::testing::Test {
  protected:
    void SetUp() override {
        protocol::chipParams() = {};
        rig_.device->setEraseDurationMs(30);
        ASSERT_EQ(rig_.link.open(), 1) << rig_.link.lastError();
        programmer_.attach(rig_.link);
    }
    void TearDown() override { EXPECT_TRUE(rig_.device->protocolComplaints().empty()); }

    void insert(std::int32_t type, std::uint32_t capacity) {
        const catalogue::ChipRecord chip = chipOf(type, capacity);
        rig_.device->insertChip(chip);
        ASSERT_EQ(programmer_.setChip(chip), 1);
    }

    void setFaults(const sim::Faults& faults) { rig_.device->setFaults(faults); }

    // Polls as the operations do until the running operation ends; every wait bounded.
    protocol::PollStatus finish(std::vector<protocol::PollStatus>* seen = nullptr) {
        const std::uint64_t limit = util::tickMs() + 20000;
        for (;;) {
            const protocol::PollStatus s = programmer_.poll();
            if (seen)
                seen->push_back(s);
            if (s == protocol::PollDone || s == protocol::PollFailed)
                return s;
            if (util::tickMs() > limit)
                return protocol::PollFailed;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    protocol::PollStatus readChip(std::vector<std::uint8_t>* out, std::uint32_t length) {
        out->assign(length + protocol::kReadSlackBytes, 0);
        if (!programmer_.startReadChip(out->data(), 0, length))
            return protocol::PollFailed;
        return finish();
    }

    protocol::PollStatus writeChip(const std::vector<std::uint8_t>& data,
                                   std::uint16_t pageSize = 256) {
        if (!programmer_.startWriteChip(data.data(), 0, static_cast<std::uint32_t>(data.size()),
                                        pageSize))
            return protocol::PollFailed;
        return finish();
    }

    Rig rig_;
    protocol::Programmer programmer_{shortProgrammerLimits()};
};

TYPED_TEST_SUITE_P(ProgrammerContract);

TYPED_TEST_P(ProgrammerContract, IdentificationAndSelfTest) {
    auto& programmer = this->programmer_;
    std::array<std::uint8_t, 2> ids{};
    ASSERT_EQ(programmer.readChipId(&ids), 1);
    EXPECT_EQ(ids, (std::array<std::uint8_t, 2>{0xFF, 0xFF}));  // empty socket
    this->insert(catalogue::Eeprom25, 1024);
    ASSERT_EQ(programmer.readChipId(&ids), 1);
    EXPECT_EQ(ids, (std::array<std::uint8_t, 2>{0xEF, 0x18}));

    std::array<char, protocol::kVersionTextBytes> text{};
    ASSERT_EQ(programmer.readFirmwareVersion(text), 1);
    EXPECT_STREQ(text.data(), "Chipwright SIM V1.00");

    std::array<char, protocol::kSelfTestReportBytes> report{};
    ASSERT_EQ(programmer.selfTest(report), 1);
    EXPECT_EQ(std::string(report.data(), std::strlen(sim::kPassingSelfTestReport)),
              sim::kPassingSelfTestReport);
    EXPECT_EQ(std::string(&report[14], 2), "ok");

    sim::Faults faults;
    faults.failSelfTest = true;
    this->setFaults(faults);
    report.fill(0);
    ASSERT_EQ(programmer.selfTest(report), 1);
    EXPECT_NE(std::string(&report[14], 2), "ok");
}

TYPED_TEST_P(ProgrammerContract, ChipIsWrittenAndReadBackIdentical) {
    auto& programmer = this->programmer_;
    auto& rig = this->rig_;
    constexpr std::uint32_t size = TypeParam::kLongReadBytes;
    this->insert(catalogue::SpiFlash, size);
    ASSERT_EQ(programmer.startErase(), 1);
    ASSERT_EQ(this->finish(), protocol::PollDone);
    const auto data = pattern(size, 1);
    std::uint64_t ms = elapsedMs([&] { ASSERT_EQ(this->writeChip(data), protocol::PollDone); });
    std::printf("%u bytes written in %llu ms\n", size, static_cast<unsigned long long>(ms));
    EXPECT_EQ(programmer.progress(), 100);
    EXPECT_TRUE(rig.device->memory() == data);

    rig.device->clearRequestLog();
    std::vector<std::uint8_t> back;
    ms = elapsedMs([&] { ASSERT_EQ(this->readChip(&back, size), protocol::PollDone); });
    std::printf("%u bytes read in %llu ms\n", size, static_cast<unsigned long long>(ms));
    EXPECT_EQ(programmer.bytesReceived(), size + kTrailerBytes);
    EXPECT_EQ(programmer.progress(), 100);
    EXPECT_EQ(std::memcmp(back.data(), data.data(), size), 0);
    EXPECT_EQ(back[size], sim::kReadTrailer[0]);
    EXPECT_EQ(programmer.state(), protocol::Idle);
    // The reply read (64) and the bulk read, which asks 64 bytes beyond the chip.
    std::uint64_t asked = 0;
    for (std::uint32_t n : rig.device->inRequests())
        asked += n;
    EXPECT_EQ(asked, 64u + size + 64u);
}

TYPED_TEST_P(ProgrammerContract, ErasePollsBusyThenDone) {
    auto& programmer = this->programmer_;
    this->insert(catalogue::SpiFlash, 1 << 20);
    this->rig_.device->setEraseDurationMs(60);
    ASSERT_EQ(programmer.startErase(), 1);
    EXPECT_EQ(programmer.startReadChip(nullptr, 0, 1 << 20), 0);  // busy: refused
    std::vector<protocol::PollStatus> seen;
    ASSERT_EQ(this->finish(&seen), protocol::PollDone);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen.front(), protocol::PollErasing);
    EXPECT_EQ(programmer.progress(), 100);
    EXPECT_EQ(programmer.poll(), protocol::PollDone);
}

TYPED_TEST_P(ProgrammerContract, ChipThatNeverStopsBeingBusyFailsAtTheEraseLimit) {
    auto& programmer = this->programmer_;
    this->insert(catalogue::SpiFlash, 1 << 20);
    sim::Faults faults;
    faults.neverReady = true;
    this->setFaults(faults);
    std::vector<protocol::PollStatus> seen;
    // Timed from before the erase starts, as its limit is.
    const std::uint64_t ms = elapsedMs([&] {
        ASSERT_EQ(programmer.startErase(), 1);
        EXPECT_EQ(this->finish(&seen), protocol::PollFailed);
    });
    EXPECT_GE(ms, 150u);
    EXPECT_LT(ms, 400u);
    EXPECT_EQ(seen.front(), protocol::PollErasing);
    EXPECT_EQ(programmer.state(), protocol::Idle);
}

TYPED_TEST_P(ProgrammerContract, AbandonedVerifyReadIsFollowedAtOnceByACommandThatSucceeds) {
    auto& programmer = this->programmer_;
    auto& rig = this->rig_;
    constexpr std::uint32_t size = TypeParam::kLongReadBytes;
    constexpr std::uint32_t kBeforeCancel = 200'000;
    this->insert(catalogue::SpiFlash, size);
    // Slow enough that the read is still running when it is abandoned.
    rig.device->setThroughput(4'000'000);
    std::vector<std::uint8_t> back(size + protocol::kReadSlackBytes);
    ASSERT_EQ(programmer.startReadChip(back.data(), 0, size), 1);
    const std::uint64_t limit = util::tickMs() + 5000;
    while (programmer.bytesReceived() < kBeforeCancel && util::tickMs() < limit) {
        ASSERT_EQ(programmer.poll(), protocol::PollReading);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Progress follows the counter part-way through.
    EXPECT_GT(programmer.progress(), 0);
    EXPECT_LT(programmer.progress(), 100);
    programmer.cancelRead();
    EXPECT_EQ(programmer.state(), protocol::Idle);
    EXPECT_LT(programmer.bytesReceived(), size);

    rig.device->setThroughput(0);
    std::array<char, protocol::kVersionTextBytes> text{};
    const std::uint64_t ms = elapsedMs([&] {
        ASSERT_EQ(rig.link.open(), 1);
        EXPECT_EQ(programmer.readFirmwareVersion(text), 1);
    });
    // Reading off what the device still owes takes a moment over a slow bus;
    // skipping it a packet at a time would take many minutes.
    EXPECT_LT(ms, 2000u);
    EXPECT_STREQ(text.data(), "Chipwright SIM V1.00");
}

TYPED_TEST_P(ProgrammerContract, ReplyMatchingSkipsStaleAndOversizedPackets) {
    auto& programmer = this->programmer_;
    auto& rig = this->rig_;
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

TYPED_TEST_P(ProgrammerContract, FirmwareImageIsSentInWholeRequestsAfterTheEcho) {
    auto& programmer = this->programmer_;
    auto& rig = this->rig_;
    const auto image = pattern(0x40000, 3);
    ASSERT_EQ(programmer.startFirmwareUpdate(image.data(), 0x40000), 1);
    ASSERT_EQ(this->finish(), protocol::PollDone);
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

TYPED_TEST_P(ProgrammerContract, SilentDeviceFailsCommandsAtTheReplyLimit) {
    auto& programmer = this->programmer_;
    this->insert(catalogue::SpiFlash, 1 << 20);
    sim::Faults faults;
    faults.silent = true;
    this->setFaults(faults);
    std::vector<std::uint8_t> back((1 << 20) + 64);
    const std::uint64_t ms =
        elapsedMs([&] { EXPECT_EQ(programmer.startReadChip(back.data(), 0, 1 << 20), 0); });
    EXPECT_GE(ms, 150u);
    EXPECT_LT(ms, 300u);
    EXPECT_EQ(programmer.state(), protocol::Idle);
    std::uint8_t busy = 0;
    EXPECT_EQ(programmer.queryBusy(&busy), 0);
    EXPECT_FALSE(this->rig_.link.lastError().empty());
    // The reason describes the latest failure only: gone after a command that worked.
    this->setFaults({});
    EXPECT_EQ(programmer.queryBusy(&busy), 1);
    EXPECT_EQ(this->rig_.link.lastError(), "");
}

TYPED_TEST_P(ProgrammerContract, ChipReadCutShortFailsKeepingWhatArrived) {
    auto& programmer = this->programmer_;
    constexpr std::uint32_t size = 1 << 20;
    this->insert(catalogue::SpiFlash, size);
    const auto data = pattern(size, 6);
    this->rig_.device->fillMemory(0, data);
    // The programmer ends the read with its short trailer after 4,102 chip bytes.
    sim::Faults faults;
    faults.cutReadAfterBytes = 4102;
    this->setFaults(faults);
    std::vector<std::uint8_t> back;
    EXPECT_EQ(this->readChip(&back, size), protocol::PollFailed);
    EXPECT_EQ(programmer.bytesReceived(), 4102u + kTrailerBytes);
    EXPECT_EQ(std::memcmp(back.data(), data.data(), 4102), 0);
    EXPECT_EQ(programmer.state(), protocol::Idle);
    // The read ended on the wire: nothing is owed, the next command does not wait.
    EXPECT_EQ(this->rig_.link.owedReadBytes(), 0u);
    std::array<std::uint8_t, 2> ids{};
    EXPECT_LT(elapsedMs([&] { EXPECT_EQ(programmer.readChipId(&ids), 1); }), 100u);
}

TYPED_TEST_P(ProgrammerContract, AbandonedWriteNeverTurnsCommandsIntoChipData) {
    auto& programmer = this->programmer_;
    auto& rig = this->rig_;
    constexpr std::uint32_t size = 64 * 1024;
    this->insert(catalogue::SpiFlash, size);
    const auto before = pattern(size, 7);
    rig.device->fillMemory(0, before);
    // A write of the first half stalls after 10,000 bytes and is abandoned.
    sim::Faults faults;
    faults.stallAfterBytes = 10000;
    this->setFaults(faults);
    const auto data = pattern(size / 2, 8);
    ASSERT_EQ(programmer.startWriteChip(data.data(), 0, size / 2, 256), 1);
    EXPECT_EQ(this->finish(), protocol::PollFailed);

    // The programmer is reset before the next command, which works at once; no command
    // packet lands in the chip, and nothing beyond the bytes written changed.
    this->setFaults({});
    std::array<std::uint8_t, 2> ids{};
    EXPECT_LT(elapsedMs([&] { EXPECT_EQ(programmer.readChipId(&ids), 1); }), 100u);
    std::vector<std::uint8_t> back;
    ASSERT_EQ(this->readChip(&back, size), protocol::PollDone);
    for (std::uint32_t i = 10000; i < size; ++i)
        ASSERT_EQ(back[i], before[i]) << i;
    EXPECT_EQ(rig.device->resets(), 1);

    // A cancelled write leaves the same debt; when the reset fails, the next command
    // fails within its normal limit and says what to do.
    rig.device->setThroughput(1'000'000);
    ASSERT_EQ(programmer.startWriteChip(data.data(), 0, size / 2, 256), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    programmer.cancelRead();
    faults = {};
    faults.resetFails = true;
    this->setFaults(faults);
    EXPECT_LT(elapsedMs([&] { EXPECT_EQ(programmer.readChipId(&ids), 0); }), 100u);
    EXPECT_NE(rig.link.lastError().find("unplug it and plug it in again"), std::string::npos)
        << rig.link.lastError();
    this->setFaults({});
    EXPECT_EQ(programmer.readChipId(&ids), 1);
}

TYPED_TEST_P(ProgrammerContract, NoPhaseOutlivesItsBufferOrItsProgrammer) {
    auto& rig = this->rig_;
    constexpr std::uint32_t size = 1 << 20;
    this->insert(catalogue::SpiFlash, size);
    rig.device->setThroughput(2'000'000);
    // Cancelled while it runs, a write lets go of its source before cancelRead returns:
    // freeing the source at once is safe (AddressSanitizer watches).
    auto source = std::make_unique<std::vector<std::uint8_t>>(pattern(size, 9));
    ASSERT_EQ(this->programmer_.startWriteChip(source->data(), 0, size, 256), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    this->programmer_.cancelRead();
    EXPECT_EQ(this->programmer_.state(), protocol::Idle);
    source.reset();
    rig.expectNothingInFlight();
    const std::size_t sent = rig.device->outRequests().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(rig.device->outRequests().size(), sent);

    // A Programmer destroyed in the middle of a read stops it before its counters go,
    // and the link stays usable.
    auto destination = std::make_unique<std::vector<std::uint8_t>>(size + 64);
    {
        protocol::Programmer reader{shortProgrammerLimits()};
        reader.attach(rig.link);
        ASSERT_EQ(reader.startReadChip(destination->data(), 0, size), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    destination.reset();
    rig.device->setThroughput(0);
    std::array<std::uint8_t, 2> ids{};
    EXPECT_EQ(this->programmer_.readChipId(&ids), 1);
}

TYPED_TEST_P(ProgrammerContract, StalledReadFailsAtTheStallLimit) {
    auto& programmer = this->programmer_;
    // Small, so that reading off the rest after the stall takes little time on every
    // backend (the emulated usbfs device moves about 5 MB/s).
    constexpr std::uint32_t size = 256 * 1024;
    this->insert(catalogue::SpiFlash, size);
    sim::Faults faults;
    faults.stallAfterBytes = 100000;
    this->setFaults(faults);
    std::vector<std::uint8_t> back(size + 64);
    ASSERT_EQ(programmer.startReadChip(back.data(), 0, size), 1);
    const std::uint64_t ms = elapsedMs([&] { EXPECT_EQ(this->finish(), protocol::PollFailed); });
    EXPECT_GE(ms, 200u);
    EXPECT_LT(ms, 350u);
    EXPECT_EQ(programmer.state(), protocol::Idle);
    EXPECT_EQ(programmer.bytesReceived(), 100000u);

    // The device recovers: the rest of the read it still sends is read off before the
    // next command, which succeeds at once.
    this->setFaults({});
    std::array<std::uint8_t, 2> ids{};
    const std::uint64_t next = elapsedMs([&] { EXPECT_EQ(programmer.readChipId(&ids), 1); });
    EXPECT_LT(next, 250u);
}

TYPED_TEST_P(ProgrammerContract, StalledWriteFailsAtTheStallLimit) {
    auto& programmer = this->programmer_;
    constexpr std::uint32_t size = 1 << 20;
    this->insert(catalogue::SpiFlash, size);
    sim::Faults faults;
    faults.stallAfterBytes = 100000;
    this->setFaults(faults);
    const auto data = pattern(size, 4);
    ASSERT_EQ(programmer.startWriteChip(data.data(), 0, size, 256), 1);
    const std::uint64_t ms = elapsedMs([&] { EXPECT_EQ(this->finish(), protocol::PollFailed); });
    EXPECT_GE(ms, 200u);
    EXPECT_LT(ms, 350u);
}

TYPED_TEST_P(ProgrammerContract, WrongReplyByteFailsEveryCommand) {
    auto& programmer = this->programmer_;
    constexpr std::uint32_t size = 256 * 1024;
    this->insert(catalogue::SpiFlash, size);
    sim::Faults faults;
    faults.wrongReplyByte = true;
    this->setFaults(faults);
    std::vector<std::uint8_t> buffer(size + 64);
    EXPECT_EQ(programmer.startReadChip(buffer.data(), 0, size), 0);
    // A refused read sends nothing: nothing is owed and the next command does not wait.
    EXPECT_EQ(this->rig_.link.owedReadBytes(), 0u);
    const std::uint64_t ms = elapsedMs([&] { EXPECT_EQ(programmer.startErase(), 0); });
    EXPECT_LT(ms, 100u);
    std::uint8_t busy = 0;
    EXPECT_EQ(programmer.queryBusy(&busy), 0);
    std::array<std::uint8_t, 2> ids{};
    EXPECT_EQ(programmer.readChipId(&ids), 0);
    EXPECT_EQ(programmer.startWriteChip(buffer.data(), 0, size, 256), 0);
    EXPECT_EQ(programmer.state(), protocol::Idle);
}

TYPED_TEST_P(ProgrammerContract, DisconnectInTheMiddleFailsAtOnce) {
    auto& programmer = this->programmer_;
    auto& rig = this->rig_;
    constexpr std::uint32_t size = 1 << 20;
    this->insert(catalogue::SpiFlash, size);
    sim::Faults faults;
    faults.disconnectAfterBytes = 30000;
    this->setFaults(faults);
    std::vector<std::uint8_t> back(size + 64);
    ASSERT_EQ(programmer.startReadChip(back.data(), 0, size), 1);
    std::uint64_t ms = elapsedMs([&] { EXPECT_EQ(this->finish(), protocol::PollFailed); });
    EXPECT_LT(ms, 100u);
    EXPECT_EQ(rig.link.open(), 0);
    EXPECT_EQ(programmer.startErase(), 0);

    // Plugged in again: a write cut short the same way.
    rig.device->setPresent(true);
    this->setFaults(faults);
    ASSERT_EQ(rig.link.open(), 1) << rig.link.lastError();
    const auto data = pattern(size, 5);
    ASSERT_EQ(programmer.startWriteChip(data.data(), 0, size, 256), 1);
    ms = elapsedMs([&] { EXPECT_EQ(this->finish(), protocol::PollFailed); });
    EXPECT_LT(ms, 100u);
}

REGISTER_TYPED_TEST_SUITE_P(
    ProgrammerContract, IdentificationAndSelfTest, ChipIsWrittenAndReadBackIdentical,
    ErasePollsBusyThenDone, ChipThatNeverStopsBeingBusyFailsAtTheEraseLimit,
    AbandonedVerifyReadIsFollowedAtOnceByACommandThatSucceeds,
    ReplyMatchingSkipsStaleAndOversizedPackets, FirmwareImageIsSentInWholeRequestsAfterTheEcho,
    SilentDeviceFailsCommandsAtTheReplyLimit, ChipReadCutShortFailsKeepingWhatArrived,
    AbandonedWriteNeverTurnsCommandsIntoChipData, NoPhaseOutlivesItsBufferOrItsProgrammer,
    StalledReadFailsAtTheStallLimit, StalledWriteFailsAtTheStallLimit,
    WrongReplyByteFailsEveryCommand, DisconnectInTheMiddleFailsAtOnce);

}  // namespace testsupport
