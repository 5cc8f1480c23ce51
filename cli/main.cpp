// SPDX-License-Identifier: GPL-3.0-or-later
// chipwright-cli: every command of the programmer from a terminal or a script.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/messages.h"
#include "cli/interrupt.h"
#include "cli/options.h"
#include "cli/run.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    const std::optional<cli::Options> options = cli::parseOptions(args, &error);
    if (!options) {
        std::fprintf(stderr, "chipwright-cli: %s (see --help)\n", error.c_str());
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
}
