// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// `chipwright-cli line create|close|status|export`: the jobs of a production line in
// its line store (--line URL), and what its stations did.

#include "cli/options.h"
#include "cli/run.h"

namespace cli {

int runLineCommand(const Options& options, const Streams& streams);

}  // namespace cli
