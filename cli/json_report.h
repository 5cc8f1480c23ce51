// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The run as one JSON object, for --json. The field names are part of the command line's
// interface (README, "Command line"): fields are added, never renamed or removed.

#include <string>

#include "cli/run.h"

namespace cli {

std::string jsonReport(const Report& report);

}  // namespace cli
