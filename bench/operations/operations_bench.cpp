// SPDX-License-Identifier: GPL-3.0-or-later
// The chip commands of operations/ on a 16 MB SPI flash in the simulated programmer,
// each in its full frame (guards, log, status line, progress, message pump), with a
// front end that does nothing: what the commands themselves add to the transfer.
//
// operationsUnthrottled: the device never holds data back and an erase ends at once, so
// the host's own work shows. One iteration runs Erase, Write, Read, Verify and Auto in
// turn; the medians over all iterations, and their ratios, are the counters. Taking the
// ratios inside one invocation keeps most of the load of other programs on a shared
// machine out of them: verify/read (a verify is a read plus the compare, which runs
// behind the read) and auto/(erase+write+read) (Auto is those three steps with the
// verify for the read). Unthrottled, the data of a 16 MB command moves in a few
// milliseconds, so fixed waits take most of each command's time: a command packet and its
// reply are two timed link transfers polled every 5 ms (about 10 ms for each exchange),
// and the commands poll a running phase every 5 ms. The ratios therefore show what a
// command adds beyond the others (the verify's compare and its block), not transfer speed.
//
// readAtInteractivePace: a Read Chip at the simulator's interactive pace (about 1 MB/s,
// some 17 s for 16 MB), and what share of one core the calling thread (the window
// thread, which polls and pumps messages) uses meanwhile; the link's workers are not
// counted. The argument picks the command: 0 Read Chip, 1 Verify Chip.

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/messages.h"
#include "bench/support/bench_support.h"
#include "bench/support/silent_frontend.h"
#include "buffer/data_buffer.h"
#include "catalogue/chip_record.h"
#include "operations/commands.h"
#include "operations/workbench.h"
#include "sim/sim_bus.h"
#include "sim/sim_programmer.h"

namespace {

constexpr std::uint32_t kChipBytes = 0x1000000;
constexpr std::uint16_t kPageBytes = 256;
// An erase the simulator ends at once: its duration is the device's, not the host's.
constexpr std::uint32_t kEraseMs = 0;

catalogue::ChipRecord spiFlash16MB() {
    catalogue::ChipRecord chip;
    chip.type = catalogue::SpiFlash;
    catalogue::setField(chip.name, "BENCH16M");
    catalogue::setField(chip.manufacturer, "SIM");
    chip.capacity = kChipBytes;
    chip.pageWrite = 1;
    chip.pageSize = kPageBytes;
    chip.organisation = 8;
    return chip;
}

// The simulator, the workbench over it with the chip selected, and the buffer holding a
// pattern that is neither erased nor uniform, so a write changes every page.
struct Rig {
    explicit Rig(std::uint64_t throughput) : device(std::make_shared<sim::SimProgrammer>()) {
        app::loadMessageTable(programDir.dir());
        device->insertChip(spiFlash16MB());
        device->setThroughput(throughput);
        device->setEraseDurationMs(kEraseMs);
        bus.addProgrammer(device);
        bench = std::make_unique<operations::Workbench>(bus);
        bench->buffer = buffer::DataBuffer::create();
        if (bench->buffer) {
            operations::selectChip(*bench, ui, spiFlash16MB());
            unsigned char* image = bench->buffer->image();
            for (std::uint32_t i = 0; i < kChipBytes; ++i)
                image[i] = static_cast<unsigned char>((i * 7u) ^ (i >> 11));
        }
    }

    bool ok() const { return programDir.ok() && bench && bench->buffer; }

    benchsupport::ProgramDir programDir{"BENCH16M"};
    std::shared_ptr<sim::SimProgrammer> device;
    sim::SimBus bus;
    benchsupport::SilentFrontend ui;
    std::unique_ptr<operations::Workbench> bench;
};

using Command = operations::Outcome (*)(operations::Workbench&, operations::Frontend&);

// Runs `command`, adds its wall time in milliseconds to `times`; false unless it ended
// well without a message box.
bool timed(Rig& rig, Command command, std::vector<double>& times) {
    const int messagesBefore = rig.ui.messages;
    const auto start = std::chrono::steady_clock::now();
    const operations::Outcome outcome = command(*rig.bench, rig.ui);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    times.push_back(took.count());
    return outcome == operations::Outcome::Done && rig.ui.messages == messagesBefore;
}

void operationsUnthrottled(benchmark::State& state) {
    Rig rig(0);
    if (!rig.ok()) {
        state.SkipWithError("the workbench could not be set up");
        return;
    }
    std::vector<double> erase, write, read, verify, autoProgram;
    for (auto _ : state) {
        // Erase and Write leave the buffer's pattern in the chip; Read brings it back
        // unchanged, so Verify and the verify step of Auto pass.
        if (!timed(rig, operations::eraseChip, erase) ||
            !timed(rig, operations::writeChip, write) || !timed(rig, operations::readChip, read) ||
            !timed(rig, operations::verifyChip, verify) ||
            !timed(rig, operations::autoProgram, autoProgram)) {
            state.SkipWithError("a command did not end well");
            return;
        }
    }
    const double eraseMs = benchsupport::median(erase);
    const double writeMs = benchsupport::median(write);
    const double readMs = benchsupport::median(read);
    const double verifyMs = benchsupport::median(verify);
    const double autoMs = benchsupport::median(autoProgram);
    state.counters["erase_ms"] = eraseMs;
    state.counters["write_ms"] = writeMs;
    state.counters["read_ms"] = readMs;
    state.counters["verify_ms"] = verifyMs;
    state.counters["auto_ms"] = autoMs;
    state.counters["verify_per_read"] = readMs > 0 ? verifyMs / readMs : 0;
    const double steps = eraseMs + writeMs + readMs;
    state.counters["auto_per_steps"] = steps > 0 ? autoMs / steps : 0;
}

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void readAtInteractivePace(benchmark::State& state) {
    Rig rig(sim::kInteractiveThroughput);
    if (!rig.ok()) {
        state.SkipWithError("the workbench could not be set up");
        return;
    }
    const Command command = state.range(0) == 0 ? operations::readChip : operations::verifyChip;
    if (state.range(0) != 0) {
        // The chip holds the buffer's pattern, so the verify passes and reads it all.
        rig.device->fillMemory(0, {rig.bench->buffer->image(), kChipBytes});
    }
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        const int messagesBefore = rig.ui.messages;
        const double cpuStart = threadCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        const operations::Outcome outcome = command(*rig.bench, rig.ui);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        cpu += threadCpuSeconds() - cpuStart;
        wall += took.count();
        if (outcome != operations::Outcome::Done || rig.ui.messages != messagesBefore) {
            state.SkipWithError("the command did not end well");
            return;
        }
    }
    state.counters["wall_s"] = wall;
    state.counters["window_thread_cpu_ms"] = cpu * 1e3;
    state.counters["window_thread_core_pct"] = wall > 0 ? 100 * cpu / wall : 0;
}

}  // namespace

BENCHMARK(operationsUnthrottled)->Iterations(21)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(readAtInteractivePace)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
