// SPDX-License-Identifier: GPL-3.0-or-later
// How long the window keeps a user waiting while it reads a chip: Read Chip of a 16 MB
// SPI flash (W25Q128JV from the shipped database) at the simulator's interactive pace
// (about 1 MB/s, some 17 s) in the real MainWindow on Qt's off-screen platform, while
// another thread posts an event to the window every 100 ms, stamped with the time it
// was posted. The read runs on the window thread, which handles events only when the
// command pumps them between its polls of the programmer; the delay between posting and
// handling is what a click made meanwhile waits. Target: under 50 ms.
//
// The posting thread stands in for the user: a timer of the window's own thread could
// fire only inside the pump it is meant to measure. The events go through the same
// queue of posted events as a click does.
//
// Counters: wait_median_ms, wait_max_ms, events (how many were posted and handled).
//
// Run: build/bin/responsiveness_bench (QT_QPA_PLATFORM defaults to offscreen here).

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/config.h"
#include "app/messages.h"
#include "bench/support/bench_support.h"
#include "operations/workbench.h"
#include "sim/sim_bus.h"
#include "sim/sim_programmer.h"
#include "ui/main_window.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kChipName = "W25Q128JV";
constexpr auto kPostInterval = std::chrono::milliseconds(100);

// An event that knows when it was posted.
class StampedEvent : public QEvent {
  public:
    static QEvent::Type type() {
        static const auto registered = static_cast<QEvent::Type>(QEvent::registerEventType());
        return registered;
    }
    StampedEvent() : QEvent(type()), posted(Clock::now()) {}
    const Clock::time_point posted;
};

// Keeps, for every stamped event the window handles, how long it waited.
class WaitRecorder : public QObject {
  public:
    std::vector<double> waitsMs;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == StampedEvent::type()) {
            const auto* stamped = static_cast<StampedEvent*>(event);
            waitsMs.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - stamped->posted).count());
            return true;
        }
        return QObject::eventFilter(watched, event);
    }
};

void postedEventWaitDuringRead(benchmark::State& state) {
    // The shipped config.ini and chip database in a folder of their own, with the 16 MB
    // chip as the default, so the window starts with it selected.
    const auto made = benchsupport::folderWithRuntimeFiles({"config.ini", "chips.cwdb"});
    if (!made) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::filesystem::path folder = *made;
    app::setDefaultChipName((folder / "config.ini").string(), kChipName);
    app::loadMessageTable(folder.string() + "/");

    auto device = std::make_shared<sim::SimProgrammer>();
    device->setThroughput(sim::kInteractiveThroughput);
    sim::SimBus bus;
    bus.addProgrammer(device);
    {
        operations::Workbench bench(bus);
        ui::MainWindow window(bench);
        // The socket holds a fresh copy of the selected chip, as in simulate mode.
        window.setChipListener(
            [device](const catalogue::ChipRecord& chip) { device->insertChip(chip); });
        if (window.start({}) != operations::StartupResult::Ready ||
            bench.chip.nameText() != kChipName) {
            state.SkipWithError("the window did not start with the 16 MB chip");
        } else {
            window.show();
            QApplication::processEvents();

            // A message box would wait for a click no one makes: close it and fail.
            int boxes = 0;
            QTimer closer;
            QObject::connect(&closer, &QTimer::timeout, [&boxes] {
                if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                    ++boxes;
                    box->accept();
                }
            });
            closer.start(50);

            WaitRecorder recorder;
            window.installEventFilter(&recorder);
            for (auto _ : state) {
                std::atomic<bool> reading{true};
                std::thread user([&window, &reading] {
                    auto next = Clock::now() + kPostInterval;
                    while (reading) {
                        std::this_thread::sleep_until(next);
                        next += kPostInterval;
                        if (reading)
                            QCoreApplication::postEvent(&window, new StampedEvent);
                    }
                });
                window.runCommand(ui::CmdRead);
                reading = false;
                user.join();
                // Events posted at the very end are handled here, after the read.
                QApplication::processEvents();
            }
            window.removeEventFilter(&recorder);
            const std::string status = window.statusLine()->text().toStdString();
            if (boxes > 0 || status != app::messageText(app::MsgReadChipOk))
                state.SkipWithError(("the read did not end well: " + status).c_str());
            const auto& waits = recorder.waitsMs;
            state.counters["wait_median_ms"] = benchsupport::median(waits);
            state.counters["wait_max_ms"] =
                waits.empty() ? 0 : *std::max_element(waits.begin(), waits.end());
            state.counters["events"] = static_cast<double>(waits.size());
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

}  // namespace

BENCHMARK(postedEventWaitDuringRead)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
