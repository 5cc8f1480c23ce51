// SPDX-License-Identifier: GPL-3.0-or-later
// The line store's work per chip on a busy line: 8 stations × 50 chips on one job in a
// PostgreSQL server of the benchmark's own (started like the tests' one). Each station is
// a process of its own, forked once the server runs and the job exists, with its own
// connection to the store and its own simulated programmer, opened after the fork. All
// stations start together and go chip by chip the way a station does: reserve a serial
// number, program the chip, record the attempt.
//
// The programming is real: the shipped chip table's W25X10 goes into the simulator's
// socket erased, and Auto (erase, write, verify) runs through the chip commands with the
// job's image and the reserved number patched in. The simulator runs at full speed and
// its erase ends at once, and no time goes on changing the chip, so a chip takes
// milliseconds instead of the second or more a real one does, and the stations meet in the
// store far more often than on a real line. Every tenth chip of a station sits loosely in
// the socket: one bit reads wrong on every second read of a loose chip, so every second
// such chip fails its verify. The attempt is recorded as the command ended, and a failed
// chip's number is given back and reissued.
//
// Counters: storeMsMedian (reserve + record of one chip, median over every attempt) and
// storeMsP95, next to chipCycleMs (a station's whole chip, store and programming, median);
// chips (attempts) and failedChips. The target is storeMsMedian <= 5, quoted with
// chipCycleMs. A station that fails (store or programmer) makes the run an error, never a
// number.

#include <benchmark/benchmark.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/messages.h"
#include "bench/support/bench_support.h"
#include "bench/support/silent_frontend.h"
#include "buffer/data_buffer.h"
#include "catalogue/chip_csv.h"
#include "catalogue/chip_record.h"
#include "line/store.h"
#include "operations/checks.h"
#include "operations/commands.h"
#include "operations/workbench.h"
#include "sim/sim_bus.h"
#include "sim/sim_programmer.h"
#include "tests/support/postgres_server.h"
#include "tests/support/temp_dir.h"
#include "util/safe_file.h"

namespace {

constexpr int kStations = 8;
constexpr int kChipsPerStation = 50;
constexpr const char* kChipName = "W25X10";
// Where each chip's serial number goes, four bytes little-endian, as the job says.
constexpr std::uint32_t kSerialAddress = 0x100;
constexpr const char* kSerialFormat = "0x100:u32le:1";
constexpr int kLooseEvery = 10;
constexpr std::uint32_t kLooseBitAddress = 0x1234;
// A station that needs this many attempts is not losing chips to the loose ones alone.
constexpr int kMostAttempts = 4 * kChipsPerStation;

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// What every station is handed at its fork: where the store is, the job, and its chip.
struct LineSetup {
    std::string url;
    line::Job job;
    catalogue::ChipRecord chip{};
};

// What one chip attempt of a station took.
struct ChipTimes {
    double storeMs = 0;  // reserve + record
    double cycleMs = 0;  // from the reserve to the attempt recorded
    bool passed = false;
};

// What a station sends its parent ahead of its chips' times: how many follow, and why it
// stopped early (empty when the job ran out of numbers, as it should).
struct StationReport {
    std::uint32_t chips = 0;
    char error[256] = {};
};

// The chip's row of the shipped chip table, as the chip database is built from it.
std::optional<catalogue::ChipRecord> shippedChip(const std::string& name) {
    const std::string csv = testsupport::readFile(CHIPWRIGHT_SOURCE_DIR "/resources/chips.csv");
    for (const catalogue::ChipRecord& chip : catalogue::parseChipCsv(csv).chips) {
        if (chip.nameBytes() == name)
            return chip;
    }
    return std::nullopt;
}

// The job's image: the chip's size of a pattern that is neither erased nor uniform, so
// every page is written.
std::vector<unsigned char> jobImage(std::uint32_t bytes) {
    std::vector<unsigned char> image(bytes);
    for (std::uint32_t i = 0; i < bytes; ++i)
        image[i] = static_cast<unsigned char>((i * 7u) ^ (i >> 11));
    return image;
}

line::Job makeJob(line::Store& store, std::vector<unsigned char> image) {
    line::Job job;
    job.name = "bench";
    job.chip = kChipName;
    job.sha256 = operations::checksumsOf(image).sha256;
    job.image = std::move(image);
    job.serial = kSerialFormat;
    job.serialStart = 1;
    job.serialLast = 0xFFFFFFFF;
    job.count = kStations * kChipsPerStation;
    return store.createJob(job);
}

// A station's programmer: the simulator at full speed behind a workbench of its own with
// the job's chip selected, its settings and log in a folder of its own.
struct StationRig {
    explicit StationRig(const catalogue::ChipRecord& selected)
        : chip(selected), device(std::make_shared<sim::SimProgrammer>()) {
        app::loadMessageTable(programDir.dir());
        device->setThroughput(0);
        device->setEraseDurationMs(0);
        bus.addProgrammer(device);
        bench = std::make_unique<operations::Workbench>(bus);
        bench->rememberChip = false;
        bench->buffer = buffer::DataBuffer::create();
        if (bench->buffer)
            operations::selectChip(*bench, ui, chip);
    }

