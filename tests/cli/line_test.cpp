// SPDX-License-Identifier: GPL-3.0-or-later
// The line commands against an SQLite line store in the test's folder.
#include <set>

#include "tests/cli/cli_rig.h"
#include "tests/support/postgres_server.h"

namespace {

using testsupport::randomBytes;
using testsupport::readFile;
using testsupport::writeFile;

// One exported row: its result, diagnosis and serial number.
struct Row {
    std::string station, result, diagnosis, serial;
};

class Line : public testsupport::CliRig {
  protected:
    // The job's exported rows, the CSV's quoted fields read back.
    std::vector<Row> rows(const std::string& url, const std::string& job) {
        const std::string csv = run({"line", "export", "--line", url, "--job", job}).out;
        std::vector<Row> out;
        std::vector<std::string> f(1);
        bool quoted = false;
        for (std::size_t i = csv.find('\n') + 1; i < csv.size(); ++i) {
            const char c = csv[i];
            if (c == '"')
                quoted = !quoted;  // a doubled quote inside a field is left out
            else if (c == ',' && !quoted)
                f.emplace_back();
            else if (c == '\n' && !quoted)
                out.push_back({f.at(1), f.at(6), f.at(8), f.at(9)}), f.assign(1, "");
            else
                f.back() += c;
        }
        return out;
    }
    std::vector<std::string> station(const std::string& url, const std::string& name) {
        return {"--line",       url,         "--job",      "J",
                "--repeat",     "auto",      "--simulate", "--sim-swap=20",
                "--next-on-id", "--station", name};
    }
};

TEST_F(Line, JobsAreCreatedOnceAndReportedEmpty) {
    writeFile(dir.file("image.bin"), randomBytes(4096, 7));
    const std::vector<std::string> create{"line",     "create",     "J1",       "--line",
                                          "line.db",  "-c",         "W25Q80DV", "image.bin",
                                          "--serial", "0:u32le:10", "--count",  "3"};
    EXPECT_EQ(run(create).status, 0);
    EXPECT_EQ(run(create).status, 1);  // the name is taken
    // A serial number that runs past the chip is refused before anything is stored.
    EXPECT_EQ(run({"line", "create", "J2", "--line", "line.db", "-c", "W25Q80DV", "image.bin",
                   "--serial", "0xFFFFE:u32le:1"})
                  .status,
              2);
    const auto status =
        run({"line", "status", "--line", "sqlite:line.db", "--job", "J1", "--json"});
    ASSERT_EQ(status.status, 0);
    EXPECT_EQ(status.json()["total"]["passed"], 0);
    EXPECT_EQ(run({"line", "status", "--line", "line.db", "--job", "J2"}).status, 1);
    EXPECT_EQ(run({"line", "export", "--line", "line.db"}).out,
              "time,station,place,job,chip,command,result,sha256,diagnosis,serial,seconds\n");
    EXPECT_EQ(run({"line", "close", "J1", "--line", "line.db"}).status, 0);
    EXPECT_EQ(run({"line", "close", "J9", "--line", "line.db"}).status, 1);
    EXPECT_EQ(run({"line", "status"}).status, 2);  // no --line
}

}  // namespace

namespace {

// A station takes chip, image and numbers from the job, records every chip, and stops
// once the job's count has passed.
TEST_F(Line, StationProgramsAndRecordsTheJobsChips) {
    writeFile(dir.file("image.bin"), randomBytes(4096, 8));
    ASSERT_EQ(run({"line", "create", "J", "--line", "line.db", "-c", "W25Q80DV", "image.bin",
                   "--serial", "0x100:u32le:1000", "--count", "2"})
                  .status,
              0);
    const auto station =
        run({"--line", "line.db", "--job", "J", "--repeat", "auto", "--simulate", "--sim-speed",
             "max", "--sim-swap=20", "--next-on-id", "--station", "A", "-q"});
    EXPECT_EQ(station.status, 0);
    EXPECT_NE(station.err.find("job J is complete"), std::string::npos);
    const auto csv = run({"line", "export", "--line", "line.db", "--job", "J"}).out;
    EXPECT_NE(csv.find(",A,sim-1,J,W25Q80DV,auto,done,"), std::string::npos);
    EXPECT_NE(csv.find(",1001,"), std::string::npos);
    // A station takes no local file: the job's image is the one programmed.
    EXPECT_EQ(run({"--line", "line.db", "--job", "J", "--repeat", "auto", "image.bin"}).status, 2);
}

}  // namespace

