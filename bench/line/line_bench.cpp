// SPDX-License-Identifier: GPL-3.0-or-later
// The line store's work per chip on a busy line: 8 stations × 50 chips on one job in a
// PostgreSQL server of the benchmark's own (started like the tests' one). Each station
// is a thread with a connection of its own calling the store the way a station does:
// reserve a serial number, program the chip, record the attempt. The programming is
// stood in for by a pause of kChipMs, far shorter than a chip takes even at the
// simulator's full speed (a 1 MB auto about 1.5 s, and a second for the swap), so the
// stations meet in the store more often than a real line's do; every tenth chip fails,
// its number given back and reissued.
//
// Counters: storeMsMedian (reserve + record of one chip, median over all 400) and
// storeMsP95, next to chipCycleMs (a station's whole chip, store included, median).
// The target is storeMsMedian <= 5.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/bench_support.h"
#include "line/store.h"
#include "tests/support/postgres_server.h"

namespace {

constexpr int kStations = 8;
constexpr int kChipsPerStation = 50;
constexpr int kChipMs = 20;
constexpr int kFailEvery = 10;

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

line::Job makeJob(line::Store& store) {
    line::Job job;
    job.name = "bench";
    job.chip = "W25X10";
    job.image.assign(4096, 0x5A);
    job.sha256 = std::string(64, 'a');
    job.serial = "0x100:u32le:1";
    job.serialStart = 1;
    job.serialLast = 0xFFFFFFFF;
    job.count = kStations * kChipsPerStation;
    return store.createJob(job);
}

struct Times {
    std::mutex lock;
    std::vector<double> store;
    std::vector<double> cycle;
};

// One station's chips: the store's share of each timed apart from the chip's.
void station(const std::string& url, const line::Job& job, int index, Times* times) {
    auto store = line::Store::open(url);
    const std::string name = "s" + std::to_string(index);
    for (int chip = 0;; ++chip) {
        const Clock::time_point start = Clock::now();
        const line::Reservation r = store->reserve(job, name);
        const double reserveMs = msSince(start);
        if (r.state != line::Reserved::Number)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(kChipMs));
        line::Attempt a;
        a.station = name;
        a.job = job.name;
        a.chip = job.chip;
        a.command = "auto";
        a.result = chip % kFailEvery == kFailEvery - 1 ? "mismatch" : "done";
        a.serial = std::to_string(r.number);
        const Clock::time_point recording = Clock::now();
        store->record(a, r.number);
        const double storeMs = reserveMs + msSince(recording);
        const std::lock_guard<std::mutex> hold(times->lock);
        times->store.push_back(storeMs);
        times->cycle.push_back(msSince(start));
    }
}

double percentile(std::vector<double> values, double share) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1))];
}

void lineOfStations(benchmark::State& state) {
    testsupport::PostgresServer& server = testsupport::PostgresServer::shared();
    if (!server.running()) {
        state.SkipWithError(server.problem().c_str());
        return;
    }
    Times times;
    for (auto _ : state) {
        const std::string url = server.freshDatabase();
        const line::Job job = makeJob(*line::Store::open(url));
        std::vector<std::thread> stations;
        for (int s = 0; s < kStations; ++s)
            stations.emplace_back(station, url, job, s, &times);
        for (std::thread& t : stations)
            t.join();
    }
    state.counters["storeMsMedian"] = benchsupport::median(times.store);
    state.counters["storeMsP95"] = percentile(times.store, 0.95);
    state.counters["chipCycleMs"] = benchsupport::median(times.cycle);
    state.counters["chips"] = static_cast<double>(times.store.size());
}

BENCHMARK(lineOfStations)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