    bool ok() const { return programDir.ok() && bench->buffer; }

    catalogue::ChipRecord chip;
    benchsupport::ProgramDir programDir{kChipName};
    std::shared_ptr<sim::SimProgrammer> device;
    sim::SimBus bus;
    benchsupport::SilentFrontend ui;
    std::unique_ptr<operations::Workbench> bench;
};

// Auto on a fresh chip: the job's image with `serial` patched in, the chip seated loosely
// when `loose`.
operations::Outcome programChip(StationRig& rig, const line::Job& job, std::uint64_t serial,
                                bool loose) {
    rig.device->insertChip(rig.chip);
    sim::Faults faults;
    if (loose)
        faults.looseBitAddress = kLooseBitAddress;
    rig.device->setFaults(faults);
    unsigned char* image = rig.bench->buffer->image();
    std::copy(job.image.begin(), job.image.end(), image);
    for (int i = 0; i < 4; ++i)
        image[kSerialAddress + i] = static_cast<unsigned char>(serial >> (8 * i));
    return operations::autoProgram(*rig.bench, rig.ui);
}

// The attempt as a station records it; a command that neither passed nor found the chip
// different means the rig itself broke, and ends the station.
line::Attempt attemptFor(const line::Job& job, const std::string& station, std::uint64_t serial,
                         operations::Outcome outcome, const StationRig& rig) {
    using namespace std::chrono;
    if (outcome != operations::Outcome::Done && outcome != operations::Outcome::Mismatch)
        throw std::runtime_error("Auto neither passed nor found a difference");
    line::Attempt a;
    a.atMs = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    a.station = station;
    a.job = job.name;
    a.chip = job.chip;
    a.command = "auto";
    a.result = outcome == operations::Outcome::Done ? "done" : "mismatch";
    if (outcome == operations::Outcome::Done)
        a.sha256 = operations::bufferChecksums(*rig.bench).sha256;
    a.serial = std::to_string(serial);
    return a;
}

// One station's chips until the store hands it no more numbers: the store's share of each
// chip timed apart from the rest of its cycle.
std::vector<ChipTimes> runStation(line::Store& store, const line::Job& job, const std::string& name,
                                  StationRig& rig) {
    std::vector<ChipTimes> times;
    for (int chip = 0;; ++chip) {
        if (chip == kMostAttempts)
            throw std::runtime_error("too many chips failed");
        const Clock::time_point start = Clock::now();
        const line::Reservation r = store.reserve(job, name);
        const double reserveMs = msSince(start);
        if (r.state != line::Reserved::Number)
            return times;
        const bool loose = chip % kLooseEvery == kLooseEvery - 1;
        const operations::Outcome outcome = programChip(rig, job, r.number, loose);
        if (outcome != operations::Outcome::Done && !loose)
            throw std::runtime_error("a firmly seated chip did not pass");
        const line::Attempt attempt = attemptFor(job, name, r.number, outcome, rig);
        const Clock::time_point recording = Clock::now();
        store.record(attempt, r.number);
        times.push_back(
            {reserveMs + msSince(recording), msSince(start), outcome == operations::Outcome::Done});
    }
}

// The bytes of `count` plain records, as they go down a pipe.
template <typename T>
std::span<const unsigned char> bytesOf(const T* data, std::size_t count) {
    return {reinterpret_cast<const unsigned char*>(data), count * sizeof(T)};
}

bool readAll(int fd, void* data, std::size_t bytes) {
    char* p = static_cast<char*>(data);
    while (bytes > 0) {
        const ssize_t n = read(fd, p, bytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        bytes -= static_cast<std::size_t>(n);
    }
    return true;
}

// Blocks until the parent closes its end of the start pipe: every station is then ready.
void waitForStart(int start) {
    char ignored;
    while (read(start, &ignored, 1) < 0 && errno == EINTR) {
    }
}

// The station's whole life in its process: its programmer and its connection opened, the
// start awaited, the chips run, and their times sent down `out`. The exit status.
int stationMain(const LineSetup& setup, int index, int start, int out) {
    StationReport report;
    std::vector<ChipTimes> times;
    try {
        StationRig rig(setup.chip);
        if (!rig.ok())
            throw std::runtime_error("the workbench could not be set up");
        const std::unique_ptr<line::Store> store = line::Store::open(setup.url);
        waitForStart(start);
        times = runStation(*store, setup.job, "s" + std::to_string(index), rig);
    } catch (const std::exception& e) {
        const std::string why = "station " + std::to_string(index) + ": " + e.what();
        why.copy(report.error, sizeof report.error - 1);
    }
    report.chips = static_cast<std::uint32_t>(times.size());
    const bool sent = util::writeAll(out, bytesOf(&report, 1)) &&
                      util::writeAll(out, bytesOf(times.data(), times.size()));
    return sent && report.error[0] == '\0' ? 0 : 1;
}

struct Station {
    pid_t pid = -1;
    int in = -1;  // the read end of the station's pipe
};

// Forks a station. The child runs it and leaves with _exit, so it runs none of the
// parent's exit handlers (the shared server's would stop the server under the others).
std::optional<Station> forkStation(const LineSetup& setup, int index, const int start[2]) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return std::nullopt;
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeEnds[0]);
        close(start[1]);
        _exit(stationMain(setup, index, start[0], pipeEnds[1]));
    }
    close(pipeEnds[1]);
    if (pid < 0) {
        close(pipeEnds[0]);
        return std::nullopt;
    }
    return Station{pid, pipeEnds[0]};
}

