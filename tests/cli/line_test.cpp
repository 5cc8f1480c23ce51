// SPDX-License-Identifier: GPL-3.0-or-later
// The line commands against an SQLite line store in the test's folder.
#include "tests/cli/cli_rig.h"

namespace {

using testsupport::randomBytes;
using testsupport::writeFile;

class Line : public testsupport::CliRig {};

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
