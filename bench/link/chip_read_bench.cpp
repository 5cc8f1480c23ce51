// A 16 MB chip read from the unthrottled simulated programmer through UsbLink and
// Programmer: how fast the host side moves data when the device never holds it back.
// The argument is the pause between polls in milliseconds (0 = yield only); the chip
// operations pause 5 ms.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "link/device_finder.h"
#include "link/usb_link.h"
#include "protocol/programmer.h"
#include "sim/sim_bus.h"
#include "sim/sim_programmer.h"

namespace {

constexpr std::uint32_t kChipBytes = 0x1000000;

void readChip16MB(benchmark::State& state) {
    auto device = std::make_shared<sim::SimProgrammer>();
    sim::SimBus bus;
    bus.addProgrammer(device);
    usblink::DeviceFinder finder(bus);
    usblink::UsbLink link(finder);
    protocol::Programmer programmer;
    catalogue::ChipRecord chip;
    chip.type = catalogue::SpiFlash;
    chip.capacity = kChipBytes;
    device->insertChip(chip);
    if (!link.open() || !programmer.attach(link) || !programmer.setChip(chip)) {
        state.SkipWithError("the simulated programmer did not open");
        return;
    }
    std::vector<std::uint8_t> buffer(kChipBytes + protocol::kReadSlackBytes);
    const auto pause = std::chrono::milliseconds(state.range(0));

    for (auto _ : state) {
        if (!programmer.startReadChip(buffer.data(), 0, kChipBytes)) {
            state.SkipWithError("read refused");
            return;
        }
        protocol::PollStatus status;
        while ((status = programmer.poll()) == protocol::PollReading) {
            if (pause.count() == 0) {
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(pause);
            }
        }
        if (status != protocol::PollDone) {
            state.SkipWithError("read failed");
            return;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kChipBytes);
}

}  // namespace

BENCHMARK(readChip16MB)->Arg(0)->Arg(1)->Arg(5)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
