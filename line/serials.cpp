// SPDX-License-Identifier: GPL-3.0-or-later
// Serial numbers handed out to stations and the attempts they record. Every change
// happens in one transaction with the job's row locked, so two stations never get the
// same number, and a number is used only by a chip that passed and was recorded.
#include <chrono>
#include <optional>

#include "line/connection.h"
#include "line/store.h"
#include "line/store_sql.h"

namespace line {
namespace {

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Where a job stands: its row (locked in a transaction that reserves) and its numbers.
struct Standing {
    bool closed = false;
    std::optional<std::int64_t> count;
    std::int64_t start = 0, last = 0;
    std::int64_t used = 0, held = 0;
    std::optional<std::int64_t> lowestFree, highest;

    // What a reservation would get now; Number when one may be handed out.
    Reserved state() const {
        if (closed)
            return Reserved::Closed;
        if (count && used >= *count)
            return Reserved::Complete;
        if (count && used + held >= *count)
            return Reserved::InProgress;
        if (!lowestFree && next() > last)
            return Reserved::Exhausted;
        return Reserved::Number;
    }
    std::int64_t next() const { return lowestFree ? *lowestFree : highest ? *highest + 1 : start; }
};

Standing standingOf(Connection& c, const Job& job, bool lock) {
    const std::vector<Row> jobRow = c.query(
        std::string("SELECT closed, chip_count, serial_start, serial_last FROM jobs WHERE id = ?") +
            (lock ? c.dialect().forUpdate : ""),
        {job.id});
    if (jobRow.empty())
        throw StoreError("the job " + job.name + " is no longer in the line store");
    const Row n = c.query(
        "SELECT SUM(CASE WHEN state = 'used' THEN 1 ELSE 0 END), SUM(CASE WHEN state = 'held' "
        "THEN 1 ELSE 0 END), MIN(CASE WHEN state = 'free' THEN number END), MAX(number) FROM "
        "serials WHERE job_id = ?",
        {job.id})[0];
    Standing s;
    s.closed = integer(jobRow[0][0]) != 0;
    if (jobRow[0][1])
        s.count = integer(jobRow[0][1]);
    s.start = integer(jobRow[0][2]);
    s.last = integer(jobRow[0][3]);
    s.used = integer(n[0]);
    s.held = integer(n[1]);
    if (n[2])
        s.lowestFree = integer(n[2]);
    if (n[3])
        s.highest = integer(n[3]);
    return s;
}

}  // namespace

Reservation Store::reserve(const Job& job, const std::string& station) {
    Transaction t(*c_);
    const Standing s = standingOf(*c_, job, true);
    if (const Reserved state = s.state(); state != Reserved::Number)
        return {state, 0};
    const std::int64_t number = s.next();
    if (s.lowestFree) {
        c_->query(
            "UPDATE serials SET state = 'held', station = ?, since_ms = ? WHERE job_id = ? "
            "AND number = ?",
            {station, nowMs(), job.id, number});
    } else {
        c_->query(
            "INSERT INTO serials (job_id, number, state, station, since_ms) VALUES (?, ?, "
            "'held', ?, ?)",
            {job.id, number, station, nowMs()});
    }
    t.commit();
    return {Reserved::Number, static_cast<std::uint64_t>(number)};
}

Reserved Store::outlook(const Job& job) {
    return standingOf(*c_, job, false).state();
}

void Store::giveBack(const Job& job, std::uint64_t number) {
    c_->query(
        "UPDATE serials SET state = 'free', station = NULL WHERE job_id = ? AND number = ? "
        "AND state = 'held'",
        {job.id, static_cast<std::int64_t>(number)});
}

void Store::giveBackHeld(const Job& job, const std::string& station) {
    c_->query(
        "UPDATE serials SET state = 'free', station = NULL WHERE job_id = ? AND station = ? "
        "AND state = 'held'",
        {job.id, station});
}

void Store::record(const Attempt& a, std::optional<std::uint64_t> held) {
    recordAttempt(a, held, false);
}

bool Store::recordOnce(const Attempt& a, std::optional<std::uint64_t> held) {
    return recordAttempt(a, held, true);
}

bool Store::recordAttempt(const Attempt& a, std::optional<std::uint64_t> held, bool once) {
    Transaction t(*c_);
    const std::vector<Row> job = c_->query("SELECT id FROM jobs WHERE name = ?", {a.job});
    if (job.empty())
        throw StoreError("the job " + a.job + " is no longer in the line store");
    const std::int64_t jobId = integer(job[0][0]);
    // A row sent again (its first sending reached the store, its answer did not) is
    // known by its station, time and serial number.
    const bool known =
        once && !c_->query(
                       "SELECT 1 FROM results WHERE job_id = ? AND station = ? AND at_ms = ? "
                       "AND serial = ? AND result = ?",
                       {jobId, a.station, a.atMs, a.serial, a.result})
                     .empty();
    if (!known) {
        c_->query(
            "INSERT INTO results (at_ms, station, place, job_id, chip, command, result, sha256, "
            "diagnosis, serial, seconds) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            {a.atMs, a.station, a.place, jobId, a.chip, a.command, a.result, a.sha256, a.diagnosis,
             a.serial, a.seconds});
    }
    if (held) {
        c_->query(std::string("UPDATE serials SET state = ") +
                      (a.result == "done" ? "'used'" : "'free', station = NULL") +
                      " WHERE job_id = ? AND number = ? AND state = 'held'",
                  {jobId, static_cast<std::int64_t>(*held)});
    }
    t.commit();
    return !known;
}

}  // namespace line
