#include "link/usb_link.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/support/sim_rig.h"

using testsupport::chipOf;
using testsupport::elapsedMs;
using testsupport::SimRig;

namespace {

constexpr std::uint32_t k16MB = 0x1000000;

// The firmware's read command, written out by hand so the link's tests do not depend
// on the command set: read `length` bytes from address 0.
std::vector<std::uint8_t> rawReadCommand(std::uint32_t length) {
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

class Transport : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(rig.link.open(), 1); }

    void queueFullPackets(int count) {
        std::vector<std::uint8_t> packet(64, 0x5A);
        for (int i = 0; i < count; ++i)
            rig.device->queueInPacket(packet);
    }

    SimRig rig;
    std::atomic<std::uint32_t> counter{0};
};

}  // namespace

TEST_F(Transport, WholeMultiplesOf4096EndWithAZeroLengthRequest) {
    std::vector<std::uint8_t> data(8192, 0);
    ASSERT_EQ(rig.link.writeTimed(data.data(), 8192, &counter, 1000), 1);
    EXPECT_EQ(counter.load(), 8192u);
    EXPECT_EQ(rig.device->outRequests(), (std::vector<std::uint32_t>{4096, 4096, 0}));

    queueFullPackets(128);
    ASSERT_EQ(rig.link.readTimed(data.data(), 8192, &counter, 1000), 1);
    EXPECT_EQ(counter.load(), 8192u);
    EXPECT_EQ(rig.device->inRequests(), (std::vector<std::uint32_t>{4096, 4096, 0}));

    rig.device->clearRequestLog();
    ASSERT_EQ(rig.link.writeTimed(data.data(), 4100, &counter, 1000), 1);
    EXPECT_EQ(rig.device->outRequests(), (std::vector<std::uint32_t>{4096, 4}));

    rig.device->clearRequestLog();
    ASSERT_EQ(rig.link.readTimed(data.data(), 0, &counter, 1000), 1);
    EXPECT_EQ(counter.load(), 0u);
    EXPECT_EQ(rig.device->inRequests(), (std::vector<std::uint32_t>{0}));
}

TEST_F(Transport, ShortPacketEndsTheReadWell) {
    const std::uint8_t answer[] = {1, 2, 3};
    rig.device->queueInPacket(answer);
    std::uint8_t buffer[64] = {};
    EXPECT_EQ(rig.link.readTimed(buffer, 64, &counter, 1000), 1);
    EXPECT_EQ(counter.load(), 3u);
    EXPECT_EQ(buffer[2], 3);
    EXPECT_EQ(rig.device->inRequests(), (std::vector<std::uint32_t>{64}));
}

TEST_F(Transport, SilentDeviceFailsAtTheEarlierOfBothLimits) {
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
}

TEST(TransportRealLimits, SilentDeviceFailsAtTheThreeSecondStallLimit) {
    SimRig rig(usblink::LinkLimits{});
    ASSERT_EQ(rig.link.open(), 1);
    sim::Faults faults;
    faults.silent = true;
    rig.device->setFaults(faults);
    std::uint8_t buffer[64];
    std::atomic<std::uint32_t> counter{0};
    const std::uint64_t ms =
        elapsedMs([&] { EXPECT_EQ(rig.link.readTimed(buffer, 64, &counter, 10000), 0); });
    EXPECT_GE(ms, 3000u);
    EXPECT_LT(ms, 3200u);
}

TEST_F(Transport, FailingWriteIsReissuedUntilTheChunkDeadline) {
    sim::Faults faults;
    faults.writeFails = true;
    rig.device->setFaults(faults);
    std::uint8_t data[16] = {};
    const std::uint64_t ms =
        elapsedMs([&] { EXPECT_EQ(rig.link.writeTimed(data, 16, &counter, 5000), 0); });
    EXPECT_GE(ms, 200u);
    EXPECT_LT(ms, 200u + 100u);
    // Reissued many times, but a millisecond apart rather than spinning.
    const std::size_t attempts = rig.device->outRequests().size();
    EXPECT_GT(attempts, 10u);
    EXPECT_LE(attempts, 201u);
}

TEST_F(Transport, InvalidPipeFailsAtOnce) {
    sim::Faults faults;
    faults.failPipe = "PIPE00";
    rig.device->setFaults(faults);
    ASSERT_EQ(rig.link.open(), 1);
    std::uint8_t buffer[64];
    const std::uint64_t ms =
        elapsedMs([&] { EXPECT_EQ(rig.link.readTimed(buffer, 64, &counter, 5000), 0); });
    EXPECT_LT(ms, 100u);
    EXPECT_EQ(rig.link.startRead(buffer, 64, &counter, 5000), 0);
    EXPECT_TRUE(rig.device->inRequests().empty());
}

