// SPDX-License-Identifier: GPL-3.0-or-later
// The line store's contract, run the same on both backends: SQLite in a temporary file
// and PostgreSQL on a server of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "line/connection.h"
#include "line/store.h"
#include "tests/support/postgres_server.h"
#include "tests/support/temp_dir.h"

namespace {

using line::Reserved;

struct SqliteRig {
    testsupport::TempDir dir;
    std::string url = "sqlite:" + dir.file("line.db");
    bool skip(std::string*) { return false; }
    std::unique_ptr<line::Connection> raw() { return line::openSqlite(dir.file("line.db")); }
    std::string unreachable() { return dir.file("no-such-folder/line.db"); }
};

struct PostgresRig {
    testsupport::PostgresServer& server = testsupport::PostgresServer::shared();
    std::string url = server.running() ? server.freshDatabase() : "";
    bool skip(std::string* why) {
        *why = server.problem();
        return !server.running();
    }
    std::unique_ptr<line::Connection> raw() { return line::openPostgres(url); }
    std::string unreachable() { return server.urlFor("no_such_database"); }
};

template <typename Rig>
class StoreContract : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string why; rig.skip(&why))
            GTEST_SKIP() << why;
        store = line::Store::open(rig.url);
    }

    line::Job job(const std::string& name, std::optional<std::uint64_t> count = std::nullopt) {
        line::Job j;
        j.name = name;
        j.chip = "W25Q80";
        j.image = {0x00, 0xFF, 0x5A, 0x00};
        j.sha256 = std::string(64, 'a');
        j.serial = "0x10:u32le:100";
        j.serialStart = 100;
        j.serialLast = 103;
        j.count = count;
        return store->createJob(j);
    }
    line::Attempt attempt(const line::Job& j, const std::string& station, const std::string& result,
                          std::int64_t atMs) {
        line::Attempt a;
        a.atMs = atMs;
        a.station = station;
        a.job = j.name;
        a.chip = j.chip;
        a.command = "auto";
        a.result = result;
        a.diagnosis = result == "mismatch" ? "unstable" : "";
        return a;
    }
    std::uint64_t take(const line::Job& j, const std::string& station = "a") {
        const line::Reservation r = store->reserve(j, station);
        EXPECT_EQ(r.state, Reserved::Number);
        return r.number;
    }

    Rig rig;
    std::unique_ptr<line::Store> store;
};

using Rigs = ::testing::Types<SqliteRig, PostgresRig>;
class RigNames {
  public:
    template <typename T>
    static std::string GetName(int) {
        return std::is_same_v<T, SqliteRig> ? "Sqlite" : "Postgres";
    }
};
TYPED_TEST_SUITE(StoreContract, Rigs, RigNames);

TYPED_TEST(StoreContract, SchemaIsKeptAndANewerOneIsRefused) {
    EXPECT_EQ(line::Store::open(this->rig.url)->schemaVersion(), line::kSchemaVersion);
    this->rig.raw()->query("UPDATE schema_version SET version = 99", {});
    EXPECT_THROW(line::Store::open(this->rig.url), line::StoreError);
}

TYPED_TEST(StoreContract, UnreachableStoreIsAnError) {
    EXPECT_THROW(line::Store::open(this->rig.unreachable()), line::StoreError);
}

TYPED_TEST(StoreContract, JobKeepsItsImageAndNameIsUnique) {
    const line::Job made = this->job("j1", 5);
    const std::optional<line::Job> loaded = this->store->loadJob("j1");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->id, made.id);
    EXPECT_EQ(loaded->image, made.image);
    EXPECT_EQ(loaded->serial, made.serial);
    EXPECT_EQ(loaded->count, std::optional<std::uint64_t>(5));
    EXPECT_THROW(this->job("j1"), line::StoreError);
    EXPECT_FALSE(this->store->loadJob("j2"));
}

