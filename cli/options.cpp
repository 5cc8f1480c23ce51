// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/options.h"

#include <charconv>

#include "cli/production_line.h"

namespace cli {
namespace {

constexpr int kMaxPasses = 100;
constexpr std::uint64_t kDefaultSimSwapMs = 1000;
constexpr std::uint64_t kMaxSimSwapMs = 600'000;

bool parseCount(const std::string& text, std::uint64_t* value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, *value);
    return !text.empty() && result.ec == std::errc{} && result.ptr == end;
}

// A count or an address: decimal, or hexadecimal after "0x".
bool parseAddress(const std::string& text, std::uint64_t* value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* begin = text.data() + (hex ? 2 : 0);
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(begin, end, *value, hex ? 16 : 10);
    return begin != end && result.ec == std::errc{} && result.ptr == end;
}

}  // namespace

std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string* error) {
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        bool hasValue = false;
        if (arg.starts_with("--")) {
            if (const auto eq = arg.find('='); eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.resize(eq);
                hasValue = true;
            }
        } else if (arg.starts_with("-c") && arg.size() > 2) {
            value = arg.substr(2);
            arg = "-c";
            hasValue = true;
        }
        // The value of an option that needs one: after '=' or as the next argument.
        auto takeValue = [&](std::string* into) {
            if (!hasValue) {
                if (i + 1 >= args.size()) {
                    *error = arg + " needs a value";
                    return false;
                }
                value = args[++i];
            }
            *into = value;
            return true;
        };
        auto noValue = [&](bool* flag) {
            if (hasValue) {
                *error = arg + " takes no value";
                return false;
            }
            *flag = true;
            return true;
        };
        bool ok = true;
        if (arg == "-h" || arg == "--help") {
            ok = noValue(&o.help);
        } else if (arg == "-c" || arg == "--chip") {
            ok = takeValue(&o.chip);
        } else if (arg == "--type") {
            ok = takeValue(&o.type);
        } else if (arg == "--lang") {
            ok = takeValue(&o.language);
        } else if (arg == "--json") {
            ok = noValue(&o.json);
        } else if (arg == "-q" || arg == "--quiet") {
            ok = noValue(&o.quiet);
        } else if (arg == "-y" || arg == "--yes") {
            ok = noValue(&o.yes);
        } else if (arg == "--all") {
            ok = noValue(&o.all);
        } else if (arg == "--passes") {
            std::string text;
            std::uint64_t n = 0;
            ok = takeValue(&text);
            if (ok && (!parseCount(text, &n) || n < 1 || n > kMaxPasses)) {
                *error = "--passes needs a count from 1 to " + std::to_string(kMaxPasses);
                ok = false;
            }
            o.passes = static_cast<int>(n);
        } else if (arg == "--backup") {
            ok = takeValue(&o.backup);
            if (ok && o.backup.empty()) {
                *error = "--backup needs a folder";
                ok = false;
            }
        } else if (arg == "--offset") {
            std::string text;
            std::uint64_t n = 0;
            ok = takeValue(&text);
            if (ok && !parseAddress(text, &n)) {
                *error = "--offset needs an address (decimal, or hexadecimal after 0x)";
                ok = false;
            }
            o.offset = n;
        } else if (arg == "--diagnose") {
            ok = noValue(&o.diagnose);
        } else if (arg == "--force") {
            ok = noValue(&o.force);
        } else if (arg == "--pad") {
            ok = noValue(&o.pad);
        } else if (arg == "--no-verify") {
            ok = noValue(&o.noVerify);
        } else if (arg == "--simulate") {
            o.simulate = true;
            o.simulatedChip = value;
        } else if (arg == "--sim-speed") {
            std::string text;
            std::uint64_t n = 0;
            ok = takeValue(&text);
            if (ok && text == "max") {
                o.simSpeed = 0;
            } else if (ok && parseCount(text, &n) && n > 0) {
                o.simSpeed = n;
            } else if (ok) {
                *error = "--sim-speed needs bytes per second or \"max\"";
                ok = false;
            }
        } else if (arg == "--sim-fault") {
            std::string fault;
            ok = takeValue(&fault);
            o.simFaults.push_back(fault);
        } else if (arg == "--sim-memory") {
            ok = takeValue(&o.simMemory);
        } else if (arg == "--sim-swap") {
            std::uint64_t ms = kDefaultSimSwapMs;
            if (hasValue && (!parseCount(value, &ms) || ms > kMaxSimSwapMs)) {
                *error = "--sim-swap takes milliseconds up to " + std::to_string(kMaxSimSwapMs);
                ok = false;
            }
            o.simSwapMs = static_cast<std::uint32_t>(ms);
        } else if (arg == "--device") {
            ok = takeValue(&o.device);
            if (ok && (o.device.empty() || o.device.find('#') != std::string::npos)) {
                *error = "--device needs a place as doctor lists it, e.g. 1-4";
                ok = false;
            }
        } else if (arg == "--repeat") {
            ok = noValue(&o.repeat);
        } else if (arg == "--next-on-id") {
            ok = noValue(&o.nextOnId);
        } else if (arg == "--count") {
            std::string text;
            std::uint64_t n = 0;
            ok = takeValue(&text);
            if (ok && (!parseCount(text, &n) || n < 1)) {
                *error = "--count needs a number of chips, at least 1";
                ok = false;
            }
            o.count = n;
        } else if (arg == "--report") {
            ok = takeValue(&o.reportFile);
            if (ok && o.reportFile.empty()) {
                *error = "--report needs a file";
                ok = false;
            }
        } else if (arg == "--serial") {
            ok = takeValue(&o.serial) && parseSerial(o.serial, error).has_value();
        } else if (arg.size() > 1 && arg[0] == '-') {
            *error = "unknown option " + arg;
            ok = false;
        } else if (o.command.empty()) {
            o.command = arg;
        } else {
            o.arguments.push_back(arg);
        }
        if (!ok)
            return std::nullopt;
    }
    if (!o.simulate &&
        (o.simSpeed || !o.simFaults.empty() || !o.simMemory.empty() || o.simSwapMs)) {
        *error = "--sim-speed, --sim-fault, --sim-memory and --sim-swap need --simulate";
        return std::nullopt;
    }
    if (!o.repeat && (o.nextOnId || o.count)) {
        *error = "--next-on-id and --count need --repeat";
        return std::nullopt;
    }
    return o;
}

