// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The line store: one database that every station of a production line talks to — the
// jobs (chip, image, serial numbering, chip count), the serial numbers handed out, and
// one result row per chip attempt. PostgreSQL for a line of stations, SQLite for a
// single bench. The schema is the program's own: created, versioned and migrated when
// the store is opened.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace line {

class Connection;

// Any failure of the store: unreachable, refused, a newer schema, an unknown job.
class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Job {
    std::int64_t id = 0;
    std::string name;
    std::string chip;
    std::vector<unsigned char> image;
    std::string sha256;  // of `image`, 64 lower-case hex digits
    // ADDR:FORMAT:START as the job was created with it; empty without serial numbers.
    std::string serial;
    std::uint64_t serialStart = 0;
    std::uint64_t serialLast = 0;        // the largest number the format holds
    std::optional<std::uint64_t> count;  // chips to pass; none: no limit
    bool closed = false;
};

// One chip attempt, as a station records it.
struct Attempt {
    std::int64_t atMs = 0;  // milliseconds since 1970 (UTC)
    std::string station;
    std::string place;  // the programmer's place
    std::string job;
    std::string chip;
    std::string command;
    std::string result;  // "done" when the chip passed
    std::string sha256;  // read back
    std::string diagnosis;
    std::string serial;  // as written into the chip
    double seconds = 0;
};

enum class Reserved {
    Number,      // `number` is this station's until the chip is recorded
    Complete,    // the job's count of chips passed
    InProgress,  // the numbers still to pass are all held by chips in progress
    Exhausted,   // the serial format holds no larger number
    Closed,      // the job was closed
};

struct Reservation {
    Reserved state = Reserved::Number;
    std::uint64_t number = 0;
};

struct Tally {
    std::string station;  // empty for the total
    std::uint64_t passed = 0;
    std::uint64_t failed = 0;
    std::int64_t firstMs = 0;
    std::int64_t lastMs = 0;
    double yield() const;         // passed / attempts, 0 without attempts
    double chipsPerHour() const;  // attempts over the time from first to last
};

struct Status {
    Tally total;                  // the chips programmed: a verify station's checks are not counted
    std::vector<Tally> stations;  // by name
    // Failure causes (the diagnosis, else the result), most frequent first.
    std::vector<std::pair<std::string, std::uint64_t>> causes;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> serialsUsed;  // lowest, highest
    std::uint64_t serialsHeld = 0;                                       // chips in progress
    std::vector<Attempt> lastFailures;                                   // newest first
};

constexpr int kSchemaVersion = 1;
constexpr std::size_t kLastFailures = 5;

class Store {
  public:
    // `url`: sqlite:PATH, postgresql://... (or postgres://...), or a bare PATH (SQLite).
    // Creates or migrates the schema; throws StoreError.
    static std::unique_ptr<Store> open(const std::string& url);
    explicit Store(std::unique_ptr<Connection> connection);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    int schemaVersion();
    // Throws when a job of that name exists.
    Job createJob(const Job& job);
    std::optional<Job> loadJob(const std::string& name);
    // A closed job hands out no more serial numbers; false when there is no such job.
    bool closeJob(const std::string& name);

    // The next serial number for a chip of `station`: the lowest one given back, else
    // one above the highest handed out.
    Reservation reserve(const Job& job, const std::string& station);
    // What reserve() would answer now, reserving nothing: whether a station should wait
    // for another chip at all.
    Reserved outlook(const Job& job);
    // Gives back a number held by a chip that was not recorded.
    void giveBack(const Job& job, std::uint64_t number);
    // Gives back every number `station` holds: what a station that stopped without
    // recording its chip left held.
    void giveBackHeld(const Job& job, const std::string& station);
    // The attempt's row and, with `held`, its number used (the chip passed) or given
    // back (it did not), in one transaction.
    void record(const Attempt& attempt, std::optional<std::uint64_t> held);
    // record() for an attempt sent again from a station's journal: a row the store
    // already has (same station, time, serial and result) is not added twice, and its
    // number is still marked. False when the row was already there.
    bool recordOnce(const Attempt& attempt, std::optional<std::uint64_t> held);

    // A cheap round trip: throws StoreError when the database cannot be reached.
    void ping();
    // All jobs, or the one named.
    Status status(const std::optional<std::string>& job);
    // Every attempt in the order recorded.
    void forEachAttempt(const std::optional<std::string>& job,
                        const std::function<void(const Attempt&)>& each);

  private:
    void migrate();
    bool recordAttempt(const Attempt& attempt, std::optional<std::uint64_t> held, bool once);
    std::unique_ptr<Connection> c_;
};

constexpr const char* kCsvHeader =
    "time,station,place,job,chip,command,result,sha256,diagnosis,serial,seconds";
// The attempt as a CSV line (RFC 4180 quoting, UTC time), without its line end.
std::string csvLine(const Attempt& attempt);
std::string isoUtc(std::int64_t ms);

}  // namespace line
