// SPDX-License-Identifier: GPL-3.0-or-later
// Serial numbers handed out to stations and the attempts they record. Every change
// happens in one transaction with the job's row locked, so two stations never get the
// same number, and a number is used only by a chip that passed and was recorded.
#include <chrono>

#include "line/connection.h"
#include "line/store.h"
#include "line/store_sql.h"

namespace line {
namespace {

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

Reservation Store::reserve(const Job& job, const std::string& station) {
    Transaction t(*c_);
    const std::vector<Row> jobRow =
        c_->query(std::string("SELECT closed, chip_count, serial_start, serial_last FROM jobs "
                              "WHERE id = ?") +
                      c_->dialect().forUpdate,
                  {job.id});
    if (jobRow.empty())
        throw StoreError("the job " + job.name + " is no longer in the line store");
    if (integer(jobRow[0][0]) != 0)
        return {Reserved::Closed, 0};
    const Row n = c_->query(
        "SELECT SUM(CASE WHEN state = 'used' THEN 1 ELSE 0 END), SUM(CASE WHEN state = 'held' "
        "THEN 1 ELSE 0 END), MIN(CASE WHEN state = 'free' THEN number END), MAX(number) FROM "
        "serials WHERE job_id = ?",
        {job.id})[0];
    const std::int64_t used = integer(n[0]);
    const std::int64_t held = integer(n[1]);
    if (jobRow[0][1]) {
        const std::int64_t count = integer(jobRow[0][1]);
        if (used >= count)
            return {Reserved::Complete, 0};
        if (used + held >= count)
            return {Reserved::InProgress, 0};
    }
    std::int64_t number = 0;
    if (n[2]) {
        number = integer(n[2]);
        c_->query(
            "UPDATE serials SET state = 'held', station = ?, since_ms = ? WHERE job_id = ? "
            "AND number = ?",
            {station, nowMs(), job.id, number});
    } else {
        number = n[3] ? integer(n[3]) + 1 : integer(jobRow[0][2]);
        if (number > integer(jobRow[0][3]))
            return {Reserved::Exhausted, 0};
        c_->query(
            "INSERT INTO serials (job_id, number, state, station, since_ms) VALUES (?, ?, "
            "'held', ?, ?)",
            {job.id, number, station, nowMs()});
    }
    t.commit();
    return {Reserved::Number, static_cast<std::uint64_t>(number)};
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
