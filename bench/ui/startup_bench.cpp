// SPDX-License-Identifier: GPL-3.0-or-later
// The program's start-up: from starting a process to its first painted window, with the
// shipped chip database (about 600 chips) and config.ini, in simulate mode, and the
// resident memory once the window is up. Targets: under 400 ms and under 80 MiB.
//
// Each iteration starts this program again as a child process on Qt's off-screen
// platform (no X server: what is timed is the program's own work, not a display's),
// where it runs main()'s start-up in simulate mode: QApplication, the message table,
// the simulated programmer, the workbench, the window, its start-up sequence (database,
// buffer, default chip, programmer) and show(), until the window's first paint has been
// flushed. The child reports when that happened and its VmRSS; the parent measures from
// just before it spawned the child, so process creation, dynamic loading and Qt's own
// start count too.
//
// Counters: startup_ms (the median; the benchmark's own time is the same per iteration),
// startup_max_ms, in_process_ms (from main() to the paint, the median), rss_mib (the
// largest VmRSS seen), bare_qt_ms (the median of a bare Qt main window with one menu,
// started alternately with ours) and ratio_to_bare (target: at most 1.5).
//
// Run: build/bin/startup_bench, or on an X server: xvfb-run -a build/bin/startup_bench

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QMainWindow>
#include <QMenuBar>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/messages.h"
#include "bench/support/bench_support.h"
#include "operations/workbench.h"
#include "sim/sim_bus.h"
#include "sim/sim_programmer.h"
#include "ui/main_window.h"

extern char** environ;

namespace {

// Runs the child's part: chipwright-like start-up in the given folder.
constexpr const char* kChildOption = "--start-once";
// Runs the yardstick's part: a bare Qt main window with one menu.
constexpr const char* kBareOption = "--bare-once";
constexpr std::uint32_t kSimulatedEraseMs = 1500;
constexpr int kPaintLimitMs = 10000;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// VmRSS of this process in KiB.
long residentKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// Ends `loop` once any widget of `window` has been painted; the quit is queued, so the
// repaint that painted it flushes the window first.
class FirstPaint : public QObject {
  public:
    FirstPaint(QWidget& window, QEventLoop& loop) : window_(window), loop_(loop) {}
    bool painted = false;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!painted && event->type() == QEvent::Paint) {
            auto* widget = qobject_cast<QWidget*>(watched);
            if (widget != nullptr && widget->window() == &window_) {
                painted = true;
                QTimer::singleShot(0, &loop_, &QEventLoop::quit);
            }
        }
        return false;
    }

  private:
    QWidget& window_;
    QEventLoop& loop_;
};

// Shows `window` and waits for its first paint; prints "<paint time, ns of the steady
// clock> <in-process ns> <VmRSS KiB>" on stdout.
int showAndReport(QApplication& application, QWidget& window, std::int64_t entered) {
    QEventLoop loop;
    FirstPaint watch(window, loop);
    application.installEventFilter(&watch);
    QTimer::singleShot(kPaintLimitMs, &loop, &QEventLoop::quit);
    window.show();
    loop.exec();
    const std::int64_t painted = nowNs();
    if (!watch.painted)
        return 1;
    std::printf("%lld %lld %ld\n", static_cast<long long>(painted),
                static_cast<long long>(painted - entered), residentKib());
    return 0;
}

// The child: start-up as chipwright --simulate runs it. Prints "<paint time, ns of the
// steady clock> <in-process ns> <VmRSS KiB>" on stdout.
int startOnce(int argc, char** argv, const std::string& folder) {
    const std::int64_t entered = nowNs();
    QApplication application(argc, argv);
    app::loadMessageTable(folder);
    auto simulated = std::make_shared<sim::SimProgrammer>();
    simulated->setThroughput(sim::kInteractiveThroughput);
    simulated->setEraseDurationMs(kSimulatedEraseMs);
    sim::SimBus bus;
    bus.addProgrammer(simulated);
    operations::Workbench bench(bus);
    ui::MainWindow window(bench);
    window.setChipListener(
        [simulated](const catalogue::ChipRecord& chip) { simulated->insertChip(chip); });
    if (window.start({}) != operations::StartupResult::Ready)
        return 1;

    return showAndReport(application, window, entered);
}

