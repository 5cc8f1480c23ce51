// SPDX-License-Identifier: GPL-3.0-or-later
// chipwright: the program. Finds its config.ini beside itself, builds the window over
// the real programmer (libusb) or, with --simulate, over the simulated one, and runs it.

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/messages.h"
#include "catalogue/chip_queries.h"
#include "link/libusb/libusb_bus.h"
#include "operations/workbench.h"
#include "sim/sim_bus.h"
#include "sim/sim_programmer.h"
#include "ui/main_window.h"
#include "ui/program_options.h"
#include "ui/screenshots.h"
#include "util/text_codec.h"

namespace {

constexpr int kUsageError = 2;
// The simulated programmer's chip erase takes about as long as a small flash's.
constexpr std::uint32_t kSimulatedEraseMs = 1500;

}  // namespace

int main(int argc, char** argv) try {
    // Qt takes its own options (-platform, -style, …) out of the arguments first.
    QApplication application(argc, argv);
    const ui::ProgramOptions options = ui::parseProgramOptions(
        std::vector<std::string>(argv + 1, argv + argc), std::getenv(ui::kSimulateVariable));
    if (!options.error.empty()) {
        std::fprintf(stderr, "chipwright: %s\n%s", options.error.c_str(), ui::kUsage);
        return kUsageError;
    }
    if (options.help) {
        std::fputs(ui::kUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("chipwright %s\n", CHIPWRIGHT_VERSION);
        return 0;
    }

    app::loadMessageTable(app::programDirectory());

    std::unique_ptr<usblink::UsbBus> bus;
    std::shared_ptr<sim::SimProgrammer> simulated;
    if (options.simulate) {
        simulated = std::make_shared<sim::SimProgrammer>();
        simulated->setThroughput(sim::kInteractiveThroughput);
        simulated->setEraseDurationMs(kSimulatedEraseMs);
        auto simBus = std::make_unique<sim::SimBus>();
        simBus->addProgrammer(simulated);
        bus = std::move(simBus);
    } else {
        bus = std::make_unique<usblink::LibusbBus>();
    }

    operations::Workbench bench(*bus);
    ui::MainWindow window(bench);
    if (simulated && options.simulatedChip.empty()) {
        // Without a named chip the socket holds a fresh, erased copy of the selected one.
        window.setChipListener(
            [simulated](const catalogue::ChipRecord& chip) { simulated->insertChip(chip); });
    }
    const operations::StartupResult started = window.start(options.files);
    if (started == operations::StartupResult::NoMemory)
        return EXIT_FAILURE;
    if (simulated && !options.simulatedChip.empty()) {
        // A chip named for the socket stays there whatever is selected, as on the bench;
        // it must be one the database (loaded by the start-up) knows.
        catalogue::ChipRecord chip;
        if (started != operations::StartupResult::Ready ||
            !catalogue::findByName(*bench.database, util::utf8ToGbk(options.simulatedChip), chip)) {
            std::fprintf(stderr, "chipwright: no chip named \"%s\" in the chip database\n",
                         options.simulatedChip.c_str());
            return kUsageError;
        }
        simulated->insertChip(chip);
    }
    window.show();
    if (!options.screenshots.empty())
        return ui::takeScreenshots(window, bench, simulated.get(), options.screenshots)
                   ? 0
                   : EXIT_FAILURE;
    return application.exec();
} catch (const std::exception& e) {
    // Whatever went wrong, the program says so and ends with a failure, never with an
    // abort that leaves a core and no explanation.
    std::fprintf(stderr, "chipwright: %s\n", e.what());
    return EXIT_FAILURE;
}