TYPED_TEST(StoreContract, ClosedJobHandsOutNothing) {
    const line::Job j = this->job("j");
    EXPECT_TRUE(this->store->closeJob("j"));
    EXPECT_FALSE(this->store->closeJob("none"));
    EXPECT_EQ(this->store->reserve(j, "a").state, Reserved::Closed);
    EXPECT_EQ(this->store->outlook(j), Reserved::Closed);
}

// Numbers given back (a failed chip, an interrupted run) are handed out again, lowest
// first, before the next new one; numbers stop at the format's largest.
TYPED_TEST(StoreContract, LowestGivenBackNumberComesFirst) {
    const line::Job j = this->job("j");
    EXPECT_EQ(this->take(j), 100u);
    EXPECT_EQ(this->take(j), 101u);
    EXPECT_EQ(this->take(j), 102u);
    this->store->record(this->attempt(j, "a", "mismatch", 1), 102);
    this->store->giveBack(j, 101);
    this->store->record(this->attempt(j, "a", "done", 2), 100);
    EXPECT_EQ(this->take(j), 101u);
    EXPECT_EQ(this->take(j), 102u);
    EXPECT_EQ(this->take(j), 103u);
    EXPECT_EQ(this->store->outlook(j), Reserved::Exhausted);
    EXPECT_EQ(this->store->reserve(j, "a").state, Reserved::Exhausted);
}

TYPED_TEST(StoreContract, CountEndsTheJobOncePassed) {
    const line::Job j = this->job("j", 2);
    const std::uint64_t first = this->take(j, "a");
    const std::uint64_t second = this->take(j, "b");
    EXPECT_EQ(this->store->reserve(j, "c").state, Reserved::InProgress);
    EXPECT_EQ(this->store->outlook(j), Reserved::InProgress);
    this->store->record(this->attempt(j, "a", "done", 1), first);
    this->store->record(this->attempt(j, "b", "failed", 2), second);
    EXPECT_EQ(this->store->outlook(j), Reserved::Number);
    EXPECT_EQ(this->take(j, "c"), second);
    this->store->record(this->attempt(j, "c", "done", 3), second);
    EXPECT_EQ(this->store->outlook(j), Reserved::Complete);
    EXPECT_EQ(this->store->reserve(j, "a").state, Reserved::Complete);
}

TYPED_TEST(StoreContract, StationGivesBackWhatItHeld) {
    const line::Job j = this->job("j");
    this->take(j, "a");
    const std::uint64_t kept = this->take(j, "b");
    this->take(j, "a");
    this->store->giveBackHeld(j, "a");
    EXPECT_EQ(this->take(j, "c"), 100u);
    EXPECT_EQ(this->take(j, "c"), 102u);
    EXPECT_EQ(this->store->status("j").serialsHeld, 3u);
    EXPECT_EQ(kept, 101u);
}

// A journalled attempt sent twice (the first sending's answer lost) is one row, and its
// held number is used all the same.
TYPED_TEST(StoreContract, JournalledAttemptIsRecordedOnce) {
    const line::Job j = this->job("j");
    const std::uint64_t held = this->take(j);
    line::Attempt a = this->attempt(j, "a", "done", 7);
    a.serial = std::to_string(held);
    EXPECT_TRUE(this->store->recordOnce(a, held));
    EXPECT_FALSE(this->store->recordOnce(a, held));
    const line::Status s = this->store->status("j");
    EXPECT_EQ(s.total.passed, 1u);
    EXPECT_EQ(s.serialsHeld, 0u);
    EXPECT_EQ(this->take(j), held + 1);
}