// The yardstick: a bare Qt main window with one menu, started and painted the same way
// on the same display, so a ratio says what the program's own start-up adds.
int startBareOnce(int argc, char** argv) {
    const std::int64_t entered = nowNs();
    QApplication application(argc, argv);
    QMainWindow window;
    window.menuBar()->addMenu(QStringLiteral("File"))->addAction(QStringLiteral("Quit"));
    window.resize(800, 600);
    return showAndReport(application, window, entered);
}

struct ChildReport {
    bool ok = false;
    double startupMs = 0;
    double inProcessMs = 0;
    double rssMib = 0;
};

// Starts this program as the child (`option`: ours or the bare window) in `folder` and
// reads its report.
ChildReport runChild(const char* childOption, const std::string& folder) {
    int out[2];
    if (pipe(out) != 0)
        return {};
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string option = childOption;
    std::string where = folder;
    char* argv[] = {self.data(), option.data(), where.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::int64_t spawned = nowNs();
    pid_t child = -1;
    const int failed = posix_spawn(&child, self.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char chunk[256];
    ssize_t got = 0;
    while (failed == 0 && (got = read(out[0], chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(got));
    close(out[0]);
    int status = 0;
    if (failed != 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return {};
    long long painted = 0, inProcess = 0;
    long rss = 0;
    std::istringstream fields(text);
    if (!(fields >> painted >> inProcess >> rss))
        return {};
    return {true, static_cast<double>(painted - spawned) / 1e6,
            static_cast<double>(inProcess) / 1e6, static_cast<double>(rss) / 1024};
}

void startupToFirstPaint(benchmark::State& state) {
    // The shipped config.ini and chip database, copied: start-up writes the default chip
    // back to config.ini and logs beside it.
    const auto made = benchsupport::folderWithRuntimeFiles({"config.ini", "chips.cwdb"});
    if (!made) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::filesystem::path folder = *made;
    // With an X server (run under xvfb-run) both windows are mapped on it; without one,
    // Qt's off-screen platform times the programs' own work.
    if (std::getenv("DISPLAY") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);

    std::vector<double> startup, inProcess, bare;
    double rss = 0;
    for (auto _ : state) {
        // Alternating with the bare window: a noisy machine slows both alike.
        const ChildReport report = runChild(kChildOption, folder.string() + "/");
        const ChildReport yardstick = runChild(kBareOption, folder.string() + "/");
        if (!report.ok || !yardstick.ok) {
            state.SkipWithError("a child did not paint its window");
            break;
        }
        state.SetIterationTime(report.startupMs / 1e3);
        startup.push_back(report.startupMs);
        inProcess.push_back(report.inProcessMs);
        bare.push_back(yardstick.startupMs);
        rss = std::max(rss, report.rssMib);
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    state.counters["startup_ms"] = benchsupport::median(startup);
    state.counters["startup_max_ms"] =
        startup.empty() ? 0 : *std::max_element(startup.begin(), startup.end());
    state.counters["in_process_ms"] = benchsupport::median(inProcess);
    state.counters["rss_mib"] = rss;
    state.counters["bare_qt_ms"] = benchsupport::median(bare);
    state.counters["ratio_to_bare"] =
        bare.empty() ? 0 : benchsupport::median(startup) / benchsupport::median(bare);
}

}  // namespace

BENCHMARK(startupToFirstPaint)->Iterations(11)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], kChildOption) == 0)
        return startOnce(argc, argv, argv[2]);
    if (argc == 3 && std::strcmp(argv[1], kBareOption) == 0)
        return startBareOnce(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
