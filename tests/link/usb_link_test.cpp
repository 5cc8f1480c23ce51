// The link's transport over the in-process simulated programmer: the shared transport
// contract, and what only this backend can stage (a pipe that fails to open, the real
// 3000 ms stall limit measured once).

#include "link/usb_link.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/sim_rig.h"
#include "tests/support/transport_contract.h"

using testsupport::elapsedMs;
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
