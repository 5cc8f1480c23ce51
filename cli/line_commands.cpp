// SPDX-License-Identifier: GPL-3.0-or-later
// line create, close, status and export: a job's chip, image and serial numbering kept
// in the line store for every station, and the line's results read back.
#include "cli/line_commands.h"

#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>

#include "app/messages.h"
#include "cli/input_file.h"
#include "cli/production_line.h"
#include "cli/run_session.h"
#include "line/store.h"

namespace cli {
namespace {

int fail(const Streams& s, const std::string& why, int status = kExitFailed) {
    std::fprintf(s.err, "chipwright-cli: %s\n", why.c_str());
    return status;
}

// The job as created from the command line: what is wrong with it, if anything.
std::string makeJob(const Options& o, line::Job& job, std::FILE* err) {
    catalogue::ChipDatabase db;
    catalogue::ChipRecord chip;
    if (!catalogue::loadDatabase(text(app::MsgDatabaseFile), db))
        return text(app::MsgDatabaseError);
    if (o.chip.empty() || !findChip(db, o.chip, chip))
        return "line create needs a chip of the database: -c CHIP";
    std::string said;
    if (loadJobImage(o.arguments[2], chip.capacity, job.image, &said) != kExitDone)
        return said;
    if (!said.empty())
        std::fprintf(err, "%s\n", said.c_str());
    job.name = o.arguments[1];
    job.chip = chip.nameText();
    job.sha256 = operations::checksumsOf(job.image).sha256;
    job.count = o.count;
    job.serialLast = std::numeric_limits<std::uint64_t>::max();  // no numbering: no end
    if (o.serial.empty())
        return "";
    std::string error;
    const std::optional<SerialNumbering> serial = parseSerial(o.serial, &error);
    if (!serial)
        return error;
    if (std::string problem = serialFitProblem(*serial, chip.capacity); !problem.empty())
        return problem;
    job.serial = o.serial;
    job.serialStart = serial->start;
    job.serialLast = serial->maximum();
    return "";
}

std::string percent(double share) {
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", share * 100);
    return text;
}

std::string tallyText(const line::Tally& t) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.1f", t.chipsPerHour());
    return "passed " + std::to_string(t.passed) + ", failed " + std::to_string(t.failed) +
           ", yield " + percent(t.yield()) + ", " + rate + " chips/hour";
}

void printStatus(const line::Status& st, const std::string& what, std::FILE* out) {
    std::fprintf(out, "%s: %s\n", what.c_str(), tallyText(st.total).c_str());
    if (st.serialsUsed) {
        std::fprintf(out, "serial numbers used: %llu to %llu\n",
                     static_cast<unsigned long long>(st.serialsUsed->first),
                     static_cast<unsigned long long>(st.serialsUsed->second));
    }
    std::fprintf(out, "chips in progress: %llu\n", static_cast<unsigned long long>(st.serialsHeld));
    for (const line::Tally& t : st.stations)
        std::fprintf(out, "station %s: %s\n", t.station.c_str(), tallyText(t).c_str());
    for (const auto& [cause, count] : st.causes)
        std::fprintf(out, "failure %s: %llu\n", cause.c_str(),
                     static_cast<unsigned long long>(count));
    for (const line::Attempt& a : st.lastFailures)
        std::fprintf(out, "last failure: %s\n", line::csvLine(a).c_str());
}

nlohmann::ordered_json tallyJson(const line::Tally& t) {
    return {{"station", t.station},
            {"passed", t.passed},
            {"failed", t.failed},
            {"yield", t.yield()},
            {"chipsPerHour", t.chipsPerHour()}};
}

void printStatusJson(const line::Status& st, std::FILE* out) {
    nlohmann::ordered_json j;
    j["total"] = tallyJson(st.total);
    j["stations"] = nlohmann::ordered_json::array();
    for (const line::Tally& t : st.stations)
        j["stations"].push_back(tallyJson(t));
    j["causes"] = nlohmann::ordered_json::array();
    for (const auto& [cause, count] : st.causes)
        j["causes"].push_back({{"cause", cause}, {"count", count}});
    if (st.serialsUsed)
        j["serialsUsed"] = {st.serialsUsed->first, st.serialsUsed->second};
    j["inProgress"] = st.serialsHeld;
    j["lastFailures"] = nlohmann::ordered_json::array();
    for (const line::Attempt& a : st.lastFailures)
        j["lastFailures"].push_back(line::csvLine(a));
    std::fprintf(out, "%s\n",
                 j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

int lineCommand(const Options& o, const Streams& s, line::Store& store) {
    const std::string& what = o.arguments[0];
    const std::optional<std::string> job = o.job.empty() ? std::nullopt : std::optional(o.job);
    if (what == "create") {
        line::Job made;
        if (std::string problem = makeJob(o, made, s.err); !problem.empty())
            return fail(s, problem, kExitUsage);
        made = store.createJob(made);
        std::fprintf(s.err, "job %s: %s, %zu bytes, sha256 %s\n", made.name.c_str(),
                     made.chip.c_str(), made.image.size(), made.sha256.c_str());
        return kExitDone;
    }
    if (what == "close")
        return store.closeJob(o.arguments[1]) ? kExitDone : fail(s, "no job " + o.arguments[1]);
    if (job && !store.loadJob(*job))
        return fail(s, "no job " + *job);
    if (what == "status") {
        const line::Status st = store.status(job);
        o.json ? printStatusJson(st, s.out) : printStatus(st, job ? "job " + *job : "line", s.out);
        return kExitDone;
    }
    std::fprintf(s.out, "%s\n", line::kCsvHeader);
    store.forEachAttempt(job, [&](const line::Attempt& a) {
        std::fprintf(s.out, "%s\n", line::csvLine(a).c_str());
    });
    return kExitDone;
}

// Each action and the arguments after it.
std::string usageProblem(const Options& o) {
    const std::string what = o.arguments.empty() ? "" : o.arguments[0];
    const std::size_t n = o.arguments.size();
    if (o.lineUrl.empty())
        return "line needs --line URL (sqlite:PATH or postgresql://...)";
    if (what == "create")
        return n == 3 ? "" : "line create JOB FILE";
    if (what == "close")
        return n == 2 ? "" : "line close JOB";
    if (what == "status" || what == "export")
        return n == 1 ? "" : "line " + what + " takes no arguments (--job JOB names one)";
    return "line create, close, status or export";
}

}  // namespace

int runLineCommand(const Options& o, const Streams& s) {
    if (const std::string problem = usageProblem(o); !problem.empty())
        return fail(s, problem + " (see --help)", kExitUsage);
    try {
        const std::unique_ptr<line::Store> store = line::Store::open(o.lineUrl);
        return lineCommand(o, s, *store);
    } catch (const line::StoreError& e) {
        return fail(s, e.what());
    }
}

}  // namespace cli
