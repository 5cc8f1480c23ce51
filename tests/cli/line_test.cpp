// SPDX-License-Identifier: GPL-3.0-or-later
// The line commands against an SQLite line store in the test's folder.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
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
    const auto created = run(create);
    EXPECT_EQ(created.status, 0);
    EXPECT_EQ(run(create).status, 1);  // the name is taken
    // An Intel HEX image is stored as the chip gets it: the same bytes as the binary.
    ASSERT_EQ(std::system(("objcopy -I binary -O ihex " + dir.file("image.bin") + " " +
                           dir.file("image.hex"))
                              .c_str()),
              0);
    const auto hex =
        run({"line", "create", "J3", "--line", "line.db", "-c", "W25Q80DV", "image.hex"});
    EXPECT_EQ(hex.status, 0) << hex.err;
    const auto sha = [](const std::string& err) { return err.substr(err.find("sha256")); };
    EXPECT_EQ(sha(hex.err), sha(created.err));
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
// once the job's count has passed, without asking for another chip. A verify station
// checks a chip against the image with the chip's own number, reserving none.
TEST_F(Line, StationProgramsAndRecordsTheJobsChips) {
    writeFile(dir.file("image.bin"), randomBytes(4096, 8));
    ASSERT_EQ(run({"line", "create", "J", "--line", "line.db", "-c", "W25Q80DV", "image.bin",
                   "--serial", "0x100:u32le:1000", "--count", "2"})
                  .status,
              0);
    const auto station =
        run({"--line", "line.db", "--job", "J", "--repeat", "auto", "--simulate", "--sim-speed",
             "max", "--sim-swap=20", "--next-on-id", "--station", "A", "--sim-tray", "tray", "-q"});
    EXPECT_EQ(station.status, 0);
    EXPECT_NE(station.err.find("job J is complete"), std::string::npos);
    EXPECT_EQ(station.err.find("take the chip out", station.err.find("chip 2")), std::string::npos)
        << station.err;
    const auto csv = run({"line", "export", "--line", "line.db", "--job", "J"}).out;
    EXPECT_NE(csv.find(",A,sim-1,J,W25Q80DV,auto,done,"), std::string::npos);
    EXPECT_NE(csv.find(",1001,"), std::string::npos);
    // A station takes no local file: the job's image is the one programmed.
    EXPECT_EQ(run({"--line", "line.db", "--job", "J", "--repeat", "auto", "image.bin"}).status, 2);

    const std::vector<std::string> verify{
        "--line",      "line.db", "--job",   "J", "--repeat",  "verify", "--simulate",
        "--sim-speed", "max",     "--count", "1", "--station", "V"};
    std::vector<std::string> programmed = verify;
    programmed.insert(programmed.end(), {"--sim-memory", "tray/chip-0002.bin"});
    EXPECT_EQ(run(programmed).status, 0);
    EXPECT_EQ(run(verify).status, 1);  // an erased chip holds no number
    const std::vector<Row> all = rows("line.db", "J");
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[2].result, "done");
    EXPECT_EQ(all[2].serial, "1001");
    EXPECT_NE(all[3].result, "done");
    EXPECT_EQ(run({"line", "status", "--line", "line.db", "--job", "J", "--json"})
                  .json()["total"]["passed"],
              2);
}

// While the chips still to pass are all at other stations, a station waits for their
// results (one may fail and give its number back) instead of ending; Ctrl-C ends the
// wait as it ends a run.
TEST_F(Line, StationWaitsWhileTheLastChipIsElsewhere) {
    writeFile(dir.file("image.bin"), randomBytes(4096, 12));
    ASSERT_EQ(run({"line", "create", "J", "--line", "line.db", "-c", "W25Q80DV", "image.bin",
                   "--count", "1"})
                  .status,
              0);
    const std::vector<std::string> common{"--line",   "line.db", "--job",      "J",
                                          "--repeat", "auto",    "--simulate", "--station"};
    std::vector<std::string> slow = common;
    slow.insert(slow.end(), {"A", "--sim-speed", "1000000"});
    const pid_t a = start(slow, "A");
    ASSERT_TRUE(waitForErr("Erasing", std::chrono::seconds(10), "A"));
    std::vector<std::string> late = common;
    late.push_back("B");
    const pid_t b = start(late, "B");
    ASSERT_TRUE(waitForErr("waiting for their results", std::chrono::seconds(10), "B"));
    kill(b, SIGINT);
    EXPECT_EQ(finish(b, "B").status, 130);
    EXPECT_EQ(finish(a, "A").status, 0);
}

