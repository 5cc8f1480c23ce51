// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/options.h"

#include <charconv>
#include <string_view>

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

// Digits, then the rest of `text`: false when there is no digit at its start.
bool takeDigits(std::string_view& text) {
    const auto digits = text.find_first_not_of("0123456789");
    const std::size_t count = digits == std::string_view::npos ? text.size() : digits;
    text.remove_prefix(count);
    return count > 0;
}

// Where a programmer sits, as doctor lists it: bus-port[.port...] ("1-4", "2-1.3"), or
// the simulator's "sim-N".
bool isDevicePlace(const std::string& place) {
    std::string_view rest = place;
    if (rest.starts_with("sim-")) {
        rest.remove_prefix(4);
        return takeDigits(rest) && rest.empty();
    }
    if (!takeDigits(rest) || !rest.starts_with('-'))
        return false;
    rest.remove_prefix(1);
    if (!takeDigits(rest))
        return false;
    while (rest.starts_with('.')) {
        rest.remove_prefix(1);
        if (!takeDigits(rest))
            return false;
    }
    return rest.empty();
}

bool fail(std::string* error, std::string why) {
    *error = std::move(why);
    return false;
}

// An option's value: nullptr when it was given none (only for Takes::Nothing and
// Takes::MaybeValue).
using Apply = bool (*)(Options& o, const std::string* value, std::string* error);

enum class Takes { Nothing, Value, MaybeValue };

struct OptionRow {
    char shortName;        // '\0' when it has none
    const char* longName;  // without its dashes
    Takes takes;
    // The commands it is for, each between blanks; nullptr: every command.
    const char* commands;
    Apply apply;
};

constexpr const char* kTransfers = " read write verify erase auto blank-check ";
constexpr const char* kProgrammer =
    " read write verify erase auto blank-check detect version selftest update-firmware doctor ";
constexpr const char* kCommands =
    " chips info read write verify erase auto blank-check detect "
    "version selftest update-firmware doctor line ";

