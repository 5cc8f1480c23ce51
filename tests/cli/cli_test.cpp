// SPDX-License-Identifier: GPL-3.0-or-later
// chipwright-cli end to end against the simulated programmer: each command's output,
// exit status and JSON, the file formats other tools read back, the checks, and the
// settings it must leave alone.

#include <pty.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "tests/cli/cli_rig.h"

using testsupport::randomBytes;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

constexpr std::uint32_t kOneMegabyte = 0x100000;

class Cli : public testsupport::CliRig {
  protected:
    // The simulated 1 MB flash at full speed, its cells kept in the test's folder.
    std::vector<std::string> sim(std::vector<std::string> args,
                                 const std::string& chip = "W25Q80DV") {
        std::vector<std::string> all{"--simulate=" + chip, "--sim-speed", "max", "--sim-memory",
                                     dir.file("chip.bin")};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
};

TEST_F(Cli, UsageChipsAndInfoNeedNoProgrammer) {
    const auto help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("130  interrupted by Ctrl-C"), std::string::npos);
    EXPECT_EQ(run({"frobnicate"}).status, 2);
    EXPECT_EQ(run({"read"}).status, 2);
    const auto refused = run({"--json", "--passes", "0", "read", "x"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.json()["result"], "usage");
    EXPECT_EQ(run({"--sim-fault", "stall"}).status, 2);  // needs --simulate

    const auto chips = run({"--json", "chips", "w25q128*-i", "--type", "spi"});
    EXPECT_EQ(chips.status, 0);
    const auto listed = chips.json()["chips"];
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0]["name"], "W25Q128JV-IM");
    EXPECT_EQ(listed[0]["capacity"], 0x1000000);
    EXPECT_EQ(run({"chips", "W25Q128", "--type", "24"}).status, 1);

    const auto info = run({"info", "w25q80dv"});
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.out.find("capacity: 1024KB (1048576 bytes)"), std::string::npos);
    const auto unknown = run({"--json", "info", "NOSUCHCHIP"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.json()["result"], "unknown-chip");
}

