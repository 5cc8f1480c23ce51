// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/production_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <thread>

#include "cli/interrupt.h"
#include "util/safe_file.h"

namespace cli {
namespace {

constexpr unsigned kMaxSerialDigits = 19;  // 10^19 - 1 still fits 64 bits
constexpr std::uint32_t kU32Bytes = 4;
// How often a wait looks at Ctrl-C.
constexpr int kInterruptLookMs = 50;

bool parseNumber(std::string_view text, std::uint64_t* value, int base = 10) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, *value, base);
    return !text.empty() && result.ec == std::errc{} && result.ptr == end;
}

// Decimal, or hexadecimal after 0x.
bool parseAddress(std::string_view text, std::uint64_t* value) {
    if (text.starts_with("0x") || text.starts_with("0X"))
        return parseNumber(text.substr(2), value, 16);
    return parseNumber(text, value);
}

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Sleeps `ms`, looking at Ctrl-C in between; false when it came.
bool pause(int ms) {
    for (int waited = 0; waited < ms; waited += kInterruptLookMs) {
        if (interruptRequested())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kInterruptLookMs, ms)));
    }
    return !interruptRequested();
}

}  // namespace

std::uint32_t SerialNumbering::width() const {
    return format == Format::Ascii ? digits : kU32Bytes;
}

std::uint64_t SerialNumbering::maximum() const {
    if (format != Format::Ascii)
        return UINT32_MAX;
    std::uint64_t limit = 1;
    for (unsigned i = 0; i < digits; ++i)
        limit *= 10;
    return limit - 1;
}

std::optional<SerialNumbering> parseSerial(const std::string& text, std::string* error) {
    const std::size_t first = text.find(':');
    const std::size_t last = text.rfind(':');
    if (first == std::string::npos || first == last) {
        *error = "--serial needs ADDR:FORMAT:START, e.g. 0x1000:u32le:1";
        return std::nullopt;
    }
    const std::string_view all(text);
    const std::string_view address = all.substr(0, first);
    const std::string_view format = all.substr(first + 1, last - first - 1);
    const std::string_view start = all.substr(last + 1);
    SerialNumbering numbering;
    std::uint64_t number = 0;
    if (!parseAddress(address, &number) || number > UINT32_MAX) {
        *error = "--serial: " + std::string(address) + " is no address";
        return std::nullopt;
    }
    numbering.address = static_cast<std::uint32_t>(number);
    std::uint64_t digits = 0;
    if (format == "u32le") {
        numbering.format = SerialNumbering::Format::U32Le;
    } else if (format == "u32be") {
        numbering.format = SerialNumbering::Format::U32Be;
    } else if (format.starts_with("ascii:") && parseNumber(format.substr(6), &digits) &&
               digits >= 1 && digits <= kMaxSerialDigits) {
        numbering.format = SerialNumbering::Format::Ascii;
        numbering.digits = static_cast<unsigned>(digits);
    } else {
        *error = "--serial: unknown format " + std::string(format) +
                 " (u32le, u32be or ascii:N with N from 1 to 19)";
        return std::nullopt;
    }
    if (!parseNumber(start, &numbering.start)) {
        *error = "--serial: " + std::string(start) + " is no decimal start number";
        return std::nullopt;
    }
    if (numbering.start > numbering.maximum()) {
        *error = "--serial: " + std::to_string(numbering.start) + " does not fit " +
                 std::string(format) + " (at most " + std::to_string(numbering.maximum()) + ")";
        return std::nullopt;
    }
    return numbering;
}

std::string serialFitProblem(const SerialNumbering& numbering, std::uint32_t capacity) {
    if (static_cast<std::uint64_t>(numbering.address) + numbering.width() <= capacity)
        return {};
    char text[160];
    std::snprintf(text, sizeof text,
                  "--serial: %u bytes at 0x%X do not fit the chip's %u bytes (last address 0x%X)",
                  numbering.width(), numbering.address, capacity, capacity > 0 ? capacity - 1 : 0);
    return text;
}

std::vector<std::uint8_t> serialBytes(const SerialNumbering& numbering, std::uint64_t value) {
    std::vector<std::uint8_t> bytes(numbering.width());
    switch (numbering.format) {
        case SerialNumbering::Format::U32Le:
            for (std::uint32_t i = 0; i < kU32Bytes; ++i)
                bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
            break;
        case SerialNumbering::Format::U32Be:
            for (std::uint32_t i = 0; i < kU32Bytes; ++i)
                bytes[kU32Bytes - 1 - i] = static_cast<std::uint8_t>(value >> (8 * i));
            break;
        case SerialNumbering::Format::Ascii:
            for (std::uint32_t i = numbering.digits; i > 0; --i) {
                bytes[i - 1] = static_cast<std::uint8_t>('0' + value % 10);
                value /= 10;
            }
            break;
    }
    return bytes;
}