// Entries the journal could not send (their store is gone) stay in it, whole, while
// the station's own are sent.
TEST_F(Line, JournalKeepsWhatItCouldNotSend) {
    writeFile(dir.file("image.bin"), randomBytes(4096, 11));
    ASSERT_EQ(
        run({"line", "create", "J", "--line", "line.db", "-c", "W25Q80DV", "image.bin"}).status, 0);
    const std::string elsewhere = "sqlite:" + dir.file("gone/line.db") +
                                  "\t\t1000\tB\tsim-1\tJ\tW25Q80DV\tauto\tdone\t\t\t\t1.0\n";
    const std::string here = "sqlite:" + dir.file("line.db") +
                             "\t\t2000\tA\tsim-1\tJ\tW25Q80DV\tauto\tdone\t\t\t\t1.0\n";
    const std::string journal = homeFile("line-journal.tsv");
    writeFile(journal, elsewhere + here);
    const auto station = run({"--line", "line.db", "--job", "J", "--repeat", "auto", "--simulate",
                              "--sim-speed", "max", "--count", "1", "--station", "A", "-q"});
    EXPECT_EQ(station.status, 0) << station.err;
    EXPECT_NE(station.err.find("sent 1 result(s) from the journal"), std::string::npos);
    EXPECT_EQ(readFile(journal), elsewhere);
    EXPECT_EQ(rows("line.db", "J").size(), 2u);
    // A journal that cannot be read may hold numbers of chips that passed: the station
    // programs nothing rather than give them back.
    std::filesystem::remove(journal);
    std::filesystem::create_directory(journal);
    const auto unread = run({"--line", "line.db", "--job", "J", "--repeat", "auto", "--simulate",
                             "--count", "1", "--station", "A"});
    EXPECT_EQ(unread.status, 1);
    EXPECT_NE(unread.err.find("cannot read the journal"), std::string::npos) << unread.err;
    EXPECT_EQ(rows("line.db", "J").size(), 2u);
    std::filesystem::remove(journal);
}

}  // namespace

namespace {

// The store gone between the chips' reservations and their records: every station
// stops before its next chip with its result in the journal. The next run sends the
// journal first, so the held numbers are marked used, never handed out again.
TEST_F(Line, UnrecordedResultWaitsInTheJournalAndIsSentFirst) {
    testsupport::PostgresServer& server = testsupport::PostgresServer::shared();
    if (!server.running())
        GTEST_SKIP() << server.problem();
    const std::string url = server.freshDatabase();
    writeFile(dir.file("image.bin"), randomBytes(4096, 9));
    ASSERT_EQ(run({"line", "create", "J", "--line", url, "-c", "W25Q80DV", "image.bin", "--serial",
                   "0x100:u32le:1", "--count", "3"})
                  .status,
              0);
    std::vector<pid_t> stations;
    for (const std::string name : {"A", "B"}) {
        std::vector<std::string> slow = station(url, name);
        slow.insert(slow.end(), {"--sim-speed", "2000000"});
        stations.push_back(start(slow, name));
    }
    for (const std::string name : {"A", "B"})
        ASSERT_TRUE(waitForErr("Writing", std::chrono::seconds(30), name));
    ASSERT_TRUE(server.stop());
    const auto stoppedA = finish(stations[0], "A");
    const auto stoppedB = finish(stations[1], "B");
    ASSERT_TRUE(server.start());
    for (const testsupport::CliResult& stopped : {stoppedA, stoppedB}) {
        EXPECT_EQ(stopped.status, 1);
        EXPECT_NE(stopped.err.find("kept in the journal"), std::string::npos) << stopped.err;
        EXPECT_EQ(stopped.err.find("Erasing", stopped.err.find("Writing")), std::string::npos);
    }
    const std::string journal = homeFile("line-journal.tsv");
    EXPECT_NE(readFile(journal).find("\tA\tsim-1\tJ\t"), std::string::npos);
    EXPECT_NE(readFile(journal).find("\tB\tsim-1\tJ\t"), std::string::npos);

    const auto again = run(station(url, "A"));
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.err.find("sent 2 result(s) from the journal"), std::string::npos);
    EXPECT_EQ(readFile(journal), "");
    std::multiset<std::string> serials;
    for (const Row& r : rows(url, "J")) {
        EXPECT_EQ(r.result, "done");
        serials.insert(r.serial);
    }
    EXPECT_EQ(serials, (std::multiset<std::string>{"1", "2", "3"}));
}