TEST_F(Cli, ProgrammerCommandsReportTheirTextsAndStatuses) {
    const auto detect = run({"--json", "--simulate=W25Q128JV", "detect"});
    EXPECT_EQ(detect.status, 0);
    EXPECT_EQ(detect.json()["chip"], "W25Q128JV");
    EXPECT_EQ(detect.json()["messages"].back(), "Chip type: W25Q128JV");

    const auto version = run({"--simulate", "version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "Firmware version:  Chipwright SIM V1.00\n");
    EXPECT_EQ(run({"--simulate", "--sim-fault", "fail-self-test", "selftest"}).status, 1);
    EXPECT_EQ(run({"--simulate", "-c", "AT24C02", "erase"}).status, 1);  // no SPI flash
    EXPECT_EQ(run(sim({"--sim-fault", "disconnect=4096", "read", "x.bin"})).status, 1);
    EXPECT_EQ(run(sim({"write", "missing.bin"})).status, 1);

    // Piped, in the language asked for: one line per text, no progress bar.
    const auto chinese = run(sim({"--lang", "SimpleChinese", "read", "x.bin"}));
    EXPECT_EQ(chinese.status, 0);
    EXPECT_NE(chinese.err.find("正在读芯片...\n"), std::string::npos);
    EXPECT_EQ(chinese.err.find('\r'), std::string::npos);

    // No programmer at all: status 4, the window's message once.
    const auto none = run({"--json", "read", "x.bin"});
    EXPECT_EQ(none.status, 4);
    EXPECT_EQ(none.json()["result"], "no-programmer");
    EXPECT_NE(none.err.find("No programmer linked to computer!\n"), std::string::npos);

    // A firmware update is confirmed first: without a terminal to ask on, only --yes
    // lets it start; refused, nothing reaches the programmer.
    writeFile(dir.file("fw.tnx"), std::string(1000, '\x33'));
    const auto unconfirmed = run({"--simulate", "--json", "update-firmware", "fw.tnx"});
    EXPECT_EQ(unconfirmed.status, 2);
    EXPECT_EQ(unconfirmed.json()["result"], "usage");
    EXPECT_EQ(unconfirmed.err.find("Firmware updating"), std::string::npos);
    const auto confirmed = run({"--simulate", "--yes", "update-firmware", "fw.tnx"});
    EXPECT_EQ(confirmed.status, 0);
    EXPECT_NE(confirmed.err.find("Firmware updating"), std::string::npos);
    // --yes also answers the question asked when the programmer does not answer (the
    // wait for the programmer then finds none); on a terminal (a pseudo-terminal from
    // script(1)) both are asked, and "n" to the second cancels.
    const auto yes =
        run({"--simulate", "--sim-fault", "wrong-reply", "--yes", "update-firmware", "fw.tnx"});
    EXPECT_EQ(yes.status, 4);
    EXPECT_NE(yes.err.find("[answered OK by --yes]"), std::string::npos);
    const std::string asked = "cd '" + dir.path() + "' && printf 'y\\nn\\n' | script -qec \"'" +
                              program() +
                              "' --simulate --sim-fault wrong-reply update-firmware fw.tnx\" "
                              "/dev/null > terminal 2>&1";
    const int status = std::system(asked.c_str());
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(readFile(dir.file("terminal")).find("fw.tnx? [y/N] "), std::string::npos);
    EXPECT_NE(readFile(dir.file("terminal")).find("in 10 seconds! [y/N] "), std::string::npos);

    // None of it changed the window's settings.
    EXPECT_EQ(
        readFile(homeFile("config.ini")),
        readFile((std::filesystem::read_symlink("/proc/self/exe").parent_path() / "config.ini")
                     .string()));
}

TEST_F(Cli, EveryWayARunEndsIsReportedWithItsStatus) {
    writeFile(dir.file("image.bin"), randomBytes(kOneMegabyte, 3));
    // SIGTERM stops the transfer like Ctrl-C, with its own status.
    std::vector<std::string> slow = sim({"--json", "write", "image.bin"});
    slow[2] = "200000";  // --sim-speed: five seconds for the chip
    const pid_t writing = start(slow);
    ASSERT_TRUE(waitForErr("Writing...", std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(writing, SIGTERM);
    const auto terminated = finish(writing);
    EXPECT_EQ(terminated.status, 143);
    EXPECT_EQ(terminated.json()["result"], "interrupted");
    EXPECT_EQ(terminated.json()["chipState"], "chip partly written");
    // What moved before the stop, not the chip's size.
    EXPECT_GT(terminated.json()["bytes"], 0);
    EXPECT_LT(terminated.json()["bytes"], kOneMegabyte);
    EXPECT_NE(readFile(homeFile("chipwright.log")).find("Interrupted by SIGTERM: chip partly"),
              std::string::npos);

    // A reader that went away fails the run but does not stop the file being saved.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    close(pipeFds[0]);
    const pid_t reading = start(sim({"read", "x.bin"}), "", pipeFds[1]);
    close(pipeFds[1]);
    EXPECT_EQ(finish(reading).status, 1);
    EXPECT_EQ(std::filesystem::file_size(dir.file("x.bin")), kOneMegabyte);

    // A file or folder the run could never save to is refused before the chip is read,
    // and no checksums vouch for bytes that were not saved.
    writeFile(dir.file("plain"), "a file where a folder would go");
    for (const auto& args : {std::vector<std::string>{"--json", "read", "plain/x.bin"},
                             {"--json", "--backup", "plain/saved", "write", "image.bin"}}) {
        const auto refused = run(sim(args));
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.err.find("Reading..."), std::string::npos) << refused.err;
        EXPECT_FALSE(refused.json().contains("checksums"));
    }

    // A full disk under stdout fails the run.
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    const pid_t listing = start({"--json", "chips", "W25Q80"}, "", full);
    close(full);
    EXPECT_EQ(finish(listing).status, 1);
}

TEST_F(Cli, OptionsACommandCannotUseAreRefusedAndTheUsualFormsWork) {
    EXPECT_EQ(run(sim({"--device", "banana", "detect"})).status, 2);
    EXPECT_EQ(run(sim({"--device", "sim-1", "detect"})).status, 0);
    const auto type = run(sim({"--json", "--type", "spi", "read", "x.bin"}));
    EXPECT_EQ(type.status, 2);
    EXPECT_EQ(type.json()["result"], "usage");
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.bin")));
    // --simulate is a mode, not a setting: every command takes it.
    EXPECT_EQ(run({"--simulate", "chips", "W25Q64"}).status, 0);
    // After "--" a name that starts with a dash is a file.
    EXPECT_EQ(run(sim({"-q", "read", "--", "-x.bin"})).status, 0);
    EXPECT_EQ(std::filesystem::file_size(dir.file("-x.bin")), kOneMegabyte);
    EXPECT_EQ(run(sim({"read", "-x.bin"})).status, 2);
    // Short flags run together: quiet, and the update confirmed.
    writeFile(dir.file("fw.tnx"), std::string(1000, '\x33'));
    const auto combined = run({"--simulate", "-qy", "update-firmware", "fw.tnx"});
    EXPECT_EQ(combined.status, 0);
    EXPECT_EQ(combined.err.find("Firmware updating"), std::string::npos);
    EXPECT_NE(run({"--version"}).out.find("chipwright-cli "), std::string::npos);
    const auto none = run({"chips", "NOSUCHCHIP"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no chip matches NOSUCHCHIP"), std::string::npos);
}

TEST_F(Cli, DashIsStdoutForReadAndStdinForWriteAndVerify) {
    const std::string image = randomBytes(kOneMegabyte, 5);
    writeFile(dir.file("image.bin"), image);
    ASSERT_EQ(run(sim({"-q", "write", "image.bin"})).status, 0);
    // The chip's bytes alone on stdout; the report goes to stderr.
    const auto read = run(sim({"--json", "read", "-"}));
    EXPECT_EQ(read.status, 0);
    EXPECT_TRUE(read.out == image);
    EXPECT_NE(read.err.find("\"result\":\"done\""), std::string::npos);
    // stdin up to the chip's size; one byte more is a longer file.
    auto fromStdin = [&](const std::string& command, const std::string& file) {
        const std::string line = "cd '" + dir.path() + "' && '" + program() +
                                 "' --simulate=W25Q80DV --sim-speed max --sim-memory chip.bin -q " +
                                 command + " - < " + file + " > /dev/null 2>&1";
        return WEXITSTATUS(std::system(line.c_str()));
    };
    EXPECT_EQ(fromStdin("verify", "image.bin"), 0);
    writeFile(dir.file("new.bin"), randomBytes(kOneMegabyte, 6));
    EXPECT_EQ(fromStdin("auto", "new.bin"), 0);
    EXPECT_TRUE(readFile(dir.file("chip.bin")) == readFile(dir.file("new.bin")));
    writeFile(dir.file("long.bin"), std::string(kOneMegabyte + 1, '\0'));
    EXPECT_EQ(fromStdin("auto", "long.bin"), 2);
    EXPECT_TRUE(readFile(dir.file("chip.bin")) == readFile(dir.file("new.bin")));
}

TEST_F(Cli, ReadWritesFilesThatOtherToolsReadBack) {
    const std::string data = randomBytes(kOneMegabyte, 1);
    writeFile(dir.file("data.bin"), data);
    const auto written = run(sim({"--json", "auto", "data.bin"}));
    ASSERT_EQ(written.status, 0) << written.err;
    const auto sums = written.json()["checksums"];
    EXPECT_EQ(sums["crc32"].get<std::string>().size(), 8u);

    // Intel HEX as objcopy writes it: CR LF, 16-byte records, address records past 64 KB.
    ASSERT_EQ(run(sim({"read", "back.hex"})).status, 0);
    const std::string hex = readFile(dir.file("back.hex"));
    EXPECT_EQ(hex.substr(hex.size() - 13), ":00000001FF\r\n");
    EXPECT_NE(hex.find(":020000040001F9\r\n"), std::string::npos);
    const std::string d = dir.path();
    EXPECT_EQ(
        std::system(("objcopy -I ihex -O binary " + d + "/back.hex " + d + "/objcopy.bin").c_str()),
        0);
    EXPECT_EQ(
        std::system(("srec_cat " + d + "/back.hex -intel -o " + d + "/srec.bin -binary").c_str()),
        0);
    EXPECT_EQ(readFile(dir.file("objcopy.bin")), data);
    EXPECT_EQ(readFile(dir.file("srec.bin")), data);

    // The window's reader takes it as input, and a binary read is the chip as it is.
    const auto verified = run(sim({"--json", "verify", "back.hex"}));
    EXPECT_EQ(verified.status, 0);
    EXPECT_EQ(verified.json()["checksums"], sums);
    ASSERT_EQ(run(sim({"read", "back.bin"})).status, 0);
    EXPECT_EQ(readFile(dir.file("back.bin")), data);
}

TEST_F(Cli, A16MBChipProgrammedAndReadTwiceGivesOneChecksum) {
    writeFile(dir.file("image.bin"), randomBytes(16 * kOneMegabyte, 2));
    const auto programmed = run(sim({"--json", "auto", "image.bin"}, "W25Q128JV"));
    ASSERT_EQ(programmed.status, 0) << programmed.err;
    const auto read = run(sim({"--json", "read", "--passes", "2", "out.bin"}, "W25Q128JV"));
    ASSERT_EQ(read.status, 0) << read.err;
    const auto report = read.json();
    EXPECT_EQ(report["checksums"], programmed.json()["checksums"]);
    EXPECT_EQ(report["differences"]["totalBytes"], 0);
    EXPECT_EQ(report["bytes"], 16 * kOneMegabyte);
    EXPECT_GT(report["rate"].get<double>(), 0);
}

TEST_F(Cli, ChecksFindEveryDifferenceAndBytesThatReadUnstably) {
    writeFile(dir.file("erased.bin"), std::string(kOneMegabyte, '\xFF'));
    // Bit 0 flips at 299999, 599999 and 899999.
    const auto first = run(sim({"--sim-fault", "bit-flip=300000", "verify", "erased.bin"}));
    EXPECT_EQ(first.status, 3);
    EXPECT_NE(first.err.find("the first at 0x0493DF"), std::string::npos);
    const auto all =
        run(sim({"--json", "--sim-fault", "bit-flip=300000", "verify", "--all", "erased.bin"}));
    EXPECT_EQ(all.status, 3);
    const auto differences = all.json()["differences"];
    EXPECT_EQ(differences["totalRanges"], 3);
    EXPECT_EQ(differences["ranges"][2]["start"], 899999);
    EXPECT_EQ(differences["ranges"][2]["count"], 1);
    EXPECT_EQ(all.json().count("checksums"), 0u);

    // A bit that reads inverted on every other read: one pass sees nothing, two see it.
    EXPECT_EQ(run(sim({"--sim-fault", "loose-bit=0x4321", "read", "x.bin"})).status, 0);
    const auto twice =
        run(sim({"--sim-fault", "loose-bit=0x4321", "read", "--passes", "2", "x.bin"}));
    EXPECT_EQ(twice.status, 1);
    EXPECT_NE(twice.out.find("differs 0x004321-0x004321 1 byte"), std::string::npos);
    EXPECT_NE(twice.err.find("the first at 0x004321"), std::string::npos);
}

// A path the user names is read only when it is a regular file: a folder, a FIFO
// nobody writes to and an endless device end each program at once, with its message.
TEST_F(Cli, SpecialPathsEndEveryReaderAtOnce) {
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const std::string chipdb =
        (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "chipdb").string();
    for (const std::string& path : {dir.path(), dir.file("fifo"), std::string("/dev/zero")}) {
        SCOPED_TRACE(path);
        const auto memory = run({"--simulate", "--sim-memory", path, "read", "x.bin"});
        EXPECT_EQ(memory.status, 2);
        EXPECT_NE(memory.err.find("--sim-memory: " + path), std::string::npos) << memory.err;
        EXPECT_EQ(run(sim({"write", path})).status, 1);
        EXPECT_EQ(run(sim({"write", "--offset", "0", path})).status, 1);
        EXPECT_EQ(run(sim({"--yes", "update-firmware", path})).status, 1);
        for (const std::string& tool :
             {chipdb + " " + path + " out.cwdb", chipdb + " --list " + path}) {
            EXPECT_EQ(std::system(("timeout 10 " + tool + " 2>/dev/null").c_str()), 1 << 8);
        }
    }
}

// The simulated chip's file is the user's: a run that changed nothing leaves it as it
// was, and one of another size than the chip fills the chip's start and is never
// rewritten to the chip's size.
TEST_F(Cli, TheSimulatedChipsFileChangesOnlyWithTheChip) {
    const std::string image = randomBytes(kOneMegabyte, 9);
    writeFile(dir.file("chip.bin"), image);
    struct stat before {};
    ASSERT_EQ(stat(dir.file("chip.bin").c_str(), &before), 0);
    EXPECT_EQ(run(sim({"read", "x.bin"})).status, 0);
    struct stat after {};
    ASSERT_EQ(stat(dir.file("chip.bin").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "a read does not write the chip back";
    EXPECT_EQ(readFile(dir.file("x.bin")), image);

    // A shorter file is the start of the chip, erased after it, and stays as it is.
    writeFile(dir.file("chip.bin"), image.substr(0, 1000));
    EXPECT_EQ(run(sim({"read", "x.bin"})).status, 0);
    EXPECT_EQ(readFile(dir.file("x.bin")),
              image.substr(0, 1000) + std::string(kOneMegabyte - 1000, '\xFF'));
    EXPECT_EQ(readFile(dir.file("chip.bin")), image.substr(0, 1000));

    writeFile(dir.file("chip.bin"), "short");
    const auto erased = run(sim({"erase"}));
    EXPECT_EQ(erased.status, 0);
    EXPECT_NE(erased.err.find("not kept in " + dir.file("chip.bin")), std::string::npos)
        << erased.err;
    EXPECT_EQ(readFile(dir.file("chip.bin")), "short");
}

// On a terminal the bar fits its width, names the pass of a read made twice, and shows
// no rate before there is one to show.
TEST_F(Cli, TheProgressBarFitsTheTerminalAndNamesThePass) {
    int master = -1, slave = -1;
    struct winsize size {};
    size.ws_col = 60;
    size.ws_row = 24;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
    std::vector<std::string> args = sim({"--passes", "2", "read", "x.bin"});
    args[2] = "1000000";  // --sim-speed: a second a pass
    const pid_t reading = start(args, "", -1, slave);
    close(slave);
    std::string shown;
    char chunk[4096];
    for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;)
        shown.append(chunk, static_cast<std::size_t>(n));
    close(master);
    EXPECT_EQ(finish(reading).status, 0);
    bool secondPass = false;
    std::size_t from = 0;
    int bars = 0;
    while ((from = shown.find('\r', from)) != std::string::npos) {
        const std::size_t end = shown.find("\033[K", from);
        if (end == std::string::npos)
            break;
        const std::string frame = shown.substr(from + 1, end - from - 1);
        from = end;
        if (frame.empty())
            continue;
        ++bars;
        EXPECT_LT(frame.size(), 60u) << frame;
        secondPass = secondPass || frame.starts_with("pass 2/2 [");
        if (frame.find(" 0%") != std::string::npos) {
            EXPECT_EQ(frame.find("MB/s"), std::string::npos) << frame;
        }
    }
    EXPECT_GT(bars, 4);
    EXPECT_TRUE(secondPass) << shown;
}

TEST_F(Cli, BackupPatchAndBlankCheckChangeOnlyWhatTheyShould) {
    const std::string old = randomBytes(kOneMegabyte, 3);
    std::string data = randomBytes(kOneMegabyte, 4);
    writeFile(dir.file("chip.bin"), old);
    writeFile(dir.file("old.bin"), old);
    writeFile(dir.file("new.bin"), data);

    // The backup is the chip as it was, named by chip, time and hash; then the new data.
    const auto written =
        run(sim({"--json", "--backup", "saved", "--passes", "2", "auto", "new.bin"}));
    ASSERT_EQ(written.status, 0) << written.err;
    const auto backup = written.json()["backup"];
    const std::string file = backup["file"];
    EXPECT_EQ(file.substr(0, 15), "saved/W25Q80DV-");
    EXPECT_EQ(file.substr(file.size() - 12),
              backup["sha256"].get<std::string>().substr(0, 8) + ".bin");
    EXPECT_EQ(readFile(dir.file(file)), old);
    EXPECT_EQ(readFile(dir.file("chip.bin")), data);

    // A chip that reads as its backup did after the write is write-protected, whatever
    // its old bytes.
    const auto stuck = run(sim({"--json", "--sim-fault", "write-protect", "--backup", "saved",
                                "--diagnose", "auto", "old.bin"}));
    EXPECT_EQ(stuck.status, 3);
    EXPECT_EQ(stuck.json()["diagnosis"]["code"], "write-no-effect");

    // A backup that cannot be saved leaves the chip alone.
    writeFile(dir.file("blocked"), "a file where the folder would go");
    EXPECT_EQ(run(sim({"--backup", "blocked/sub", "erase"})).status, 1);
    EXPECT_EQ(readFile(dir.file("chip.bin")), data);

    // A patch changes its region only; one that runs past the chip is refused unread.
    writeFile(dir.file("patch.bin"), "PATCH");
    ASSERT_EQ(run(sim({"write", "--offset", "0x1000", "patch.bin"})).status, 0);
    data.replace(0x1000, 5, "PATCH");
    EXPECT_EQ(readFile(dir.file("chip.bin")), data);
    const auto past = run(sim({"--json", "write", "--offset", "0xFFFFC", "patch.bin"}));
    EXPECT_EQ(past.status, 2);
    EXPECT_EQ(past.json()["messages"].size(), 1u);
    EXPECT_EQ(readFile(dir.file("chip.bin")), data);
    // Stopped once its erase has begun, a patch leaves the chip as it was in a rescue
    // file, and says where and how to write it back.
    const pid_t patching = start({"--simulate=W25Q80DV", "--sim-speed", "2000000", "--sim-memory",
                                  dir.file("chip.bin"), "write", "--offset", "0", "patch.bin"});
    ASSERT_TRUE(waitForErr("Erasing...", std::chrono::seconds(30)));
    kill(patching, SIGINT);
    const auto stopped = finish(patching);
    EXPECT_EQ(stopped.status, 130);
    const std::string named = "old content is in the rescue file ";
    const std::size_t at = stopped.err.find(named);
    ASSERT_NE(at, std::string::npos) << stopped.err;
    const std::string rescue =
        stopped.err.substr(at + named.size(), stopped.err.find(';', at) - at - named.size());
    EXPECT_EQ(readFile(rescue), data);
    EXPECT_NE(readFile(dir.file("chip.bin")), data);
    const std::string restore = " -c W25Q80DV auto " + rescue + " writes it back";
    EXPECT_NE(stopped.err.find(restore), std::string::npos) << stopped.err;
    ASSERT_EQ(run(sim({"-c", "W25Q80DV", "auto", rescue})).status, 0);
    EXPECT_EQ(readFile(dir.file("chip.bin")), data);

    const auto full = run(sim({"--json", "blank-check"}));
    EXPECT_EQ(full.status, 3);
    EXPECT_EQ(full.json()["blank"]["firstNonBlank"], data.find_first_not_of('\xFF'));
    ASSERT_EQ(run(sim({"erase"})).status, 0);
    EXPECT_EQ(run(sim({"blank-check"})).status, 0);
}

// Each diagnosis comes from the fault that causes it and from no other: every command
// that can name one, under every fault, through the program with --json.
TEST_F(Cli, EachDiagnosisComesFromItsFaultAlone) {
    struct Fault {
        const char* name;
        std::vector<std::string> args;
        std::size_t fileBytes;  // the selected chip's size: files must fit it
    };
    const Fault faults[] = {
        {"none", {"--simulate=W25Q80DV"}, kOneMegabyte},
        {"empty socket", {"--simulate=W25Q80DV", "--sim-fault", "empty-socket"}, kOneMegabyte},
        {"write-protected", {"--simulate=W25Q80DV", "--sim-fault", "write-protect"}, kOneMegabyte},
        {"loose bit", {"--simulate=W25Q80DV", "--sim-fault", "loose-bit=0x4321"}, kOneMegabyte},
        {"24C02 in the socket, 24C04 selected", {"--simulate=AT24C02", "-c", "AT24C04"}, 512},
    };
    struct Command {
        std::vector<std::string> args;
        bool chipHoldsOld;                  // else the chip starts erased
        std::vector<std::string> expected;  // per fault, in their order; "" for none
    };
    const Command commands[] = {
        {{"--diagnose", "auto", "new.bin"}, false, {"", "no-chip", "write-no-effect", "", "wraps"}},
        {{"write", "new.bin"}, false, {"", "no-chip", "write-no-effect", "", ""}},
        {{"--diagnose", "verify", "old.bin"}, true, {"", "no-chip", "", "", "wraps"}},
        {{"--diagnose", "read", "--passes", "2", "x.bin"},
         true,
         {"", "no-chip", "", "unstable", "wraps"}},
        {{"--diagnose", "erase"}, true, {"", "no-chip", "erase-no-effect", "", ""}},
        {{"blank-check"}, true, {"", "no-chip", "", "", "wraps"}},
        {{"detect"}, true, {"", "no-chip", "", "", ""}},
    };
    for (const Command& command : commands) {
        for (std::size_t f = 0; f < std::size(faults); ++f) {
            SCOPED_TRACE(command.args[command.args.size() > 1 ? 1 : 0] + " / " + faults[f].name);
            writeFile(dir.file("old.bin"), randomBytes(faults[f].fileBytes, 5));
            writeFile(dir.file("new.bin"), randomBytes(faults[f].fileBytes, 6));
            std::filesystem::remove(dir.file("chip.bin"));
            if (command.chipHoldsOld)
                std::filesystem::copy_file(dir.file("old.bin"), dir.file("chip.bin"));
            std::vector<std::string> args = faults[f].args;
            args.insert(args.end(), {"--json", "--sim-speed", "max", "--sim-memory", "chip.bin"});
            args.insert(args.end(), command.args.begin(), command.args.end());
            const auto result = run(args);
            const auto report = result.json();
            const std::string code =
                report.contains("diagnosis") ? report["diagnosis"]["code"] : "";
            EXPECT_EQ(code, command.expected[f]) << result.err;
        }
    }
    // A read of an empty socket is no read: neither a file nor checksums.
    const auto empty =
        run(sim({"--json", "--sim-fault", "empty-socket", "--diagnose", "read", "empty.bin"}));
    EXPECT_EQ(empty.status, 1);
    EXPECT_FALSE(empty.json().contains("checksums")) << empty.out;
    EXPECT_FALSE(std::filesystem::exists(dir.file("empty.bin")));
}

// What a refused run leaves: the simulated chip's file byte for byte as it was.
TEST_F(Cli, TheChipInTheSocketIsCheckedBeforeItIsTouched) {
    const std::string old = randomBytes(kOneMegabyte, 7);
    writeFile(dir.file("chip.bin"), old);
    writeFile(dir.file("two.bin"), randomBytes(2 * kOneMegabyte, 8));
    // The socket holds a W25Q80DV (EF 13); a W25Q16JV (EF 14) is selected.
    const auto wrong = run(sim({"--json", "-c", "W25Q16JV", "auto", "two.bin"}));
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.json()["result"], "wrong-chip");
    EXPECT_NE(wrong.err.find("the chip in the socket is W25Q80DV, "), std::string::npos)
        << wrong.err;
    EXPECT_NE(wrong.err.find("(IDs EF 13), not W25Q16JV (IDs EF 14)"), std::string::npos);
    const auto empty = run(sim({"--json", "--sim-fault", "empty-socket", "erase"}));
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.json()["result"], "no-chip");
    EXPECT_NE(empty.err.find("no chip or no contact"), std::string::npos);
    EXPECT_EQ(readFile(dir.file("chip.bin")), old);
    // --force runs the command on whatever is in the socket.
    const auto forced = run(sim({"-c", "W25Q16JV", "--force", "blank-check"}));
    EXPECT_NE(forced.err.find("--force: the chip in the socket is not checked"), std::string::npos);
    EXPECT_EQ(forced.status, 3);
}

TEST_F(Cli, AutoChipTakesTheSocketsChipUnlessSharedIdsLeaveItOpen) {
    const auto unique = run(sim({"--json", "-c", "auto", "read", "x.bin"}, "W25Q16JV"));
    EXPECT_EQ(unique.status, 0) << unique.err;
    EXPECT_EQ(unique.json()["chip"], "W25Q16JV");
    EXPECT_EQ(unique.json()["bytes"], 2 * kOneMegabyte);
    // MX25L8008E (1 MB) and MX25V4035F (512 KB) both answer C2 13.
    const auto shared = run(sim({"--json", "-c", "auto", "read", "x.bin"}, "MX25L8008E"));
    EXPECT_EQ(shared.status, 2);
    EXPECT_EQ(shared.json()["result"], "ambiguous-chip");
    EXPECT_NE(shared.err.find("MX25V4035F"), std::string::npos);
    const auto detect = run({"--simulate=MX25L8008E", "detect"});
    EXPECT_EQ(detect.status, 0);
    EXPECT_NE(detect.out.find("ids C2 13\n"), std::string::npos);
    EXPECT_NE(detect.out.find("MX25V4035F"), std::string::npos);
}

TEST_F(Cli, AFileMustFitTheChipUnlessPaddedOrOnlyVerified) {
    const std::string old = randomBytes(kOneMegabyte, 7);
    writeFile(dir.file("chip.bin"), old);
    writeFile(dir.file("long.bin"), randomBytes(kOneMegabyte + 1, 8));
    const std::string half = randomBytes(kOneMegabyte / 2, 9);
    writeFile(dir.file("half.bin"), half);
    EXPECT_EQ(run(sim({"write", "long.bin"})).status, 2);
    EXPECT_EQ(run(sim({"verify", "long.bin"})).status, 2);
    EXPECT_EQ(run(sim({"auto", "half.bin"})).status, 2);
    EXPECT_EQ(readFile(dir.file("chip.bin")), old);

    // Padded: the rest of the chip is 0xFF; the file's checksums and the chip's apart.
    const auto padded = run(sim({"--json", "--pad", "auto", "half.bin"}));
    ASSERT_EQ(padded.status, 0) << padded.err;
    EXPECT_EQ(readFile(dir.file("chip.bin")), half + std::string(kOneMegabyte / 2, '\xFF'));
    EXPECT_NE(padded.json()["checksums"], padded.json()["chipChecksums"]);
    // verify compares the file's bytes only, and finds a difference among them.
    writeFile(dir.file("chip.bin"), half + old.substr(kOneMegabyte / 2));
    const auto part = run(sim({"--json", "verify", "half.bin"}));
    EXPECT_EQ(part.status, 0) << part.err;
    EXPECT_EQ(part.json()["checksums"], padded.json()["checksums"]);
    EXPECT_EQ(run(sim({"--pad", "verify", "half.bin"})).status, 3);
    writeFile(dir.file("half.bin"), half.substr(0, 1000) + "x" + half.substr(1001));
    const auto differs = run(sim({"verify", "half.bin"}));
    EXPECT_EQ(differs.status, 3);
    EXPECT_NE(differs.err.find("first difference at 0x0003E8"), std::string::npos);
}

// Intel HEX records: the 64 KB of `data` after an extended linear address of 1.
std::string hexAt64K(const std::string& data) {
    std::string text;
    auto record = [&](unsigned type, unsigned address, std::string_view bytes) {
        std::string line = ":";
        unsigned sum = 0;
        auto put = [&](unsigned value) {
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02X", value & 0xFF);
            line += digits;
            sum += value;
        };
        put(static_cast<unsigned>(bytes.size()));
        put(address >> 8);
        put(address);
        put(type);
        for (char c : bytes)
            put(static_cast<unsigned char>(c));
        put(0x100 - (sum & 0xFF));
        text += line + "\n";
    };
    record(4, 0, std::string("\x00\x01", 2));
    for (unsigned a = 0; a < data.size(); a += 16)
        record(0, a, std::string_view(data).substr(a, 16));
    record(1, 0, "");
    return text;
}

TEST_F(Cli, IntelHexSaysWhereItsDataLandAndIsReadOnlyUnderItsName) {
    const std::string data = randomBytes(0x10000, 10);
    writeFile(dir.file("based.hex"), hexAt64K(data));
    writeFile(dir.file("based.ihx"), hexAt64K(data));
    const auto placed = run(sim({"--pad", "auto", "based.hex"}));
    ASSERT_EQ(placed.status, 0) << placed.err;
    EXPECT_NE(placed.err.find("data from 0x010000 placed at 0x000000"), std::string::npos);
    const std::string chip = readFile(dir.file("chip.bin"));
    EXPECT_EQ(chip.substr(0, 0x10000), data);
    const auto misnamed = run(sim({"--pad", "auto", "based.ihx"}));
    EXPECT_EQ(misnamed.status, 2);
    EXPECT_NE(misnamed.err.find("holds Intel HEX"), std::string::npos);
    EXPECT_EQ(readFile(dir.file("chip.bin")), chip);
}

// write reads an SPI flash back: a write-protected chip fails it with its cause, and so
// does one that held other data and was not erased.
TEST_F(Cli, WriteReadsTheFlashBackUnlessToldNotTo) {
    writeFile(dir.file("image.bin"), randomBytes(kOneMegabyte, 11));
    const auto stuck = run(sim({"--json", "--sim-fault", "write-protect", "write", "image.bin"}));
    EXPECT_EQ(stuck.status, 3);
    EXPECT_EQ(stuck.json()["diagnosis"]["code"], "write-no-effect");
    writeFile(dir.file("chip.bin"), randomBytes(kOneMegabyte, 12));
    const auto old = run(sim({"--json", "write", "image.bin"}));
    EXPECT_EQ(old.status, 3);
    EXPECT_EQ(old.json()["diagnosis"]["code"], "not-erased");
    EXPECT_NE(old.err.find("diagnosis: not-erased: "), std::string::npos) << old.err;
    EXPECT_EQ(
        run(sim({"--sim-fault", "write-protect", "--no-verify", "write", "image.bin"})).status, 0);
}

TEST_F(Cli, RepeatProgramsEachSwappedChipWithTheNextSerialAndOneCsvLine) {
    writeFile(dir.file("image.bin"), randomBytes(kOneMegabyte, 3));
    const auto start = std::chrono::steady_clock::now();
    const auto line =
        run(sim({"--sim-swap=200", "--repeat", "--next-on-id", "--count", "3", "--serial",
                 "0x100:ascii:4:8", "--report", "chips.csv", "write", "image.bin"}));
    ASSERT_EQ(line.status, 0) << line.err;
    EXPECT_NE(line.err.find("chip 3 (serial 0010): passed; passed 3, failed 0"), std::string::npos);
    // Each chip waited for its predecessor to go and for itself to read steadily.
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2 * 700));
    const std::string csv = readFile(dir.file("chips.csv"));
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = csv.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(csv.substr(at, end - at));
    ASSERT_EQ(lines.size(), 4u) << csv;
    EXPECT_EQ(lines[0], "time,chip,command,result,sha256,diagnosis,serial");
    const char* serials[] = {"0008", "0009", "0010"};
    for (std::size_t chip = 1; chip <= 3; ++chip) {
        EXPECT_NE(lines[chip].find(",W25Q80DV,write,done,"), std::string::npos) << lines[chip];
        EXPECT_TRUE(lines[chip].ends_with(std::string(",,") + serials[chip - 1])) << lines[chip];
    }
    // The last chip in the socket carries its own number; the rest is the image.
    const std::string last = readFile(dir.file("chip.bin"));
    EXPECT_EQ(last.substr(0x100, 4), "0010");
    EXPECT_EQ(last.substr(0x104), readFile(dir.file("image.bin")).substr(0x104));

    EXPECT_EQ(run(sim({"--serial", "0xFFFFE:u32le:1", "write", "image.bin"})).status, 2);
    // Each chip reports its own backup: none when its backup could not be saved. A write
    // is read back, so it starts on an erased chip, not on the last one's serial number.
    std::filesystem::remove(dir.file("chip.bin"));
    const pid_t saving =
        this->start(sim({"--json", "--sim-swap=200", "--repeat", "--next-on-id", "--count", "2",
                         "--backup", "saved", "write", "image.bin"}));
    ASSERT_TRUE(waitForErr("chip 1: passed", std::chrono::seconds(30)));
    std::filesystem::rename(dir.file("saved"), dir.file("saved.1"));
    writeFile(dir.file("saved"), "a file where the folder would go");
    const auto saved = finish(saving);
    EXPECT_EQ(saved.status, 1);
    const std::size_t secondLine = saved.out.find('\n') + 1;
    EXPECT_TRUE(nlohmann::json::parse(saved.out.substr(0, secondLine)).contains("backup"));
    EXPECT_FALSE(nlohmann::json::parse(saved.out.substr(secondLine)).contains("backup"));
    // A FIFO in the report's place is refused, not waited on until something reads it.
    ASSERT_EQ(mkfifo(dir.file("fifo.csv").c_str(), 0600), 0);
    EXPECT_EQ(run(sim({"--report", "fifo.csv", "write", "image.bin"})).status, 1);
    // A patch would cover the number with the chip's old bytes.
    EXPECT_EQ(run(sim({"--serial", "0:u32le:1", "write", "--offset", "0", "image.bin"})).status, 2);
    // Enter between chips: the end of input ends the run after the first chip.
    const auto enter = run(sim({"--repeat", "write", "image.bin"}));
    EXPECT_EQ(enter.status, 0);
    EXPECT_NE(enter.err.find("chips: passed 1, failed 0"), std::string::npos);
    // The chip in the socket at the start is checked like the later ones: another chip
    // than the selected one is not programmed.
    const pid_t wrong = this->start(sim({"-c", "W25Q80DV", "--repeat", "--next-on-id", "--report",
                                         "wrong.csv", "write", "image.bin"},
                                        "W25Q16JV"));
    ASSERT_TRUE(waitForErr("not programmed", std::chrono::seconds(30)));
    kill(wrong, SIGINT);
    EXPECT_EQ(finish(wrong).status, 1);
    EXPECT_NE(readFile(dir.file("wrong.csv")).find(",W25Q80DV,write,wrong-chip,"),
              std::string::npos);
    const auto doctor = run({"--simulate", "--json", "doctor"});
    EXPECT_EQ(doctor.status, 0);
    EXPECT_EQ(doctor.json()["programmers"][0]["place"], "sim-1");
}

// Every command's object, however its run ends, is of the documented shape (fields,
// types, results with their exit statuses): all validated against the schema at once.
TEST_F(Cli, EveryJsonObjectIsOfTheDocumentedShape) {
    writeFile(dir.file("image.bin"), randomBytes(kOneMegabyte, 5));
    writeFile(dir.file("other.bin"), randomBytes(kOneMegabyte, 6));
    writeFile(dir.file("patch.bin"), "patch");
    writeFile(dir.file("fw.tnx"), std::string(1000, '\x33'));
    const std::vector<std::vector<std::string>> runs = {
        {"chips", "W25Q80"},
        {"info", "W25Q80DV"},
        sim({"detect"}),
        sim({"version"}),
        sim({"selftest"}),
        {"--simulate", "doctor"},
        sim({"read", "out.bin"}),
        sim({"write", "image.bin"}),
        sim({"verify", "image.bin"}),
        sim({"verify", "other.bin"}),
        sim({"erase"}),
        sim({"auto", "image.bin"}),
        sim({"--sim-fault", "write-protect", "auto", "image.bin"}),
        sim({"blank-check"}),
        sim({"write", "--offset", "0x100", "patch.bin"}),
        {"--passes", "0", "read", "x.bin"},
        sim({"frobnicate"}),
        sim({"-c", "W25Q16JV", "read", "x.bin"}),
        {"read", "x.bin"},
        {"--simulate", "--yes", "update-firmware", "fw.tnx"},
        sim({"--sim-swap=200", "--repeat", "--next-on-id", "--count", "2", "--serial",
             "0x100:u32le:7", "auto", "image.bin"}),
    };
    std::string files;
    std::vector<nlohmann::json> objects;
    for (std::vector<std::string> args : runs) {
        args.insert(args.begin(), "--json");
        const auto r = run(args);
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            const std::string file = dir.file("object" + std::to_string(objects.size()));
            writeFile(file, line);
            files += " '" + file + "'";
            objects.push_back(nlohmann::json::parse(line));
        }
        ASSERT_FALSE(objects.empty()) << r.err;
        EXPECT_EQ(objects.back()["exitStatus"], r.status) << r.out;
    }
    // Each chip of the run says its own number.
    EXPECT_EQ(objects[objects.size() - 2]["serial"], "7");
    EXPECT_EQ(objects.back()["serial"], "8");

    const std::string source = CHIPWRIGHT_SOURCE_DIR;
    const std::string check = "/usr/bin/python3 '" + source + "/tests/cli/check_json.py' '" +
                              source + "/docs/cli-json.schema.json'" + files + " 2>&1";
    std::FILE* validator = popen(check.c_str(), "r");
    ASSERT_NE(validator, nullptr);
    std::string said;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, validator)) > 0;)
        said.append(chunk, n);
    EXPECT_EQ(pclose(validator), 0) << said;
}

}  // namespace