// Every option: its names, its value, the commands it is for, and what it sets.
const OptionRow kOptions[] = {
    {'h', "help", Takes::Nothing, nullptr,
     [](Options& o, const std::string*, std::string*) { return o.help = true; }},
    {'\0', "version", Takes::Nothing, nullptr,
     [](Options& o, const std::string*, std::string*) { return o.version = true; }},
    {'c', "chip", Takes::Value, " read write verify erase auto blank-check detect line ",
     [](Options& o, const std::string* v, std::string*) { return o.chip = *v, true; }},
    {'\0', "type", Takes::Value, " chips ",
     [](Options& o, const std::string* v, std::string*) { return o.type = *v, true; }},
    {'\0', "lang", Takes::Value, nullptr,
     [](Options& o, const std::string* v, std::string*) { return o.language = *v, true; }},
    {'\0', "json", Takes::Nothing, nullptr,
     [](Options& o, const std::string*, std::string*) { return o.json = true; }},
    {'q', "quiet", Takes::Nothing, nullptr,
     [](Options& o, const std::string*, std::string*) { return o.quiet = true; }},
    {'y', "yes", Takes::Nothing, " update-firmware ",
     [](Options& o, const std::string*, std::string*) { return o.yes = true; }},
    {'\0', "all", Takes::Nothing, " verify ",
     [](Options& o, const std::string*, std::string*) { return o.all = true; }},
    {'\0', "passes", Takes::Value, " read blank-check write erase auto ",
     [](Options& o, const std::string* v, std::string* error) {
         std::uint64_t n = 0;
         if (!parseCount(*v, &n) || n < 1 || n > kMaxPasses)
             return fail(error, "--passes needs a count from 1 to " + std::to_string(kMaxPasses));
         o.passes = static_cast<int>(n);
         return true;
     }},
    {'\0', "backup", Takes::Value, " write erase auto ",
     [](Options& o, const std::string* v, std::string* error) {
         o.backup = *v;
         return !v->empty() || fail(error, "--backup needs a folder");
     }},
    {'\0', "offset", Takes::Value, " write ",
     [](Options& o, const std::string* v, std::string* error) {
         std::uint64_t n = 0;
         if (!parseAddress(*v, &n))
             return fail(error, "--offset needs an address (decimal, or hexadecimal after 0x)");
         o.offset = n;
         return true;
     }},
    {'\0', "diagnose", Takes::Nothing, " read write verify erase auto blank-check ",
     [](Options& o, const std::string*, std::string*) { return o.diagnose = true; }},
    {'\0', "force", Takes::Nothing, kTransfers,
     [](Options& o, const std::string*, std::string*) { return o.force = true; }},
    {'\0', "pad", Takes::Nothing, " write verify auto ",
     [](Options& o, const std::string*, std::string*) { return o.pad = true; }},
    {'\0', "no-verify", Takes::Nothing, " write ",
     [](Options& o, const std::string*, std::string*) { return o.noVerify = true; }},
    // A mode rather than a setting: a script that works on the simulator passes it to
    // every command, those that need no programmer included.
    {'\0', "simulate", Takes::MaybeValue, nullptr,
     [](Options& o, const std::string* v, std::string*) {
         o.simulate = true;
         o.simulatedChip = v ? *v : "";
         return true;
     }},
    {'\0', "sim-speed", Takes::Value, kProgrammer,
     [](Options& o, const std::string* v, std::string* error) {
         std::uint64_t n = 0;
         if (*v == "max")
             o.simSpeed = 0;
         else if (parseCount(*v, &n) && n > 0)
             o.simSpeed = n;
         else
             return fail(error, "--sim-speed needs bytes per second or \"max\"");
         return true;
     }},
    {'\0', "sim-fault", Takes::Value, kProgrammer,
     [](Options& o, const std::string* v, std::string*) {
         o.simFaults.push_back(*v);
         return true;
     }},
    {'\0', "sim-memory", Takes::Value, kProgrammer,
     [](Options& o, const std::string* v, std::string*) { return o.simMemory = *v, true; }},
    {'\0', "sim-tray", Takes::Value, kProgrammer,
     [](Options& o, const std::string* v, std::string*) { return o.simTray = *v, true; }},
    {'\0', "sim-swap", Takes::MaybeValue, kProgrammer,
     [](Options& o, const std::string* v, std::string* error) {
         std::uint64_t ms = kDefaultSimSwapMs;
         if (v && (!parseCount(*v, &ms) || ms > kMaxSimSwapMs))
             return fail(error,
                         "--sim-swap takes milliseconds up to " + std::to_string(kMaxSimSwapMs));
         o.simSwapMs = static_cast<std::uint32_t>(ms);
         return true;
     }},
    {'\0', "device", Takes::Value, kProgrammer,
     [](Options& o, const std::string* v, std::string* error) {
         o.device = *v;
         return isDevicePlace(*v) ||
                fail(error, "--device needs a place as doctor lists it, e.g. 1-4 or sim-1");
     }},
    {'\0', "repeat", Takes::Nothing, " write verify auto erase ",
     [](Options& o, const std::string*, std::string*) { return o.repeat = true; }},
    {'\0', "next-on-id", Takes::Nothing, " write verify auto erase ",
     [](Options& o, const std::string*, std::string*) { return o.nextOnId = true; }},
    {'\0', "count", Takes::Value, " write verify auto erase line ",
     [](Options& o, const std::string* v, std::string* error) {
         std::uint64_t n = 0;
         if (!parseCount(*v, &n) || n < 1)
             return fail(error, "--count needs a number of chips, at least 1");
         o.count = n;
         return true;
     }},
    {'\0', "report", Takes::Value, " read write verify auto erase ",
     [](Options& o, const std::string* v, std::string* error) {
         o.reportFile = *v;
         return !v->empty() || fail(error, "--report needs a file");
     }},
    {'\0', "serial", Takes::Value, " write auto line ",
     [](Options& o, const std::string* v, std::string* error) {
         o.serial = *v;
         return parseSerial(*v, error).has_value();
     }},
    {'\0', "line", Takes::Value, " write verify auto erase line ",
     [](Options& o, const std::string* v, std::string* error) {
         o.lineUrl = *v;
         return !v->empty() || fail(error, "--line needs the line store's URL");
     }},
    {'\0', "job", Takes::Value, " write verify auto erase line ",
     [](Options& o, const std::string* v, std::string*) { return o.job = *v, true; }},
    {'\0', "station", Takes::Value, " write verify auto erase ",
     [](Options& o, const std::string* v, std::string*) { return o.station = *v, true; }},
};

const OptionRow* findOption(const std::string& longName, char shortName) {
    for (const OptionRow& row : kOptions) {
        if (shortName != '\0' ? row.shortName == shortName : longName == row.longName)
            return &row;
    }
    return nullptr;
}

bool listed(const char* commands, const std::string& command) {
    return std::string_view(commands).find(" " + command + " ") != std::string_view::npos;
}

// The parse of one command line, option by option.
class Parser {
  public:
    Parser(const std::vector<std::string>& args, std::string* error) : args_(args), error_(error) {}

    std::optional<Options> parse();

  private:
    bool longOption();
    bool shortOptions();
    // Applies `row` as `shown` ("--chip", "-c") with `value` when one came with it.
    bool use(const OptionRow& row, const std::string& shown, std::optional<std::string> value);
    bool commandTakesAll() const;

    const std::vector<std::string>& args_;
    std::string* error_;
    std::size_t i_ = 0;
    Options o_;
    std::vector<const OptionRow*> given_;
};