// The station's times added to `times`; its error when it sent none or ended badly.
std::string collect(const Station& station, std::vector<ChipTimes>& times) {
    StationReport report;
    std::vector<ChipTimes> own;
    bool read = readAll(station.in, &report, sizeof report);
    if (read) {
        own.resize(report.chips);
        read = readAll(station.in, own.data(), own.size() * sizeof(ChipTimes));
    }
    close(station.in);
    int status = 0;
    const bool reaped = waitpid(station.pid, &status, 0) == station.pid;
    if (read && report.error[0] != '\0')
        return std::string(report.error, strnlen(report.error, sizeof report.error));
    if (!read || !reaped || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "a station process ended without its times";
    times.insert(times.end(), own.begin(), own.end());
    return "";
}

// The line run once: every station forked, started together, and waited for. The first
// error of a station, or empty with every attempt's times in `times`.
std::string runLine(const LineSetup& setup, std::vector<ChipTimes>& times) {
    int start[2];
    if (pipe(start) != 0)
        return "no pipe for the start";
    std::vector<Station> stations;
    std::string error;
    for (int s = 0; s < kStations && error.empty(); ++s) {
        if (const std::optional<Station> station = forkStation(setup, s, start))
            stations.push_back(*station);
        else
            error = "a station could not be forked";
    }
    close(start[1]);
    close(start[0]);
    for (const Station& station : stations) {
        if (std::string why = collect(station, times); error.empty())
            error = std::move(why);
    }
    return error;
}

// What the store holds after the run, held against what the stations reported: every chip
// of the job passed on numbers 1 … its count with none left held, and one row per attempt
// timed. The error, or empty.
std::string checkStore(const LineSetup& setup, const std::vector<ChipTimes>& times) {
    try {
        const line::Status s = line::Store::open(setup.url)->status(setup.job.name);
        const std::uint64_t passed = *setup.job.count;
        const std::uint64_t failed = times.size() - passed;
        const bool numbers = s.serialsUsed && s.serialsUsed->first == 1 &&
                             s.serialsUsed->second == passed && s.serialsHeld == 0;
        if (s.total.passed != passed || s.total.failed != failed || !numbers)
            return "the store's tally disagrees with the stations' chips";
        return "";
    } catch (const std::exception& e) {
        return e.what();
    }
}

double percentile(std::vector<double> values, double share) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1))];
}

void report(benchmark::State& state, const std::vector<ChipTimes>& times) {
    std::vector<double> store;
    std::vector<double> cycle;
    double failed = 0;
    for (const ChipTimes& t : times) {
        store.push_back(t.storeMs);
        cycle.push_back(t.cycleMs);
        failed += t.passed ? 0 : 1;
    }
    state.counters["storeMsMedian"] = benchsupport::median(store);
    state.counters["storeMsP95"] = percentile(store, 0.95);
    state.counters["chipCycleMs"] = benchsupport::median(cycle);
    state.counters["chips"] = static_cast<double>(times.size());
    state.counters["failedChips"] = failed;
}

// The job created in `setup`'s database, the parent's connection closed again before any
// station is forked; the error, or empty.
std::string prepareJob(LineSetup& setup) {
    try {
        setup.job = makeJob(*line::Store::open(setup.url), jobImage(setup.chip.capacity));
        return "";
    } catch (const std::exception& e) {
        return e.what();
    }
}

void lineOfStations(benchmark::State& state) {
    testsupport::PostgresServer& server = testsupport::PostgresServer::shared();
    const std::optional<catalogue::ChipRecord> chip = shippedChip(kChipName);
    if (!server.running() || !chip) {
        state.SkipWithError(chip ? server.problem().c_str() : "no W25X10 in the chip table");
        return;
    }
    std::vector<ChipTimes> times;
    for (auto _ : state) {
        LineSetup setup{server.freshDatabase(), {}, *chip};
        std::vector<ChipTimes> run;
        std::string error = prepareJob(setup);
        if (error.empty())
            error = runLine(setup, run);
        if (error.empty())
            error = checkStore(setup, run);
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
        times.insert(times.end(), run.begin(), run.end());
    }
    report(state, times);
}

BENCHMARK(lineOfStations)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
