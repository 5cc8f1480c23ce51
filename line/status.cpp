// SPDX-License-Identifier: GPL-3.0-or-later
// What the line did: counts per station and in total, failure causes, the serial
// numbers used, and every attempt as CSV.
#include <ctime>

#include "line/connection.h"
#include "line/store.h"
#include "line/store_sql.h"

namespace line {
namespace {

constexpr double kMsPerHour = 3'600'000.0;

// The WHERE clause of a status query: every job, or the one named.
std::string jobFilter(const std::optional<std::string>& job, std::vector<Value>& params) {
    if (!job)
        return " WHERE 1 = 1";
    params.emplace_back(*job);
    return " WHERE job_id = (SELECT id FROM jobs WHERE name = ?)";
}

std::vector<Row> query(Connection& c, const std::string& head, const std::string& tail,
                       const std::optional<std::string>& job) {
    std::vector<Value> params;
    const std::string where = jobFilter(job, params);
    return c.query(head + where + tail, params);
}

Tally tallyOf(const Row& r) {
    Tally t;
    t.station = text(r[0]);
    t.passed = static_cast<std::uint64_t>(integer(r[1]));
    t.failed = static_cast<std::uint64_t>(integer(r[2]));
    t.firstMs = integer(r[3]);
    t.lastMs = integer(r[4]);
    return t;
}

const char* kTallyColumns =
    ", SUM(CASE WHEN result = 'done' THEN 1 ELSE 0 END), SUM(CASE WHEN result <> 'done' THEN 1 "
    "ELSE 0 END), MIN(at_ms), MAX(at_ms) FROM results";

const char* kAttemptColumns =
    "SELECT at_ms, station, place, (SELECT name FROM jobs WHERE jobs.id = job_id), chip, "
    "command, result, sha256, diagnosis, serial, seconds FROM results";

Attempt attemptOf(const Row& r) {
    Attempt a;
    a.atMs = integer(r[0]);
    a.station = text(r[1]);
    a.place = text(r[2]);
    a.job = text(r[3]);
    a.chip = text(r[4]);
    a.command = text(r[5]);
    a.result = text(r[6]);
    a.sha256 = text(r[7]);
    a.diagnosis = text(r[8]);
    a.serial = text(r[9]);
    a.seconds = real(r[10]);
    return a;
}

std::string quoted(const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos)
        return field;
    std::string out = "\"";
    for (char ch : field)
        out += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return out + "\"";
}

}  // namespace

double Tally::yield() const {
    const std::uint64_t attempts = passed + failed;
    return attempts ? static_cast<double>(passed) / static_cast<double>(attempts) : 0;
}

double Tally::chipsPerHour() const {
    const std::int64_t span = lastMs - firstMs;
    return span > 0 ? static_cast<double>(passed + failed) * kMsPerHour / static_cast<double>(span)
                    : 0;
}

Status Store::status(const std::optional<std::string>& job) {
    Status s;
    // The total counts chips programmed; a verify station's checks of them count only
    // at that station.
    s.total = tallyOf(
        query(*c_, std::string("SELECT ''") + kTallyColumns, " AND command <> 'verify'", job)[0]);
    for (const Row& r : query(*c_, std::string("SELECT station") + kTallyColumns,
                              " GROUP BY station ORDER BY station", job))
        s.stations.push_back(tallyOf(r));
    for (const Row& r : query(*c_,
                              "SELECT COALESCE(NULLIF(diagnosis, ''), result) AS cause, COUNT(*) "
                              "FROM results",
                              " AND result <> 'done' GROUP BY cause ORDER BY 2 DESC, 1", job))
        s.causes.emplace_back(text(r[0]), static_cast<std::uint64_t>(integer(r[1])));
    const Row serials = query(*c_,
                              "SELECT MIN(CASE WHEN state = 'used' THEN number END), MAX(CASE "
                              "WHEN state = 'used' THEN number END), SUM(CASE WHEN state = "
                              "'held' THEN 1 ELSE 0 END) FROM serials",
                              "", job)[0];
    if (serials[0]) {
        s.serialsUsed.emplace(static_cast<std::uint64_t>(integer(serials[0])),
                              static_cast<std::uint64_t>(integer(serials[1])));
    }
    s.serialsHeld = static_cast<std::uint64_t>(integer(serials[2]));
    for (const Row& r : query(
             *c_, kAttemptColumns,
             " AND result <> 'done' ORDER BY id DESC LIMIT " + std::to_string(kLastFailures), job))
        s.lastFailures.push_back(attemptOf(r));
    return s;
}

void Store::forEachAttempt(const std::optional<std::string>& job,
                           const std::function<void(const Attempt&)>& each) {
    for (const Row& r : query(*c_, kAttemptColumns, " ORDER BY id", job))
        each(attemptOf(r));
}

std::string isoUtc(std::int64_t ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string csvLine(const Attempt& a) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", a.seconds);
    std::string out;
    for (const std::string& field : {isoUtc(a.atMs), a.station, a.place, a.job, a.chip, a.command,
                                     a.result, a.sha256, a.diagnosis, a.serial})
        out += quoted(field) + ",";
    return out + seconds;
}

}  // namespace line
