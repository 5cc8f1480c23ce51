// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalogue/chip_csv.h"

#include <array>
#include <charconv>
#include <limits>
#include <set>

#include "catalogue/chip_database.h"
#include "util/text_codec.h"

namespace catalogue {
namespace {

constexpr std::string_view kHeader =
    "type,name,manufacturer,capacity,page_write,page_size,manufacturer_id,device_id,level,"
    "mode93,organisation";
constexpr std::size_t kColumns = 11;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t pos = 0;
    while (true) {
        std::size_t comma = line.find(',', pos);
        fields.push_back(
            trim(line.substr(pos, comma == std::string_view::npos ? line.npos : comma - pos)));
        if (comma == std::string_view::npos)
            return fields;
        pos = comma + 1;
    }
}

template <typename T>
bool parseNumber(std::string_view text, int base, T& out) {
    if (text.empty())
        return false;
    unsigned long long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size())
        return false;
    if (value > static_cast<unsigned long long>(std::numeric_limits<T>::max()))
        return false;
    out = static_cast<T>(value);
    return true;
}

bool parseHexByte(std::string_view text, std::uint8_t& out) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.size() > 2)
        return false;
    return parseNumber(text, 16, out);
}

// Stores UTF-8 `text` as GBK in `field`; the reason it cannot, or "".
template <std::size_t N>
std::string readText(std::string_view text, const char* what, std::array<char, N>& field) {
    // A character GBK lacks would be stored as "?": a different name.
    bool exact = true;
    const std::string bytes = util::utf8ToGbk(text, &exact);
    if (!exact) {
        return std::string(what) + " '" + std::string(text) +
               "' holds a character GBK cannot store";
    }
    if (!setField(field, bytes)) {
        return std::string(what) + " '" + std::string(text) + "' is over " + std::to_string(N - 1) +
               " bytes";
    }
    return {};
}

// Fills `chip` from one line's fields, as the database file stores them; returns the
// reason a field cannot be read, or "". What the values must be is recordProblem's.
std::string readFields(const std::vector<std::string_view>& f, ChipRecord& chip) {
    if (f.size() != kColumns) {
        return "expected " + std::to_string(kColumns) + " fields, found " +
               std::to_string(f.size());
    }
    bool typeKnown = false;
    for (const ChipTypeName& t : kChipTypes) {
        if (f[0] == t.csvName) {
            chip.type = t.type;
            typeKnown = true;
        }
    }
    if (!typeKnown)
        return "unknown type '" + std::string(f[0]) + "'";
    if (std::string reason = readText(f[1], "name", chip.name); !reason.empty())
        return reason;
    if (std::string reason = readText(f[2], "manufacturer", chip.manufacturer); !reason.empty())
        return reason;
    if (!parseNumber(f[3], 10, chip.capacity))
        return "bad capacity '" + std::string(f[3]) + "'";
    if (!parseNumber(f[4], 10, chip.pageWrite))
        return "bad page_write '" + std::string(f[4]) + "'";
    if (!parseNumber(f[5], 10, chip.pageSize))
        return "bad page_size '" + std::string(f[5]) + "'";
    if (!parseHexByte(f[6], chip.manufacturerId))
        return "bad hex ID '" + std::string(f[6]) + "'";
    if (!parseHexByte(f[7], chip.deviceId))
        return "bad hex ID '" + std::string(f[7]) + "'";
    if (!parseNumber(f[8], 10, chip.level))
        return "bad level '" + std::string(f[8]) + "'";
    if (!parseNumber(f[9], 10, chip.mode93))
        return "bad mode93 '" + std::string(f[9]) + "'";
    if (!parseNumber(f[10], 10, chip.organisation))
        return "bad organisation '" + std::string(f[10]) + "'";
    return {};
}

std::string parseRow(const std::vector<std::string_view>& fields, ChipRecord& chip) {
    if (std::string reason = readFields(fields, chip); !reason.empty())
        return reason;
    return recordProblem(chip);
}

}  // namespace

ChipTable parseChipCsv(std::string_view text) {
    ChipTable table;
    std::set<std::string> names;
    bool headerSeen = false;
    int lineNumber = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::string_view line = trim(text.substr(pos, nl == text.npos ? text.npos : nl - pos));
        pos = nl == text.npos ? text.size() : nl + 1;
        ++lineNumber;
        if (line.empty() || line.front() == '#')
            continue;
        if (!headerSeen) {
            headerSeen = true;
            if (line != kHeader) {
                table.errors.push_back(
                    {lineNumber, "the first line must be the header: " + std::string(kHeader)});
                return table;
            }
            continue;
        }
        ChipRecord chip;
        std::string reason = parseRow(splitFields(line), chip);
        if (reason.empty() && !names.insert(std::string(chip.nameBytes())).second) {
            reason = "duplicate name '" + std::string(chip.nameText()) + "'";
        }
        if (reason.empty() && table.chips.size() >= kMaxChips) {
            reason = "more than " + std::to_string(kMaxChips) + " chips";
        }
        if (!reason.empty()) {
            table.errors.push_back({lineNumber, reason});
            continue;
        }
        table.chips.push_back(chip);
    }
    if (!headerSeen)
        table.errors.push_back({lineNumber, "no header line"});
    return table;
}

}  // namespace catalogue
