// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The link's transport contract, written once and run against every UsbBus backend: each
// test binary instantiates it with its rig,
//
//   namespace testsupport {
//   INSTANTIATE_TYPED_TEST_SUITE_P(SimTransport, TransportContract, SimRig);
//   }
//
// A rig (SimRig, LibusbRig) puts the simulated programmer's firmware model behind its
// backend and offers the same members: device (the model), bus, finder, link (opened by
// the tests, with a 200 ms stall limit), messages; and what differs between backends:
//   kZeroLengthReadReachesDevice  a zero-length read request is seen by the device
//                                 (the in-process backend passes it on; libusb completes
//                                 it at once without asking the device for anything)
//   kLongReadBytes                the chip size of the size-dependent cases (a long read,
//                                 a chip written and read back): as large as the backend
//                                 moves in a fraction of a second
//   unplug()                      takes the device away as a user pulling the cable does
//   expectOpenedOnce()            checks that exactly one opening of the device is held
//   expectNothingInFlight()       checks that no request is left with the device

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/chip_record.h"
#include "link/usb_link.h"
#include "sim/sim_programmer.h"
#include "tests/support/sim_rig.h"
#include "util/tick.h"

namespace testsupport {

// The firmware's read command, written out by hand so the transport tests do not depend
// on the command set: read `length` bytes of an SPI flash (kind 1, mode 3) from address 0.
inline std::vector<std::uint8_t> rawReadCommand(std::uint32_t length) {
    return {0x11,
            0x0A,
            1,
            0,
            0,
            0,
            0,
            static_cast<std::uint8_t>(length >> 24),
            static_cast<std::uint8_t>(length >> 16),
            static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(length),
            3,
            0,
            0,
            0};
}

// Entries of a /proc/self directory: open file descriptors or threads.
inline int countEntries(const char* directory) {
    int n = 0;
    DIR* dir = opendir(directory);
    if (!dir)
        return -1;
    while (readdir(dir))
        ++n;
    closedir(dir);
    return n;
}

template <typename Rig>
class TransportContract : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(rig_.link.open(), 1) << rig_.link.lastError(); }
    void TearDown() override { EXPECT_TRUE(rig_.device->protocolComplaints().empty()); }

    void queueFullPackets(int count) {
        std::vector<std::uint8_t> packet(64, 0x5A);
        for (int i = 0; i < count; ++i)
            rig_.device->queueInPacket(packet);
    }

    // Sends the read command and takes its 3-byte reply; the chip data follows.
    void startChipRead(std::uint32_t length) {
        const auto command = rawReadCommand(length);
        ASSERT_EQ(rig_.link.writeTimed(command.data(), static_cast<std::uint32_t>(command.size()),
                                       &counter_, 500),
                  1);
        std::uint8_t reply[64];
        ASSERT_EQ(rig_.link.readTimed(reply, 64, &counter_, 1000), 1);
        ASSERT_EQ(counter_.load(), 3u);
        ASSERT_EQ(reply[0], 0x11);
    }

    Rig rig_;
    std::atomic<std::uint32_t> counter_{0};
};

TYPED_TEST_SUITE_P(TransportContract);

TYPED_TEST_P(TransportContract, WholeMultiplesOf4096EndWithAZeroLengthRequest) {
    auto& rig = this->rig_;
    auto& counter = this->counter_;
    std::vector<std::uint8_t> data(8192, 0);
    ASSERT_EQ(rig.link.writeTimed(data.data(), 8192, &counter, 1000), 1);
    EXPECT_EQ(counter.load(), 8192u);
    EXPECT_EQ(rig.device->outRequests(), (std::vector<std::uint32_t>{4096, 4096, 0}));

    this->queueFullPackets(128);
    ASSERT_EQ(rig.link.readTimed(data.data(), 8192, &counter, 1000), 1);
    EXPECT_EQ(counter.load(), 8192u);
    if (TypeParam::kZeroLengthReadReachesDevice)
        EXPECT_EQ(rig.device->inRequests(), (std::vector<std::uint32_t>{4096, 4096, 0}));
    else
        EXPECT_EQ(rig.device->inRequests(), (std::vector<std::uint32_t>{4096, 4096}));

    rig.device->clearRequestLog();
    ASSERT_EQ(rig.link.writeTimed(data.data(), 4100, &counter, 1000), 1);
    EXPECT_EQ(rig.device->outRequests(), (std::vector<std::uint32_t>{4096, 4}));

    // A zero-length read ends well at once, with nothing moved.
    rig.device->clearRequestLog();
    counter = 77;
    ASSERT_EQ(rig.link.readTimed(data.data(), 0, &counter, 1000), 1);
    EXPECT_EQ(counter.load(), 0u);
    if (TypeParam::kZeroLengthReadReachesDevice)
        EXPECT_EQ(rig.device->inRequests(), (std::vector<std::uint32_t>{0}));
    else
        EXPECT_TRUE(rig.device->inRequests().empty());
}