std::string helpText() {
    return R"(Usage: chipwright-cli [OPTIONS] COMMAND [ARGUMENTS]

Commands:
  chips [PATTERN]     list the chips of the database whose name holds PATTERN
                      ('*' separates parts that must appear in order); --type narrows
  info CHIP           the facts the database holds about CHIP
  detect              ask the programmer which chip is in the socket and select it;
                      prints its IDs and every chip of the database that carries them
  read FILE           read the chip into FILE: Intel HEX when FILE ends in "hex" or
                      "HEX", binary otherwise. An Intel HEX file read for write,
                      verify or auto is placed by its load base: when its first
                      extended address record comes before any data, that address
                      is the chip's 0; otherwise the file's addresses are the chip's.
                      Where the data landed is said. Intel HEX content under another
                      name (.ihx, .Hex) is refused
  write FILE          write FILE (binary, or Intel HEX by the same rule) to the chip,
                      and read an SPI flash back
  verify FILE         compare the chip with FILE
  erase               erase the chip (SPI flash only)
  auto FILE           erase (SPI flash), write and verify
  blank-check         read the chip and check that it is erased (every byte 0xFF)
  version             the programmer's firmware version
  selftest            the programmer's self test
  update-firmware FILE  replace the programmer's firmware with FILE; asked first on
                      a terminal, refused without one unless --yes (exit 2)
  doctor              what stands between you and the programmer: each programmer on
                      the bus, whether you can open it, and if not why and the fix

Options:
  -c, --chip NAME     the chip to work on (default: the window's default chip; the
                      window's setting is never changed). An SPI flash is checked
                      before read, write, verify, erase, auto and blank-check: its IDs
                      must be the chip's, else nothing is done (exit 1)
  -c auto             the chip whose IDs the chip in the socket answers; when chips of
                      different size or page share them, they are listed (exit 2)
  --force             do not check the chip in the socket against -c
  --pad               write, auto, verify: fill a file shorter than the chip up with
                      0xFF (without it a shorter file is refused; verify compares
                      only the file's length). A longer file is always refused
  --no-verify         write: do not read an SPI flash back after writing it
  --type TYPE         for chips: spi, 24, 25 or 93
  --lang LANGUAGE     English or SimpleChinese for this run (default: config.ini)
  --json              one JSON object on stdout describing the run
  -q, --quiet         no progress bar and no status lines; messages still go to stderr
  -y, --yes           answer the firmware update's questions (whether to start, and
                      OK/Cancel while waiting for the programmer) with OK when stdin
                      is no terminal (without it, update-firmware is refused)
  --all               verify: list every difference instead of stopping at the first
  --passes N          read: read the chip N times and fail on any byte that differed
                      (also for blank-check, --backup and write --offset)
  --backup DIR        write, erase, auto: first read the chip and save it in DIR as
                      CHIP-DATE-TIME-SHA256PREFIX.bin; if that fails, nothing is changed
  --offset ADDR       write: put the binary FILE at ADDR (decimal or 0x...) and keep
                      the rest of the chip (read, erase for SPI flash, write, verify)
  --diagnose          verify, auto, write --offset: after a failed verify, read the chip
                      twice to name the likely cause (write's read-back always does);
                      erase: read it back and check it
                      is blank; read: ask an SPI flash that reads empty for its IDs
                      (blank-check always does)
  --simulate[=CHIP]   use the simulated programmer, with CHIP (default: the selected
                      chip) in its socket
  --sim-speed B|max   the simulated programmer's pace in bytes per second
  --sim-fault NAME[=VALUE]  inject a fault of the simulated programmer (repeatable):
                      stall=BYTES, disconnect=BYTES, cut-read=BYTES, garbage=PACKETS,
                      wrong-reply, bit-flip=EVERY, loose-bit=ADDRESS, never-ready,
                      fail-self-test, silent, write-protect, empty-socket
  --sim-memory FILE   keep the simulated chip's contents in FILE between runs
  --sim-swap[=MS]     after each chip the simulator takes it out and MS later (default
                      1000) puts a fresh erased one in, for trying --repeat
  --device PLACE      the programmer at PLACE (bus-port, e.g. 1-4, as doctor lists
                      them); default: the lowest. One chipwright-cli per programmer may
                      run at once; a programmer in use by another program is refused
  --repeat            write, verify, auto, erase: chip after chip; after each, wait for
                      Enter (a line on stdin; Ctrl-D ends) and run again. Pass and fail
                      counts on stderr; Ctrl-C between chips ends the run
  --next-on-id        with --repeat: instead of Enter, wait until the chip's IDs vanish
                      and come back (not for chips that answer no ID, the EEPROMs)
  --count N           with --repeat: stop after N chips
  --report FILE       append one CSV line per chip to FILE (header when new): time,
                      chip, command, result, sha256, diagnosis, serial
  --serial ADDR:FORMAT:START  write (not --offset), auto: put a serial number into
                      the image at ADDR before writing, START for the first chip, one
                      more for each chip that passed; FORMAT u32le, u32be or ascii:N
                      (N zero-padded digits)
  -h, --help          this text

Messages and status texts go to stderr, one line each, in the configured language;
results go to stdout. The log file is the window's.

A diagnosis (after a failed verify with --diagnose, an erase check, unstable reads, a
read of an EEPROM whose halves repeat, or IDs FF FF) is printed on stderr as
"diagnosis: CODE: ...", CODE one of no-chip, not-erased, erase-no-effect, unstable,
wraps.

Exit status:
  0    done
  1    the operation failed; no chip in the socket, or another chip than -c
  2    usage error or unknown chip; a FILE longer than the chip, or shorter
       without --pad; a write --offset FILE that runs past the chip; -c auto
       with IDs that chips of different size share; update-firmware without a
       terminal and without --yes
  3    verify (or write's read-back) found a difference; blank-check found the chip not blank
  4    no programmer (none found, none this user may open, or the one asked for is
       in use by another program)
  130  interrupted by Ctrl-C (the transfer is stopped and the programmer settled first;
       a second Ctrl-C exits at once)
  143  stopped by SIGTERM, 129 by SIGHUP, the same way as Ctrl-C
Output that cannot be written (a full disk, a closed pipe) fails the run (exit 1); a
read's FILE is still saved.
With --repeat: 0 when every chip passed, 1 when one failed, 130 when Ctrl-C stopped a
chip's transfer (Ctrl-C between chips ends the run with 0 or 1).
)";
}

}  // namespace cli
