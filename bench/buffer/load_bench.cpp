// SPDX-License-Identifier: GPL-3.0-or-later
// Loading a whole 16 MiB chip image: from an Intel HEX file made by objcopy and
// from a binary file, against objcopy and srec_cat converting the same HEX file
// to binary in the same run. Prints the ratios at the end.
//
// Targets: our HEX load at least 5 times faster than objcopy; a binary load
// under 30 ms.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "buffer/data_buffer.h"
#include "buffer/data_file.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr std::uint32_t kChip = 16 * 1024 * 1024;
constexpr double kHexTargetRatio = 5.0;
constexpr double kBinaryTargetMs = 30.0;

struct Files {
    testsupport::TempDir dir;
    std::string binary = dir.file("image.bin");
    std::string hex = dir.file("image.hex");
    std::string converted = dir.file("converted.bin");
};

Files* files = nullptr;
buffer::DataBuffer* data = nullptr;

void run(const std::string& command, benchmark::State& state) {
    if (std::system(command.c_str()) != 0)
        state.SkipWithError(("failed: " + command).c_str());
}

void loadFile(benchmark::State& state, const std::string& path) {
    for (auto _ : state) {
        buffer::LoadResult result = buffer::loadDataFile(*data, path);
        if (!result.loaded)
            state.SkipWithError(result.error.c_str());
        benchmark::DoNotOptimize(data->image());
    }
}

void LoadIntelHex(benchmark::State& state) {
    loadFile(state, files->hex);
}
void LoadBinary(benchmark::State& state) {
    loadFile(state, files->binary);
}

void Objcopy(benchmark::State& state) {
    for (auto _ : state)
        run("objcopy -I ihex -O binary " + files->hex + " " + files->converted, state);
}

void SrecCat(benchmark::State& state) {
    for (auto _ : state) {
        run("srec_cat " + files->hex + " -intel -o " + files->converted + " -binary", state);
    }
}

BENCHMARK(LoadIntelHex)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LoadBinary)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Objcopy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(SrecCat)->Unit(benchmark::kMillisecond)->UseRealTime();

// The console report, remembering each benchmark's real time in milliseconds.
class RememberingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            // With --benchmark_repetitions the median stands for the runs.
            bool single = run.run_type == Run::RT_Iteration;
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!run.error_occurred && (single || median))
                ms[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> ms;
};

bool makeFiles() {
    std::mt19937 random(4);
    std::vector<char> bytes(kChip);
    for (char& b : bytes)
        b = static_cast<char>(random());
    std::FILE* out = std::fopen(files->binary.c_str(), "wb");
    if (out == nullptr)
        return false;
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (std::fclose(out) != 0 || !written)
        return false;
    std::string command = "objcopy -I binary -O ihex " + files->binary + " " + files->hex;
    return std::system(command.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Files made;
    files = &made;
    auto buffer = buffer::DataBuffer::create();
    if (!buffer || !makeFiles()) {
        std::fprintf(stderr, "cannot set up the buffer or the files\n");
        return 1;
    }
    buffer->setDataLength(kChip);
    data = buffer.get();

    RememberingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto& ms = reporter.ms;
    if (ms.count("LoadIntelHex") && ms.count("Objcopy")) {
        double ratio = ms["Objcopy"] / ms["LoadIntelHex"];
        std::printf("Intel HEX load: %.1f ms; objcopy %.1f ms (%.1fx, target >= %.0fx: %s)\n",
                    ms["LoadIntelHex"], ms["Objcopy"], ratio, kHexTargetRatio,
                    ratio >= kHexTargetRatio ? "met" : "MISSED");
    }
    if (ms.count("LoadIntelHex") && ms.count("SrecCat")) {
        std::printf("Intel HEX load: srec_cat %.1f ms (%.1fx)\n", ms["SrecCat"],
                    ms["SrecCat"] / ms["LoadIntelHex"]);
    }
    if (ms.count("LoadBinary")) {
        std::printf("binary load: %.1f ms (target < %.0f ms: %s)\n", ms["LoadBinary"],
                    kBinaryTargetMs, ms["LoadBinary"] < kBinaryTargetMs ? "met" : "MISSED");
    }
    return 0;
}