namespace {

// The store gone between a chip's reservation and its record: the station stops before
// the next chip with the result in its journal. The next run sends the journal first,
// so the held number is marked used, never handed out again.
TEST_F(Line, UnrecordedResultWaitsInTheJournalAndIsSentFirst) {
    testsupport::PostgresServer& server = testsupport::PostgresServer::shared();
    if (!server.running())
        GTEST_SKIP() << server.problem();
    const std::string url = server.freshDatabase();
    writeFile(dir.file("image.bin"), randomBytes(4096, 9));
    ASSERT_EQ(run({"line", "create", "J", "--line", url, "-c", "W25Q80DV", "image.bin", "--serial",
                   "0x100:u32le:1", "--count", "2"})
                  .status,
              0);
    std::vector<std::string> slow = station(url, "A");
    slow.insert(slow.end(), {"--sim-speed", "2000000"});
    const pid_t first = start(slow);
    ASSERT_TRUE(waitForErr("Writing", std::chrono::seconds(30)));
    ASSERT_TRUE(server.stop());
    const auto stopped = finish(first);
    ASSERT_TRUE(server.start());
    EXPECT_EQ(stopped.status, 1);
    EXPECT_NE(stopped.err.find("kept in the journal"), std::string::npos) << stopped.err;
    EXPECT_EQ(stopped.err.find("Erasing", stopped.err.find("Writing")), std::string::npos);
    const std::string journal = homeFile("line-journal.tsv");
    EXPECT_NE(readFile(journal).find("\tA\tsim-1\tJ\t"), std::string::npos);

    const auto second = run(station(url, "A"));
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_NE(second.err.find("sent 1 result(s) from the journal"), std::string::npos);
    EXPECT_EQ(readFile(journal), "");
    std::multiset<std::string> serials;
    for (const Row& r : rows(url, "J")) {
        EXPECT_EQ(r.result, "done");
        serials.insert(r.serial);
    }
    EXPECT_EQ(serials, (std::multiset<std::string>{"1", "2"}));
}

// Stations at once on one job: every chip passed once, each with its own number; the
// faulty station's failed chips are recorded with their cause and their numbers reused.
// kChips is kept small for the test's time: each chip waits about a second for its swap.
TEST_F(Line, StationsShareOneJobWithoutGapsOrTwins) {
    testsupport::PostgresServer& server = testsupport::PostgresServer::shared();
    if (!server.running())
        GTEST_SKIP() << server.problem();
    constexpr int kChips = 12;
    const std::string url = server.freshDatabase();
    writeFile(dir.file("image.bin"), randomBytes(4096, 10));
    ASSERT_EQ(run({"line", "create", "J", "--line", url, "-c", "W25X10", "image.bin", "--serial",
                   "0x100:u32le:1", "--count", std::to_string(kChips)})
                  .status,
              0);
    std::vector<std::string> faulty = station(url, "F");
    faulty.insert(faulty.end(), {"--sim-speed", "max", "--sim-fault", "loose-bit=0x10",
                                 "--diagnose", "--count", "3"});
    std::vector<pid_t> stations{start(faulty, "F")};
    for (const std::string name : {"A", "B"}) {
        std::vector<std::string> good = station(url, name);
        good.insert(good.end(), {"--sim-speed", "max"});
        stations.push_back(start(good, name));
    }
    for (std::size_t i = 0; i < stations.size(); ++i)
        finish(stations[i], i == 0 ? "F" : i == 1 ? "A" : "B");
    std::set<std::string> passed;
    std::vector<Row> failed;
    for (const Row& r : rows(url, "J")) {
        if (r.result == "done")
            EXPECT_TRUE(passed.insert(r.serial).second) << "serial " << r.serial << " twice";
        else
            failed.push_back(r);
    }
    std::set<std::string> all;
    for (int n = 1; n <= kChips; ++n)
        all.insert(std::to_string(n));
    EXPECT_EQ(passed, all);
    ASSERT_FALSE(failed.empty());
    for (const Row& r : failed) {
        EXPECT_EQ(r.station, "F");
        EXPECT_FALSE(r.diagnosis.empty()) << r.result;
        EXPECT_EQ(passed.count(r.serial), 1u) << r.serial;
    }
}

}  // namespace
