// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/program_options.h"

#include <string_view>

namespace ui {
namespace {

constexpr std::string_view kSimulate = "--simulate";
constexpr std::string_view kFollowSelected = "1";

void simulate(ProgramOptions& options, std::string_view chip) {
    options.simulate = true;
    options.simulatedChip = chip == kFollowSelected ? std::string() : std::string(chip);
}

}  // namespace

ProgramOptions parseProgramOptions(const std::vector<std::string>& arguments,
                                   const char* simulateVariable) {
    ProgramOptions options;
    if (simulateVariable && *simulateVariable)
        simulate(options, simulateVariable);
    bool onlyFiles = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const std::string_view a = argument;
        if (onlyFiles || a.empty() || a[0] != '-' || a == "-") {
            options.files.push_back(argument);
        } else if (a == "--") {
            onlyFiles = true;
        } else if (a == kSimulate) {
            simulate(options, "");
        } else if (a.substr(0, kSimulate.size() + 1) == std::string(kSimulate) + "=") {
            simulate(options, a.substr(kSimulate.size() + 1));
        } else if (a == "--help" || a == "-h") {
            options.help = true;
        } else if (a == "--version") {
            options.version = true;
        } else if (a == "--screenshot" && i + 1 < arguments.size() &&
                   arguments[i + 1].find('=') != std::string::npos) {
            const std::string& shot = arguments[++i];
            const std::size_t eq = shot.find('=');
            options.screenshots.emplace_back(shot.substr(0, eq), shot.substr(eq + 1));
        } else {
            options.error = "unknown option " + argument;
        }
    }
    return options;
}

}  // namespace ui
