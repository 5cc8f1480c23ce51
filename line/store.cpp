// SPDX-License-Identifier: GPL-3.0-or-later
// Opening a store, its schema, jobs, serial numbers and result rows.
#include "line/store.h"

#include <chrono>
#include <limits>

#include "line/connection.h"
#include "line/store_sql.h"

namespace line {
namespace {

// The schema, one entry per version: what takes a store from the version before to it.
// Only ever appended to; a store records the version it is at.
std::vector<std::string> migrationTo(int version, const Dialect& d) {
    const std::string id = d.idColumn;
    if (version == 1) {
        return {
            "CREATE TABLE jobs (id " + id +
                ", name TEXT NOT NULL UNIQUE, chip TEXT NOT NULL, image " + d.blobType +
                " NOT NULL, sha256 TEXT NOT NULL, serial TEXT NOT NULL, serial_start BIGINT "
                "NOT NULL, serial_last BIGINT NOT NULL, chip_count BIGINT, closed INTEGER NOT "
                "NULL DEFAULT 0, created_ms BIGINT NOT NULL)",
            // state: held (a chip in progress), used (a chip passed), free (given back).
            "CREATE TABLE serials (job_id BIGINT NOT NULL REFERENCES jobs(id), number BIGINT "
            "NOT NULL, state TEXT NOT NULL, station TEXT, since_ms BIGINT, PRIMARY KEY "
            "(job_id, number))",
            "CREATE TABLE results (id " + id +
                ", at_ms BIGINT NOT NULL, station TEXT NOT NULL, place TEXT NOT NULL, job_id "
                "BIGINT NOT NULL REFERENCES jobs(id), chip TEXT NOT NULL, command TEXT NOT "
                "NULL, result TEXT NOT NULL, sha256 TEXT NOT NULL, diagnosis TEXT NOT NULL, "
                "serial TEXT NOT NULL, seconds DOUBLE PRECISION NOT NULL)",
            "CREATE INDEX results_by_job ON results (job_id, id)",
        };
    }
    return {};
}

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::int64_t asStored(std::uint64_t n) {
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::int64_t>(n < kMax ? n : kMax);
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

}  // namespace

Transaction::~Transaction() {
    if (done_)
        return;
    try {
        c_.query("ROLLBACK", {});
    } catch (const StoreError&) {
        // The connection is gone; the database rolls back by itself.
    }
}

void Transaction::commit() {
    c_.query("COMMIT", {});
    done_ = true;
}

std::int64_t integer(const std::optional<std::string>& column) {
    return column ? std::stoll(*column) : 0;
}

double real(const std::optional<std::string>& column) {
    return column ? std::stod(*column) : 0;
}

std::unique_ptr<Store> Store::open(const std::string& url) {
    std::unique_ptr<Connection> c;
    if (startsWith(url, "postgresql://") || startsWith(url, "postgres://"))
        c = openPostgres(url);
    else
        c = openSqlite(startsWith(url, "sqlite:") ? url.substr(7) : url);
    return std::make_unique<Store>(std::move(c));
}

Store::Store(std::unique_ptr<Connection> connection) : c_(std::move(connection)) {
    migrate();
}

Store::~Store() = default;

void Store::migrate() {
    Transaction t(*c_);
    if (*c_->dialect().migrationLock)
        c_->query(c_->dialect().migrationLock, {});
    c_->query("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", {});
    const int at =
        static_cast<int>(integer(c_->query("SELECT MAX(version) FROM schema_version", {})[0][0]));
    if (at > kSchemaVersion) {
        throw StoreError("the line store's schema is version " + std::to_string(at) +
                         ", newer than this program knows (" + std::to_string(kSchemaVersion) +
                         "): update chipwright-cli on this station");
    }
    if (at == kSchemaVersion)
        return;
    for (int version = at + 1; version <= kSchemaVersion; ++version) {
        for (const std::string& statement : migrationTo(version, c_->dialect()))
            c_->query(statement, {});
    }
    c_->query("DELETE FROM schema_version", {});
    c_->query("INSERT INTO schema_version (version) VALUES (?)", {std::int64_t{kSchemaVersion}});
    t.commit();
}

int Store::schemaVersion() {
    return static_cast<int>(
        integer(c_->query("SELECT MAX(version) FROM schema_version", {})[0][0]));
}

Job Store::createJob(const Job& job) {
    if (loadJob(job.name))
        throw StoreError("the line already has a job named " + job.name);
    Job made = job;
    const std::vector<Row> rows = c_->query(
        "INSERT INTO jobs (name, chip, image, sha256, serial, serial_start, serial_last, "
        "chip_count, closed, created_ms) VALUES (?, ?, ?, ?, ?, ?, ?, ?, 0, ?) RETURNING id",
        {job.name, job.chip, Blob{job.image.data(), job.image.size()}, job.sha256, job.serial,
         asStored(job.serialStart), asStored(job.serialLast),
         job.count ? Value(asStored(*job.count)) : Value(nullptr), nowMs()});
    made.id = integer(rows.at(0)[0]);
    made.closed = false;
    return made;
}

std::optional<Job> Store::loadJob(const std::string& name) {
    const std::vector<Row> rows = c_->query(
        "SELECT id, name, chip, image, sha256, serial, serial_start, serial_last, chip_count, "
        "closed FROM jobs WHERE name = ?",
        {name});
    if (rows.empty())
        return std::nullopt;
    const Row& r = rows[0];
    Job job;
    job.id = integer(r[0]);
    job.name = text(r[1]);
    job.chip = text(r[2]);
    const std::string image = text(r[3]);
    job.image.assign(image.begin(), image.end());
    job.sha256 = text(r[4]);
    job.serial = text(r[5]);
    job.serialStart = static_cast<std::uint64_t>(integer(r[6]));
    job.serialLast = static_cast<std::uint64_t>(integer(r[7]));
    if (r[8])
        job.count = static_cast<std::uint64_t>(integer(r[8]));
    job.closed = integer(r[9]) != 0;
    return job;
}

bool Store::closeJob(const std::string& name) {
    return !c_->query("UPDATE jobs SET closed = 1 WHERE name = ? RETURNING id", {name}).empty();
}

void Store::ping() {
    c_->query("SELECT 1", {});
}

}  // namespace line