std::optional<std::uint64_t> serialValue(const SerialNumbering& numbering,
                                         std::span<const std::uint8_t> bytes) {
    if (bytes.size() != numbering.width())
        return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        switch (numbering.format) {
            case SerialNumbering::Format::U32Le:
                value |= std::uint64_t{bytes[i]} << (8 * i);
                break;
            case SerialNumbering::Format::U32Be:
                value = value << 8 | bytes[i];
                break;
            case SerialNumbering::Format::Ascii:
                if (bytes[i] < '0' || bytes[i] > '9')
                    return std::nullopt;
                value = value * 10 + (bytes[i] - '0');
                break;
        }
    }
    if (value < numbering.start || value > numbering.maximum())
        return std::nullopt;
    return value;
}

std::string isoLocalTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[40];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0)
        return {};
    return text;
}

std::string csvLine(const ChipLine& line) {
    auto field = [](const std::string& value) {
        if (value.find_first_of(",\"\r\n") == std::string::npos)
            return value;
        std::string quoted = "\"";
        for (char c : value) {
            if (c == '"')
                quoted += '"';
            quoted += c;
        }
        return quoted + "\"";
    };
    return field(line.time) + "," + field(line.chip) + "," + field(line.command) + "," +
           field(line.result) + "," + field(line.sha256) + "," + field(line.diagnosis) + "," +
           field(line.serial);
}

// O_NONBLOCK: a FIFO in the report's place fails at once instead of blocking the run until
// something reads it; a regular file, the only kind that takes lines, is not affected.
constexpr int kReportOpenFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

bool reportWritable(const std::string& path, std::string* error) {
    const int fd = ::open(path.c_str(), kReportOpenFlags, 0666);
    if (fd < 0) {
        *error = systemError("cannot write " + path);
        return false;
    }
    struct stat st {};
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular)
        *error = "cannot write " + path + ": no regular file";
    return regular;
}

bool appendChipLine(const std::string& path, const ChipLine& line, std::string* error) {
    const int fd = ::open(path.c_str(), kReportOpenFlags, 0666);
    if (fd < 0) {
        *error = systemError("cannot write " + path);
        return false;
    }
    // Under the lock, "is the file new" and the append are one step against the other
    // programs that share the file: the header is written once, and lines never mix.
    flock(fd, LOCK_EX);
    struct stat st {};
    std::string text;
    if (fstat(fd, &st) == 0 && st.st_size == 0)
        text = std::string(kChipLineHeader) + "\n";
    text += csvLine(line) + "\n";
    const bool written = util::writeAll(fd, text);
    if (!written)
        *error = systemError("cannot write " + path);
    if (::close(fd) != 0 && written) {
        *error = systemError("cannot write " + path);
        return false;
    }
    return written;
}

NextChip waitForEnter(int fd) {
    for (;;) {
        if (interruptRequested())
            return NextChip::Interrupted;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, kInterruptLookMs);
        if (ready < 0 && errno != EINTR)
            return NextChip::Ended;
        if (ready <= 0)
            continue;
        // The line is read byte by byte, so nothing after it is taken from the next wait.
        char c = 0;
        for (;;) {
            const ssize_t n = ::read(fd, &c, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return NextChip::Ended;
            if (c == '\n')
                return NextChip::Ready;
        }
    }
}

bool noChipIds(const std::array<std::uint8_t, 2>& ids) {
    return (ids[0] == 0xFF && ids[1] == 0xFF) || (ids[0] == 0x00 && ids[1] == 0x00);
}

NextChip waitForChipSwap(const IdReader& read, std::array<std::uint8_t, 2>* ids, int pollMs) {
    bool vanished = false;
    std::optional<std::array<std::uint8_t, 2>> candidate;
    for (bool first = true;; first = false) {
        if (!first && !pause(pollMs))
            return NextChip::Interrupted;
        if (interruptRequested())
            return NextChip::Interrupted;
        const auto now = read();
        if (!now)
            return NextChip::Ended;
        if (noChipIds(*now)) {
            vanished = true;
            candidate.reset();
        } else if (vanished && candidate == now) {
            *ids = *now;
            return NextChip::Ready;
        } else if (vanished) {
            candidate = now;
        }
    }
}

}  // namespace cli