// Stations at once on one job: every chip passed once, each with its own number, found
// in the chips the stations leave in their trays; the faulty station's failed chips are
// recorded with their cause and their numbers reused.
TEST_F(Line, StationsShareOneJobWithoutGapsOrTwins) {
    testsupport::PostgresServer& server = testsupport::PostgresServer::shared();
    if (!server.running())
        GTEST_SKIP() << server.problem();
    constexpr int kChips = 30;
    constexpr std::size_t kSerialAt = 0x100;
    const std::string url = server.freshDatabase();
    const std::string image = randomBytes(4096, 10);
    writeFile(dir.file("image.bin"), image);
    ASSERT_EQ(run({"line", "create", "J", "--line", url, "-c", "W25X10", "image.bin", "--serial",
                   "0x100:u32le:1", "--count", std::to_string(kChips)})
                  .status,
              0);
    std::vector<std::string> faulty = station(url, "F");
    faulty.insert(faulty.end(), {"--sim-speed", "max", "--sim-fault", "loose-bit=0x10",
                                 "--diagnose", "--count", "3", "--sim-tray", "tray-F"});
    std::vector<pid_t> stations{start(faulty, "F")};
    for (const std::string name : {"A", "B"}) {
        std::vector<std::string> good = station(url, name);
        good.insert(good.end(), {"--sim-speed", "max", "--sim-tray", "tray-" + name});
        stations.push_back(start(good, name));
    }
    finish(stations[0], "F");
    EXPECT_EQ(finish(stations[1], "A").status, 0);
    EXPECT_EQ(finish(stations[2], "B").status, 0);
    std::map<std::string, std::string> passedAt;  // serial number: station
    std::vector<Row> failed;
    for (const Row& r : rows(url, "J")) {
        if (r.result == "done")
            EXPECT_TRUE(passedAt.emplace(r.serial, r.station).second) << r.serial << " twice";
        else
            failed.push_back(r);
    }
    std::set<std::string> passed, all;
    for (const auto& [serial, at] : passedAt)
        passed.insert(serial);
    for (int n = 1; n <= kChips; ++n)
        all.insert(std::to_string(n));
    EXPECT_EQ(passed, all);
    // Each chip that passed is in its station's tray: the image with its own number.
    std::multiset<std::string> inChips;
    for (const std::string name : {"F", "A", "B"}) {
        for (const auto& f : std::filesystem::directory_iterator(dir.file("tray-" + name))) {
            std::string chip = readFile(f.path().string());
            std::uint32_t serial = 0;
            std::memcpy(&serial, chip.data() + kSerialAt, sizeof serial);
            std::memcpy(chip.data() + kSerialAt, image.data() + kSerialAt, sizeof serial);
            const auto at = passedAt.find(std::to_string(serial));
            if (at == passedAt.end() || at->second != name)
                continue;  // a failed chip, or the erased one left in the socket
            EXPECT_EQ(chip.compare(0, image.size(), image), 0) << f.path();
            inChips.insert(std::to_string(serial));
        }
    }
    EXPECT_EQ(inChips, std::multiset<std::string>(all.begin(), all.end()));
    ASSERT_FALSE(failed.empty());
    for (const Row& r : failed) {
        EXPECT_EQ(r.station, "F");
        EXPECT_FALSE(r.diagnosis.empty()) << r.result;
        EXPECT_EQ(passed.count(r.serial), 1u) << r.serial;
    }
}

}  // namespace