TYPED_TEST_P(TransportContract, ShortPacketEndsTheReadWell) {
    auto& rig = this->rig_;
    const std::uint8_t answer[] = {1, 2, 3};
    rig.device->queueInPacket(answer);
    std::uint8_t buffer[64] = {};
    EXPECT_EQ(rig.link.readTimed(buffer, 64, &this->counter_, 1000), 1);
    EXPECT_EQ(this->counter_.load(), 3u);
    EXPECT_EQ(buffer[2], 3);
    EXPECT_EQ(rig.device->inRequests(), (std::vector<std::uint32_t>{64}));
}

TYPED_TEST_P(TransportContract, SilentDeviceFailsAtTheEarlierOfBothLimitsAndStaysUsable) {
    auto& rig = this->rig_;
    auto& counter = this->counter_;
    sim::Faults faults;
    faults.silent = true;
    rig.device->setFaults(faults);
    std::uint8_t buffer[64];
    // The caller's limit first...
    std::uint64_t ms =
        elapsedMs([&] { EXPECT_EQ(rig.link.readTimed(buffer, 64, &counter, 60), 0); });
    EXPECT_GE(ms, 60u);
    EXPECT_LT(ms, 60u + 100u);
    // ...then the 200 ms stall limit of these tests.
    ms = elapsedMs([&] { EXPECT_EQ(rig.link.readTimed(buffer, 64, &counter, 5000), 0); });
    EXPECT_GE(ms, 200u);
    EXPECT_LT(ms, 200u + 100u);
    EXPECT_EQ(counter.load(), 0u);
    // The timed-out requests are gone: none is left to eat the next packet.
    rig.expectNothingInFlight();

    rig.device->setFaults({});
    const std::uint8_t answer[] = {0x13, 0x01, 0x00};
    rig.device->queueInPacket(answer);
    EXPECT_EQ(rig.link.readTimed(buffer, 64, &counter, 1000), 1);
    EXPECT_EQ(counter.load(), 3u);
    EXPECT_EQ(buffer[0], 0x13);
}

TYPED_TEST_P(TransportContract, FailingWriteIsReissuedUntilTheChunkDeadline) {
    auto& rig = this->rig_;
    sim::Faults faults;
    faults.writeFails = true;
    rig.device->setFaults(faults);
    std::uint8_t data[16] = {};
    const std::uint64_t ms =
        elapsedMs([&] { EXPECT_EQ(rig.link.writeTimed(data, 16, &this->counter_, 5000), 0); });
    EXPECT_GE(ms, 200u);
    EXPECT_LT(ms, 200u + 100u);
    // Reissued many times, but a millisecond apart rather than spinning.
    const std::size_t attempts = rig.device->outRequests().size();
    EXPECT_GT(attempts, 10u);
    EXPECT_LE(attempts, 201u);
    EXPECT_EQ(this->counter_.load(), 0u);
}

TYPED_TEST_P(TransportContract, StallLimitAppliesPerChunkNotPerTransfer) {
    auto& rig = this->rig_;
    // 4096 bytes take 50 ms at this pace: eight chunks take 400 ms in all, twice the
    // stall limit, and still end well.
    rig.device->insertChip(chipOf(catalogue::SpiFlash, 8 * 4096));
    rig.device->setThroughput(4096 * 20);
    this->startChipRead(8 * 4096);
    std::vector<std::uint8_t> data(8 * 4096 + 64);
    EXPECT_EQ(rig.link.readTimed(data.data(), 8 * 4096 + 64, &this->counter_, 5000), 1);
    EXPECT_EQ(this->counter_.load(), 8u * 4096u + sizeof(sim::kReadTrailer));
    EXPECT_EQ(data[8 * 4096], sim::kReadTrailer[0]);
}

