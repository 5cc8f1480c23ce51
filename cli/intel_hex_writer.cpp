// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/intel_hex_writer.h"

#include <algorithm>

namespace cli {
namespace {

constexpr std::uint8_t kDataRecord = 0x00;
constexpr std::uint8_t kEndOfFileRecord = 0x01;
constexpr std::uint8_t kExtendedLinearAddressRecord = 0x04;
constexpr char kDigits[] = "0123456789ABCDEF";

void appendRecord(std::string& out, std::uint8_t type, std::uint16_t address,
                  std::span<const unsigned char> bytes) {
    unsigned sum = 0;
    auto put = [&](unsigned value) {
        out += kDigits[(value >> 4) & 0xF];
        out += kDigits[value & 0xF];
        sum += value & 0xFF;
    };
    out += ':';
    put(static_cast<unsigned>(bytes.size()));
    put(address >> 8u);
    put(address & 0xFFu);
    put(type);
    for (const unsigned char b : bytes)
        put(b);
    put((0x100 - (sum & 0xFF)) & 0xFF);
    out += "\r\n";
}

}  // namespace

std::string intelHexText(std::span<const unsigned char> data) {
    std::string out;
    // 45 characters per record of 16 bytes, one extended address record per 64 KB.
    out.reserve(data.size() / kHexRecordBytes * 45 + 64);
    std::uint32_t upper = 0;
    for (std::size_t at = 0; at < data.size(); at += kHexRecordBytes) {
        const auto address = static_cast<std::uint32_t>(at);
        if ((address >> 16) != upper) {
            upper = address >> 16;
            const unsigned char segment[2] = {static_cast<unsigned char>(upper >> 8),
                                              static_cast<unsigned char>(upper & 0xFF)};
            appendRecord(out, kExtendedLinearAddressRecord, 0, segment);
        }
        appendRecord(out, kDataRecord, static_cast<std::uint16_t>(address & 0xFFFF),
                     data.subspan(at, std::min(kHexRecordBytes, data.size() - at)));
    }
    appendRecord(out, kEndOfFileRecord, 0, {});
    return out;
}

bool isIntelHexName(const std::string& path) {
    return path.ends_with("hex") || path.ends_with("HEX");
}

}  // namespace cli
