// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/json_report.h"

#include <nlohmann/json.hpp>

#include <cstdio>

#include "catalogue/chip_queries.h"

namespace cli {

std::string jsonReport(const Report& r) {
    nlohmann::ordered_json j;
    j["command"] = r.command;
    j["chip"] = r.chip;
    j["file"] = r.file;
    j["simulated"] = r.simulated;
    j["result"] = r.result;
    j["exitStatus"] = r.exitStatus;
    j["bytes"] = r.bytes;
    j["seconds"] = r.seconds;
    j["rate"] = r.seconds > 0 ? static_cast<double>(r.bytes) / r.seconds : 0.0;
    j["messages"] = r.messages;
    if (!r.chipState.empty())
        j["chipState"] = r.chipState;
    if (r.checksums) {
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08x", r.checksums->crc32);
        j["checksums"] = {{"crc32", crc}, {"sha256", r.checksums->sha256}};
    }
    if (r.chipChecksums) {
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08x", r.chipChecksums->crc32);
        j["chipChecksums"] = {{"crc32", crc}, {"sha256", r.chipChecksums->sha256}};
    }
    if (r.differences) {
        nlohmann::ordered_json ranges = nlohmann::ordered_json::array();
        for (const operations::DifferenceRange& range : r.differences->ranges)
            ranges.push_back({{"start", range.start}, {"count", range.count}});
        j["differences"] = {{"ranges", std::move(ranges)},
                            {"totalRanges", r.differences->totalRanges},
                            {"totalBytes", r.differences->totalBytes}};
    }
    if (!r.diagnosis.empty()) {
        const operations::Diagnosis d = operations::describe(operations::causeOf(r.diagnosis));
        j["diagnosis"] = {
            {"code", r.diagnosis}, {"explanation", d.explanation}, {"suggestion", d.suggestion}};
    }
    if (r.backup) {
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08x", r.backup->checksums.crc32);
        j["backup"] = {
            {"file", r.backup->path}, {"crc32", crc}, {"sha256", r.backup->checksums.sha256}};
    }
    if (r.blank) {
        j["blank"] = {{"blank", r.blank->blank}, {"nonBlankBytes", r.blank->nonBlankBytes}};
        if (!r.blank->blank)
            j["blank"]["firstNonBlank"] = r.blank->firstNonBlank;
    }
    if (!r.chips.empty() || r.command == "chips") {
        nlohmann::ordered_json chips = nlohmann::ordered_json::array();
        for (const catalogue::ChipRecord& c : r.chips) {
            chips.push_back({{"name", c.nameText()},
                             {"manufacturer", c.manufacturerText()},
                             {"type", catalogue::typeText(c.type)},
                             {"capacity", c.capacity},
                             {"capacityText", catalogue::capacityText(c)},
                             {"pageSize", c.pageWrite != 0 ? c.pageSize : 1},
                             {"manufacturerId", c.manufacturerId},
                             {"deviceId", c.deviceId}});
        }
        j["chips"] = std::move(chips);
    }
    // Texts that are not valid UTF-8 (a chip name in a damaged database) are replaced,
    // not thrown on: the report is always written.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace cli
