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

namespace {

// A run whose output could not be written (a full disk, a reader that went away) did
// not do what was asked: it fails, unless it had failed already for a reason of its own.
int withOutputChecked(int status) {
    const bool outFailed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
    const bool errFailed = std::fflush(stderr) != 0 || std::ferror(stderr) != 0;
    if (!outFailed && !errFailed)
        return status;
    if (outFailed && !errFailed)
        std::fprintf(stderr, "chipwright-cli: cannot write to stdout\n");
    return status == cli::kExitDone ? cli::kExitFailed : status;
}

int runCommandLine(const std::vector<std::string>& args) {
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
    if (options->version) {
        std::printf("chipwright-cli %s\n", CHIPWRIGHT_VERSION);
        return cli::kExitDone;
    }
    app::loadMessageTable(app::programDirectory());
    cli::Streams streams;
    streams.outIsTerminal = isatty(STDOUT_FILENO) == 1;
    streams.errIsTerminal = isatty(STDERR_FILENO) == 1;
    streams.inIsTerminal = isatty(STDIN_FILENO) == 1;
    return cli::run(*options, streams);
}

}  // namespace

int main(int argc, char** argv) try {
    // Ignoring SIGPIPE first: even a refused command line's output may meet a closed pipe.
    cli::installInterruptHandler();
    return withOutputChecked(runCommandLine({argv + 1, argv + argc}));
} catch (const std::exception& e) {
    // Never an abort: the run failed, and says why.
    std::fprintf(stderr, "chipwright-cli: %s\n", e.what());
    return cli::kExitFailed;
}
