// SPDX-License-Identifier: GPL-3.0-or-later
// chipwright-cli: every command of the programmer from a terminal or a script.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/messages.h"
#include "cli/interrupt.h"
#include "cli/json_report.h"
#include "cli/options.h"
#include "cli/run.h"

int main(int argc, char** argv) try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    const std::optional<cli::Options> options = cli::parseOptions(args, &error);
    if (!options) {
        const std::string line = "chipwright-cli: " + error + " (see --help)";
        std::fprintf(stderr, "%s\n", line.c_str());
        // A script that asked for JSON gets its object for a refused command line too.
        if (std::find(args.begin(), args.end(), "--json") != args.end()) {
            cli::Report report;
            report.result = "usage";
            report.exitStatus = cli::kExitUsage;
            report.messages = {line};
            std::printf("%s\n", cli::jsonReport(report).c_str());
        }
        return cli::kExitUsage;
    }
    if (options->help) {
        std::fputs(cli::helpText().c_str(), stdout);
        return cli::kExitDone;
    }
    app::loadMessageTable(app::programDirectory());
    cli::installInterruptHandler();
    cli::Streams streams;
    streams.errIsTerminal = isatty(STDERR_FILENO) == 1;
    streams.inIsTerminal = isatty(STDIN_FILENO) == 1;
    return cli::run(*options, streams);
} catch (const std::exception& e) {
    // Never an abort: the run failed, and says why.
    std::fprintf(stderr, "chipwright-cli: %s\n", e.what());
    return cli::kExitFailed;
}
