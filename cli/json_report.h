// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The run as one JSON object, for --json. The field names are part of the command line's
// interface (docs/cli-json.md, docs/cli-json.schema.json): fields are added, never
// renamed or removed.

#include <nlohmann/json.hpp>

#include <string>

#include "cli/run.h"

namespace cli {

// The report's fields; a command with fields of its own (doctor) adds them.
nlohmann::ordered_json reportObject(const Report& report);
// The object on one line.
std::string jsonText(const nlohmann::ordered_json& object);
std::string jsonReport(const Report& report);

}  // namespace cli