TEST_F(Transport, StallLimitAppliesPerChunkNotPerTransfer) {
    // 4096 bytes take 50 ms at this pace: eight chunks take 400 ms in all, twice the
    // stall limit, and still end well.
    rig.device->insertChip(chipOf(catalogue::SpiFlash, 8 * 4096));
    rig.device->setThroughput(4096 * 20);
    const auto command = rawReadCommand(8 * 4096);
    ASSERT_EQ(rig.link.writeTimed(command.data(), 15, &counter, 500), 1);
    std::uint8_t reply[64];
    ASSERT_EQ(rig.link.readTimed(reply, 64, &counter, 1000), 1);
    std::vector<std::uint8_t> data(8 * 4096 + 64);
    EXPECT_EQ(rig.link.readTimed(data.data(), 8 * 4096 + 64, &counter, 5000), 1);
    EXPECT_EQ(counter.load(), 8u * 4096u + sizeof(sim::kReadTrailer));
}

TEST_F(Transport, CancelDuringALongReadStopsTheWorkerBeforeReturning) {
    rig.device->insertChip(chipOf(catalogue::SpiFlash, k16MB));
    rig.device->setThroughput(50'000'000);
    const auto command = rawReadCommand(k16MB);
    ASSERT_EQ(rig.link.writeTimed(command.data(), 15, &counter, 500), 1);
    std::uint8_t reply[64];
    ASSERT_EQ(rig.link.readTimed(reply, 64, &counter, 1000), 1);

    std::vector<std::uint8_t> data(k16MB + 64, 0x00);
    ASSERT_EQ(rig.link.startRead(data.data(), k16MB + 64, &counter, 10000), 1);
    int result = -1;
    const std::uint64_t limit = util::tickMs() + 5000;
    while (counter.load() < 1'000'000 && util::tickMs() < limit) {
        ASSERT_EQ(rig.link.pollRead(&result), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::uint64_t ms = elapsedMs([&] { rig.link.cancelRead(); });
    EXPECT_LT(ms, 150u);
    const std::uint32_t received = counter.load();
    EXPECT_LT(received, k16MB);
    EXPECT_EQ(rig.link.owedReadBytes(), k16MB + 64 - received);

    // Nothing touches the buffer or the counter any more.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(counter.load(), received);
    EXPECT_EQ(data[received], 0x00);
    EXPECT_EQ(data[k16MB - 1], 0x00);

    // The owed rest is read off in whole requests, and the pipe is clean afterwards.
    rig.device->setThroughput(0);
    rig.device->clearRequestLog();
    EXPECT_EQ(rig.link.discardOwedRead(1000), k16MB + sizeof(sim::kReadTrailer) - received);
    EXPECT_EQ(rig.link.owedReadBytes(), 0u);
    for (std::uint32_t n : rig.device->inRequests())
        EXPECT_EQ(n, 4096u);
    const std::uint8_t next[] = {0x13, 0x01, 0x00};
    rig.device->queueInPacket(next);
    ASSERT_EQ(rig.link.readTimed(reply, 64, &counter, 1000), 1);
    EXPECT_EQ(counter.load(), 3u);
    EXPECT_EQ(reply[0], 0x13);
}

TEST_F(Transport, DisconnectEndsTheTransferAtOnceKeepingWhatArrived) {
    rig.device->insertChip(chipOf(catalogue::SpiFlash, 1 << 20));
    const auto command = rawReadCommand(1 << 20);
    ASSERT_EQ(rig.link.writeTimed(command.data(), 15, &counter, 500), 1);
    std::uint8_t reply[64];
    ASSERT_EQ(rig.link.readTimed(reply, 64, &counter, 1000), 1);
    sim::Faults faults;
    faults.disconnectAfterBytes = 10000;
    rig.device->setFaults(faults);
    std::vector<std::uint8_t> data((1 << 20) + 64);
    const std::uint64_t ms = elapsedMs(
        [&] { EXPECT_EQ(rig.link.readTimed(data.data(), (1 << 20) + 64, &counter, 5000), 0); });
    EXPECT_LT(ms, 100u);
    EXPECT_EQ(counter.load(), 10000u);
    EXPECT_EQ(rig.link.open(), 0);
}