TYPED_TEST_P(TransportContract, CancelDuringALongReadStopsTheWorkerBeforeReturning) {
    auto& rig = this->rig_;
    auto& counter = this->counter_;
    constexpr std::uint32_t size = TypeParam::kLongReadBytes;
    constexpr std::uint32_t kBeforeCancel = 200'000;
    rig.device->insertChip(chipOf(catalogue::SpiFlash, size));
    // Slow enough that the read is still running when it is cancelled.
    rig.device->setThroughput(4'000'000);
    this->startChipRead(size);

    std::vector<std::uint8_t> data(size + 64, 0x00);
    ASSERT_EQ(rig.link.startRead(data.data(), size + 64, &counter, 10000), 1);
    int result = -1;
    const std::uint64_t limit = util::tickMs() + 5000;
    while (counter.load() < kBeforeCancel && util::tickMs() < limit) {
        ASSERT_EQ(rig.link.pollRead(&result), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::uint64_t ms = elapsedMs([&] { rig.link.cancelRead(); });
    EXPECT_LT(ms, 150u);
    const std::uint32_t received = counter.load();
    EXPECT_GE(received, kBeforeCancel);
    EXPECT_LT(received, size);
    // What is owed at the moment of the cancel; the read-off has already begun.
    EXPECT_GT(rig.link.owedReadBytes(), 0u);
    EXPECT_LE(rig.link.owedReadBytes(), size + 64 - received);

    // Nothing touches the buffer or the counter any more.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(counter.load(), received);
    EXPECT_EQ(data[received], 0x00);
    EXPECT_EQ(data[size - 1], 0x00);

    // The rest is read off in the background, with no call to the link, and nothing is
    // in flight once it has ended; the pipe is clean afterwards.
    rig.device->setThroughput(0);
    const std::uint64_t until = util::tickMs() + 3000;
    while (rig.link.owedReadBytes() != 0 && util::tickMs() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(rig.link.owedReadBytes(), 0u);
    EXPECT_LT(elapsedMs([&] { EXPECT_EQ(rig.link.settle(), 1); }), 50u);
    rig.expectNothingInFlight();
    const std::uint8_t next[] = {0x13, 0x01, 0x00};
    rig.device->queueInPacket(next);
    std::uint8_t reply[64];
    ASSERT_EQ(rig.link.readTimed(reply, 64, &counter, 1000), 1);
    EXPECT_EQ(counter.load(), 3u);
    EXPECT_EQ(reply[0], 0x13);
}

TYPED_TEST_P(TransportContract, DisconnectEndsTheTransferAtOnceKeepingWhatArrived) {
    auto& rig = this->rig_;
    constexpr std::uint32_t size = 1 << 20;
    rig.device->insertChip(chipOf(catalogue::SpiFlash, size));
    this->startChipRead(size);
    sim::Faults faults;
    faults.disconnectAfterBytes = 10000;
    rig.device->setFaults(faults);
    std::vector<std::uint8_t> data(size + 64);
    const std::uint64_t ms = elapsedMs(
        [&] { EXPECT_EQ(rig.link.readTimed(data.data(), size + 64, &this->counter_, 5000), 0); });
    EXPECT_LT(ms, 100u);
    EXPECT_EQ(this->counter_.load(), 10000u);
    EXPECT_EQ(rig.link.open(), 0);

    // Plugged in again, it opens as one opening: the dead one was not kept.
    rig.device->setPresent(true);
    ASSERT_EQ(rig.link.open(), 1) << rig.link.lastError();
    const std::uint8_t answer[] = {0x13, 0x01, 0x00};
    rig.device->queueInPacket(answer);
    EXPECT_EQ(rig.link.readTimed(data.data(), 64, &this->counter_, 1000), 1);
    rig.expectOpenedOnce();
}

TYPED_TEST_P(TransportContract, UnpluggedDeviceFailsCleanlyAndIsNoLongerListed) {
    auto& rig = this->rig_;
    std::uint8_t buffer[64];
    ASSERT_EQ(rig.link.startRead(buffer, 64, &this->counter_, 5000), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    rig.unplug();
    int result = -1;
    const std::uint64_t limit = util::tickMs() + 2000;
    const std::uint64_t ms = elapsedMs([&] {
        while (rig.link.pollRead(&result) == 0 && util::tickMs() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    EXPECT_EQ(result, 0);
    EXPECT_LT(ms, 100u);
    std::uint8_t data[16] = {};
    EXPECT_EQ(rig.link.writeTimed(data, 16, &this->counter_, 5000), 0);

    // The bus notices the removal on its own schedule.
    while (!rig.bus.devicePaths().empty() && util::tickMs() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(rig.bus.devicePaths().empty());
    EXPECT_EQ(rig.link.open(), 0);
}

TYPED_TEST_P(TransportContract, ReopeningAHundredAndFiftyTimesLeaksNothing) {
    auto& rig = this->rig_;
    // As a firmware update does: a fresh open before every step, each followed by a
    // transfer on a worker thread.
    const int descriptors = countEntries("/proc/self/fd");
    const int threads = countEntries("/proc/self/task");
    std::uint8_t buffer[64];
    for (int i = 0; i < 150; ++i) {
        ASSERT_EQ(rig.link.open(), 1) << i << ": " << rig.link.lastError();
        const std::uint8_t answer[] = {0x13, 0x01, 0x00};
        rig.device->queueInPacket(answer);
        ASSERT_EQ(rig.link.readTimed(buffer, 64, &this->counter_, 1000), 1) << i;
    }
    EXPECT_EQ(countEntries("/proc/self/fd"), descriptors);
    EXPECT_EQ(countEntries("/proc/self/task"), threads);
    rig.expectOpenedOnce();
}

REGISTER_TYPED_TEST_SUITE_P(TransportContract, WholeMultiplesOf4096EndWithAZeroLengthRequest,
                            ShortPacketEndsTheReadWell,
                            SilentDeviceFailsAtTheEarlierOfBothLimitsAndStaysUsable,
                            FailingWriteIsReissuedUntilTheChunkDeadline,
                            StallLimitAppliesPerChunkNotPerTransfer,
                            CancelDuringALongReadStopsTheWorkerBeforeReturning,
                            DisconnectEndsTheTransferAtOnceKeepingWhatArrived,
                            UnpluggedDeviceFailsCleanlyAndIsNoLongerListed,
                            ReopeningAHundredAndFiftyTimesLeaksNothing);

}  // namespace testsupport