TYPED_TEST(StoreContract, StatusCountsStationsCausesAndSerials) {
    const line::Job j = this->job("j");
    const line::Job other = this->job("other");
    this->store->record(this->attempt(j, "a", "done", 0), this->take(j));
    this->store->record(this->attempt(j, "a", "mismatch", 1'800'000), this->take(j));
    this->store->record(this->attempt(j, "b", "mismatch", 3'600'000), this->take(j));
    this->store->record(this->attempt(j, "b", "failed", 3'600'000), this->take(j));
    this->store->record(this->attempt(other, "b", "failed", 5), std::nullopt);
    // A verify station's checks are its own, not more chips programmed.
    line::Attempt checked = this->attempt(j, "v", "done", 7'200'000);
    checked.command = "verify";
    this->store->record(checked, std::nullopt);
    const line::Status s = this->store->status("j");
    EXPECT_EQ(s.total.passed, 1u);
    EXPECT_EQ(s.total.failed, 3u);
    EXPECT_DOUBLE_EQ(s.total.yield(), 0.25);
    EXPECT_DOUBLE_EQ(s.total.chipsPerHour(), 4.0);
    ASSERT_EQ(s.stations.size(), 3u);
    EXPECT_EQ(s.stations[2].passed, 1u);
    EXPECT_EQ(s.stations[1].station, "b");
    EXPECT_EQ(s.stations[1].failed, 2u);
    ASSERT_EQ(s.causes.size(), 2u);
    EXPECT_EQ(s.causes[0], std::make_pair(std::string("unstable"), std::uint64_t{2}));
    EXPECT_EQ(s.serialsUsed, std::make_pair(std::uint64_t{100}, std::uint64_t{100}));
    ASSERT_EQ(s.lastFailures.size(), 3u);
    EXPECT_EQ(s.lastFailures[0].result, "failed");
    EXPECT_EQ(this->store->status(std::nullopt).total.failed, 4u);
}

TYPED_TEST(StoreContract, ExportListsAttemptsInOrder) {
    const line::Job j = this->job("j");
    for (int i = 0; i < 3; ++i)
        this->store->record(this->attempt(j, "s" + std::to_string(i), "done", i), std::nullopt);
    std::vector<std::string> stations;
    this->store->forEachAttempt("j", [&](const line::Attempt& a) {
        EXPECT_EQ(a.job, "j");
        stations.push_back(a.station);
    });
    EXPECT_EQ(stations, (std::vector<std::string>{"s0", "s1", "s2"}));
}

// Stations on connections of their own, reserving at once, never share a number.
TYPED_TEST(StoreContract, ConcurrentReservationsAreDistinct) {
    line::Job j = this->job("j");
    j.serialLast = 1'000;
    this->rig.raw()->query("UPDATE jobs SET serial_last = 1000", {});
    constexpr int kStations = 4;
    constexpr int kChips = 10;
    std::vector<std::vector<std::uint64_t>> got(kStations);
    std::vector<std::thread> stations;
    for (int s = 0; s < kStations; ++s) {
        stations.emplace_back([&, s] {
            auto own = line::Store::open(this->rig.url);
            for (int c = 0; c < kChips; ++c) {
                const line::Reservation r = own->reserve(j, "s" + std::to_string(s));
                own->record(this->attempt(j, "s", "done", c), r.number);
                got[static_cast<std::size_t>(s)].push_back(r.number);
            }
        });
    }
    for (std::thread& t : stations)
        t.join();
    std::set<std::uint64_t> all;
    for (const auto& numbers : got)
        all.insert(numbers.begin(), numbers.end());
    EXPECT_EQ(all.size(), std::size_t{kStations * kChips});
    EXPECT_EQ(*all.rbegin(), 100u + kStations * kChips - 1);
}

TEST(LineCsv, QuotesFieldsAndWritesUtc) {
    line::Attempt a;
    a.atMs = 86'400'000;
    a.station = "bench, left";
    a.diagnosis = "say \"hi\"";
    a.seconds = 1.5;
    EXPECT_EQ(line::csvLine(a),
              "1970-01-02T00:00:00Z,\"bench, left\",,,,,,,\"say \"\"hi\"\"\",,1.500");
}

}  // namespace