std::optional<Options> Parser::parse() {
    bool optionsEnded = false;
    for (; i_ < args_.size(); ++i_) {
        const std::string& arg = args_[i_];
        bool ok = true;
        if (optionsEnded || arg.size() < 2 || arg[0] != '-')
            (o_.command.empty() ? o_.command : o_.arguments.emplace_back()) = arg;
        else if (arg == "--")
            optionsEnded = true;  // what follows is a file or pattern, even "-x.bin"
        else
            ok = arg[1] == '-' ? longOption() : shortOptions();
        if (!ok)
            return std::nullopt;
    }
    if (!o_.simulate && (o_.simSpeed || !o_.simFaults.empty() || !o_.simMemory.empty() ||
                         o_.simSwapMs || !o_.simTray.empty()))
        return fail(error_,
                    "--sim-speed, --sim-fault, --sim-memory, --sim-swap and --sim-tray need "
                    "--simulate"),
               std::nullopt;
    if (!o_.repeat && (o_.nextOnId || (o_.count && o_.command != "line")))
        return fail(error_, "--next-on-id and --count need --repeat"), std::nullopt;
    if (!o_.help && !o_.version && !commandTakesAll())
        return std::nullopt;
    return o_;
}

bool Parser::longOption() {
    std::string name = args_[i_].substr(2);
    std::optional<std::string> value;
    if (const auto eq = name.find('='); eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
    }
    const OptionRow* row = findOption(name, '\0');
    if (!row)
        return fail(error_, "unknown option --" + name);
    return use(*row, "--" + name, std::move(value));
}

// "-q", "-qy", "-cW25Q80", "-qc W25Q80": flags run together, the last may take a value.
bool Parser::shortOptions() {
    const std::string arg = args_[i_];
    for (std::size_t k = 1; k < arg.size(); ++k) {
        const OptionRow* row = findOption("", arg[k]);
        if (!row)
            return fail(error_, "unknown option -" + arg.substr(k, 1));
        if (row->takes == Takes::Value) {
            std::optional<std::string> value;
            if (k + 1 < arg.size())
                value = arg.substr(k + 1);
            return use(*row, "-" + arg.substr(k, 1), std::move(value));
        }
        if (!use(*row, "-" + arg.substr(k, 1), std::nullopt))
            return false;
    }
    return true;
}

bool Parser::use(const OptionRow& row, const std::string& shown, std::optional<std::string> value) {
    if (row.takes == Takes::Nothing && value)
        return fail(error_, shown + " takes no value");
    if (row.takes == Takes::Value && !value) {
        if (i_ + 1 >= args_.size())
            return fail(error_, shown + " needs a value");
        value = args_[++i_];
    }
    given_.push_back(&row);
    return row.apply(o_, value ? &*value : nullptr, error_);
}

// An option the command does not use is refused rather than silently ignored. An unknown
// or missing command is left for the run to name.
bool Parser::commandTakesAll() const {
    if (o_.command.empty() || !listed(kCommands, o_.command))
        return true;
    for (const OptionRow* row : given_) {
        if (row->commands && !listed(row->commands, o_.command))
            return fail(error_, "--" + std::string(row->longName) + " is not for " + o_.command);
    }
    return true;
}

}  // namespace

std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string* error) {
    return Parser(args, error).parse();
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
  FILE -              read: the chip's bytes on stdout (refused when stdout is a
                      terminal; the report then goes to stderr); write, verify,
                      auto: the file is stdin (binary)
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
  line create JOB FILE  a job in the line store (--line): -c CHIP, the image FILE
                      (binary), --serial and --count as a station uses them
  line close JOB      the job hands out no more serial numbers
  line status         passed, failed, yield, chips per hour per station, failure
                      causes, serial numbers used (--job JOB for one, --json)
  line export         every chip attempt as CSV on stdout (--job JOB for one)

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
                      the rest of the chip (read, erase for SPI flash, write, verify);
                      the read is saved first as a rescue file, in the --backup DIR
                      or else beside the log, and named with the command restoring it
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
  --sim-tray DIR      keep every chip the simulator takes out, and the one left in its
                      socket, as a file in DIR (chip-0001.bin, ...)
  --device PLACE      the programmer at PLACE (bus-port[.port...], e.g. 1-4 or 2-1.3,
                      or sim-1 for the simulator, as doctor lists them); default:
                      the lowest. One chipwright-cli per programmer may
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
  --line URL          the line store: sqlite:PATH (or a PATH) or postgresql://...
  --job JOB           with --line and --repeat auto|write|verify: a station of the
                      line; chip, image and serial numbers come from the job
  --station NAME      the station's name in the store (default: host:place)
  --version           the program's version
  -h, --help          this text
  --                  the end of the options: what follows is a FILE or PATTERN
                      even if it starts with '-'
Short options run together (-qy). An option the command does not use is refused
(exit 2), e.g. --type with read.

Messages and status texts go to stderr, one line each, in the configured language;
results go to stdout. The log file is the window's.

A diagnosis (after a failed verify with --diagnose or of a write, an erase check,
unstable reads, a read of an EEPROM whose halves repeat, or IDs FF FF) is printed on
stderr as "diagnosis: CODE: ...", CODE one of no-chip, not-erased, write-no-effect,
erase-no-effect, unstable, wraps, unknown (a failed verify, no likely cause found).

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
