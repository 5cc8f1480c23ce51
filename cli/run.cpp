// SPDX-License-Identifier: GPL-3.0-or-later
// The command line checked against its command, and the command chosen; the helpers
// every part of a run shares.
#include "cli/run.h"

#include <algorithm>

#include "app/messages.h"
#include "catalogue/chip_queries.h"
#include "cli/doctor.h"
#include "cli/interrupt.h"
#include "cli/line_commands.h"
#include "cli/line_station.h"
#include "cli/production_line.h"
#include "cli/run_session.h"
#include "util/text_codec.h"

namespace cli {

using operations::Outcome;

std::string text(int key) {
    return app::messageText(key);
}

std::string upperAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

bool findChip(const catalogue::ChipDatabase& db, const std::string& name,
              catalogue::ChipRecord& out) {
    return catalogue::findByName(db, util::utf8ToGbk(name), out) ||
           catalogue::findByName(db, util::utf8ToGbk(upperAscii(name)), out);
}

std::optional<int> typeKeyFor(const std::string& type) {
    const std::string t = upperAscii(type);
    if (t.empty())
        return catalogue::AnyType;
    if (t == "SPI" || t == "SPI FLASH")
        return catalogue::SpiFlash;
    if (t == "24" || t == "24 EEPROM")
        return catalogue::Eeprom24;
    if (t == "25" || t == "25 EEPROM")
        return catalogue::Eeprom25;
    if (t == "93" || t == "93 EEPROM")
        return catalogue::Eeprom93;
    return std::nullopt;
}

int statusFor(Outcome outcome) {
    switch (outcome) {
        case Outcome::Done:
            return kExitDone;
        case Outcome::Mismatch:
            return kExitMismatch;
        case Outcome::NoProgrammer:
            return kExitNoProgrammer;
        case Outcome::Cancelled:
            return interruptRequested() ? interruptStatus() : kExitFailed;
        case Outcome::Failed:
        case Outcome::Busy:
        case Outcome::Skipped:
            return kExitFailed;
    }
    return kExitFailed;
}

const char* resultFor(Outcome outcome) {
    switch (outcome) {
        case Outcome::Done:
            return "done";
        case Outcome::Failed:
            return "failed";
        case Outcome::Mismatch:
            return "mismatch";
        case Outcome::Busy:
            return "busy";
        case Outcome::NoProgrammer:
            return "no-programmer";
        case Outcome::Cancelled:
            return interruptRequested() ? "interrupted" : "cancelled";
        case Outcome::Skipped:
            return "skipped";
    }
    return "failed";
}

namespace {

// The number of arguments each command takes, as [least, most].
std::optional<std::pair<std::size_t, std::size_t>> argumentCount(const std::string& command) {
    if (command == "chips")
        return std::pair<std::size_t, std::size_t>{0, 1};
    if (command == "info" || command == "read" || command == "write" || command == "verify" ||
        command == "auto" || command == "update-firmware") {
        return std::pair<std::size_t, std::size_t>{1, 1};
    }
    if (command == "detect" || command == "erase" || command == "version" ||
        command == "selftest" || command == "blank-check" || command == "doctor") {
        return std::pair<std::size_t, std::size_t>{0, 0};
    }
    if (command == "line")  // ACTION [JOB [FILE]], checked by the action
        return std::pair<std::size_t, std::size_t>{1, 3};
    return std::nullopt;
}

}  // namespace

Run::Run(const Options& options, const Streams& streams)
    : o_(options),
      s_(streams),
      ui_(streams.err, streams.in,
          TerminalSettings{.progressBar = streams.errIsTerminal && !options.quiet && !options.json,
                           .quiet = options.quiet,
                           .yes = options.yes,
                           .interactive = streams.inIsTerminal}),
      bench_(options, ui_, report_) {
    report_.command = options.command;
    report_.simulated = options.simulate;
}

int Run::finish(int status, const std::string& result) {
    ui_.endProgress();
    report_.exitStatus = status;
    report_.result = result;
    // A text shown both as the status line and in a box (the firmware version) is one
    // message.
    report_.messages.clear();
    for (auto line = ui_.shown().begin() + static_cast<std::ptrdiff_t>(messagesFrom_);
         line != ui_.shown().end(); ++line) {
        if (std::find(report_.messages.begin(), report_.messages.end(), *line) ==
            report_.messages.end())
            report_.messages.push_back(*line);
    }
    printReport();
    return status;
}

int Run::usage(const std::string& why) {
    ui_.note("chipwright-cli: " + why + " (see --help)");
    return finish(kExitUsage, "usage");
}

int Run::execute() {
    if (const auto problem = commandLineProblem())
        return usage(*problem);
    if (o_.command == "doctor")
        return runDoctor(o_, s_);
    if (o_.command == "line")
        return runLineCommand(o_, s_);

    if (o_.command == "chips" || o_.command == "info") {
        catalogue::ChipDatabase db;
        if (!catalogue::loadDatabase(text(app::MsgDatabaseFile), db)) {
            ui_.showMessage(text(app::MsgDatabaseError));
            return finish(kExitFailed, "failed");
        }
        return o_.command == "chips" ? listChips(db) : showChip(db);
    }
    return withProgrammer();
}

std::optional<std::string> Run::commandLineProblem() {
    if (!o_.language.empty()) {
        const std::string l = upperAscii(o_.language);
        if (l == "EN" || l == "ENGLISH")
            app::useLanguage(app::kLanguageEnglish);
        else if (l == "ZH" || l == "SIMPLECHINESE")
            app::useLanguage(app::kLanguageChinese);
        else
            return "unknown language " + o_.language + " (English or SimpleChinese)";
    }
    if (o_.command.empty())
        return "no command given";
    if (!o_.arguments.empty() && o_.command != "chips" && o_.command != "info")
        report_.file = o_.arguments[0];
    const auto counts = argumentCount(o_.command);
    if (!counts)
        return "unknown command " + o_.command;
    if (o_.arguments.size() < counts->first || o_.arguments.size() > counts->second)
        return "wrong number of arguments for " + o_.command;
    if (o_.all && o_.command != "verify")
        return "--all is for verify";
    if (const std::string why = benchUsageError(o_); !why.empty())
        return why;
    if (!typeKeyFor(o_.type))
        return "unknown chip type " + o_.type + " (spi, 24, 25 or 93)";
    const bool chipCommand = o_.command == "read" || o_.command == "write" ||
                             o_.command == "verify" || o_.command == "auto" ||
                             o_.command == "erase";
    if (o_.repeat && (!chipCommand || o_.command == "read"))
        return "--repeat is for write, verify, auto and erase";
    if (!o_.reportFile.empty() && !chipCommand)
        return "--report is for read, write, verify, auto and erase";
    // A verify station takes the job's numbering to read each chip's number.
    const bool verifyStation = o_.command == "verify" && !o_.job.empty();
    if (!o_.serial.empty() && o_.command != "write" && o_.command != "auto" &&
        o_.command != "line" && !verifyStation)
        return "--serial is for write and auto";
    // A patch is written over the chip's own bytes as read, which would cover the number.
    if (!o_.serial.empty() && o_.offset)
        return "--serial is not for write --offset; put the number into the patch file";
    if (o_.command == "read" && o_.arguments[0] == "-" && s_.outIsTerminal)
        return "read - writes the chip's bytes to stdout, which is a terminal; send it to a "
               "file or a pipe";
    // stdin gives the file, so Enter cannot be read from it between chips.
    const bool fromStdin = o_.command != "read" && !o_.arguments.empty() && o_.arguments[0] == "-";
    if (fromStdin && o_.repeat && !o_.nextOnId)
        return "a file from stdin (-) takes --repeat only with --next-on-id";
    // A wrong firmware file can leave the programmer dead: nothing replaces it unasked.
    if (o_.command == "update-firmware" && !s_.inIsTerminal && !o_.yes)
        return "update-firmware replaces the programmer's firmware; without a terminal to "
               "ask on, confirm it with --yes";
    return std::nullopt;
}

int run(const Options& options, const Streams& streams) {
    if (!options.lineUrl.empty() && options.command != "line")
        return runStation(options, streams);
    Run r(options, streams);
    return r.execute();
}

}  // namespace cli
