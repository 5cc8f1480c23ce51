// SPDX-License-Identifier: GPL-3.0-or-later
// The link's transport over the in-process simulated programmer: the shared transport
// contract, and what only this backend can stage (a pipe that fails to open, the real
// 3000 ms stall limit measured once).

#include "link/usb_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/sim_rig.h"
#include "tests/support/transport_contract.h"

using testsupport::elapsedMs;
using testsupport::rawReadCommand;
using testsupport::SimRig;

namespace testsupport {
INSTANTIATE_TYPED_TEST_SUITE_P(SimTransport, TransportContract, SimRig);
}  // namespace testsupport

TEST(SimTransport, InvalidPipeFailsAtOnce) {
    SimRig rig;
    sim::Faults faults;
    faults.failPipe = "PIPE00";
    rig.device->setFaults(faults);
    ASSERT_EQ(rig.link.open(), 1);
    std::atomic<std::uint32_t> counter{0};
    std::uint8_t buffer[64];
    const std::uint64_t ms =
        elapsedMs([&] { EXPECT_EQ(rig.link.readTimed(buffer, 64, &counter, 5000), 0); });
    EXPECT_LT(ms, 100u);
    EXPECT_EQ(rig.link.startRead(buffer, 64, &counter, 5000), 0);
    EXPECT_TRUE(rig.device->inRequests().empty());
}

TEST(SimTransport, SilentDeviceFailsAtTheRealThreeSecondStallLimit) {
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

TEST(SimTransport, ReadOffAsksOnlyWhatIsOwedEndsOnTheWireAndIsBounded) {
    auto limits = testsupport::shortLinkLimits();
    limits.readOffLimitMs = 400;
    SimRig rig(limits);
    ASSERT_EQ(rig.link.open(), 1);
    // 4096 + 4 bytes wait in the pipe; 4096 + 64 are owed: the second request asks 64.
    std::vector<std::uint8_t> full(64, 0x5A);
    for (int i = 0; i < 64; ++i)
        rig.device->queueInPacket(full);
    rig.device->queueInPacket(std::vector<std::uint8_t>{1, 2, 3, 4});
    rig.link.noteOwedRead(4096 + 64);
    ASSERT_EQ(rig.link.settle(), 1);
    EXPECT_EQ(rig.device->inRequests(), (std::vector<std::uint32_t>{4096, 64}));
    EXPECT_EQ(rig.link.owedReadBytes(), 0u);

    // A read that ended on the wire owes nothing, even when it is cancelled before a
    // poll saw its end.
    rig.device->insertChip(testsupport::chipOf(catalogue::SpiFlash, 4096));
    std::atomic<std::uint32_t> counter{0};
    const auto command = testsupport::rawReadCommand(4096);
    ASSERT_EQ(rig.link.writeTimed(command.data(), 15, &counter, 500), 1);
    std::vector<std::uint8_t> data(4096 + 128);
    ASSERT_EQ(rig.link.readTimed(data.data(), 64, &counter, 1000), 1);  // the reply
    ASSERT_EQ(rig.link.startRead(data.data(), 4096 + 64, &counter, 1000), 1);
    while (counter.load() < 4096 + sizeof(sim::kReadTrailer))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    rig.link.cancelRead();
    EXPECT_EQ(rig.link.owedReadBytes(), 0u);

    // A device that trickles just under the silence limit is read off for at most the
    // read-off limit, then reset, and the next command finds it clean.
    rig.device->insertChip(testsupport::chipOf(catalogue::SpiFlash, 1 << 20));
    ASSERT_EQ(rig.link.writeTimed(rawReadCommand(1 << 20).data(), 15, &counter, 500), 1);
    ASSERT_EQ(rig.link.readTimed(data.data(), 64, &counter, 1000), 1);
    rig.device->setThroughput(20'000);  // 4096 bytes every 200 ms
    rig.link.noteOwedRead((1 << 20) + 64);
    const std::uint64_t ms = elapsedMs([&] { EXPECT_EQ(rig.link.settle(), 1); });
    EXPECT_GE(ms, 300u);
    EXPECT_LT(ms, 700u);
    EXPECT_EQ(rig.device->resets(), 1);
    rig.device->setThroughput(0);
    rig.device->queueInPacket(std::vector<std::uint8_t>{0x13, 0x01, 0x00});
    ASSERT_EQ(rig.link.readTimed(data.data(), 64, &counter, 1000), 1);
    EXPECT_EQ(counter.load(), 3u);
}

// Whoever polls a running transfer may wait for its end: the wait ends when the worker
// does, and lasts its whole time when no transfer was started.
TEST(SimTransport, AWaitForATransferEndsWithIt) {
    SimRig rig;
    ASSERT_EQ(rig.link.open(), 1);
    EXPECT_GE(elapsedMs([&] { rig.link.waitForTransferEnd(50); }), 50u);

    std::uint8_t buffer[64];
    std::atomic<std::uint32_t> counter{0};
    ASSERT_EQ(rig.link.startRead(buffer, 64, &counter, 20000), 1);
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::uint8_t reply[] = {0x13, 0x01, 0x00};
        rig.device->queueInPacket(reply);
    });
    const std::uint64_t ms = elapsedMs([&] { rig.link.waitForTransferEnd(15000); });
    device.join();
    EXPECT_GE(ms, 90u);
    EXPECT_LT(ms, 10000u);
    int result = 0;
    EXPECT_EQ(rig.link.pollRead(&result), 1);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(counter.load(), 3u);
}
