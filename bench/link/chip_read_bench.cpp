// SPDX-License-Identifier: GPL-3.0-or-later
// A 16 MB chip read from the unthrottled simulated programmer through UsbLink and
// Programmer: how fast the host side moves data when the device never holds it back.
// The argument is the pause between polls in milliseconds (0 = yield only); the chip
// operations pause 5 ms. And what an abandoned verify costs the next command.

#include <benchmark/benchmark.h>

#include <array>
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

// A 16 MB SPI flash in the simulator, opened through a link and a Programmer.
struct Bench {
    explicit Bench(std::uint64_t bytesPerSecond) {
        bus.addProgrammer(device);
        chip.type = catalogue::SpiFlash;
        chip.capacity = kChipBytes;
        device->insertChip(chip);
        device->setThroughput(bytesPerSecond);
        ready = link.open() && programmer.attach(link) && programmer.setChip(chip);
    }
    std::shared_ptr<sim::SimProgrammer> device = std::make_shared<sim::SimProgrammer>();
    sim::SimBus bus;
    usblink::DeviceFinder finder{bus};
    usblink::UsbLink link{finder};
    catalogue::ChipRecord chip;
    protocol::Programmer programmer;
    bool ready = false;
};

void readChip16MB(benchmark::State& state) {
    Bench bench(0);
    protocol::Programmer& programmer = bench.programmer;
    if (!bench.ready) {
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

// A verify of a 16 MB chip at the simulator's interactive pace (about 1 MB/s) finds a
// difference at 0x12A and abandons its read; the user reads the message for 16 s; then
// the next command. The device still sends the rest of the chip, which the link reads
// off in the background from the moment of the cancel, so the command waits only for
// what is left (about 0.8 s of the 16.8 s) instead of the whole read-off. The time
// reported is the next command's, open included.
void nextCommandAfterAbandonedVerify(benchmark::State& state) {
    Bench bench(sim::kInteractiveThroughput);
    protocol::Programmer& programmer = bench.programmer;
    usblink::UsbLink& link = bench.link;
    if (!bench.ready) {
        state.SkipWithError("the simulated programmer did not open");
        return;
    }
    std::vector<std::uint8_t> buffer(kChipBytes + protocol::kReadSlackBytes);
    const auto reading = std::chrono::milliseconds(state.range(0));
    constexpr std::uint32_t kMismatchAt = 0x12A;

    for (auto _ : state) {
        if (!programmer.startReadChip(buffer.data(), 0, kChipBytes)) {
            state.SkipWithError("read refused");
            return;
        }
        while (programmer.bytesReceived() <= kMismatchAt &&
               programmer.poll() == protocol::PollReading) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        programmer.cancelRead();
        std::this_thread::sleep_for(reading);
        state.counters["owed_at_command_MB"] = link.owedReadBytes() / 1e6;

        const auto start = std::chrono::steady_clock::now();
        std::array<char, protocol::kVersionTextBytes> text{};
        if (!link.open() || !programmer.readFirmwareVersion(text)) {
            state.SkipWithError("the next command failed");
            return;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
    }
}

}  // namespace

BENCHMARK(readChip16MB)->Arg(0)->Arg(1)->Arg(5)->Unit(benchmark::kMillisecond)->UseRealTime();
// 0: the next command at once pays the whole read-off; 18 s: nothing is left.
BENCHMARK(nextCommandAfterAbandonedVerify)
    ->Arg(0)
    ->Arg(16000)
    ->Arg(18000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
