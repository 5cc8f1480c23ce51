// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/json_report.h"

#include <cstdio>

#include "catalogue/chip_queries.h"

namespace cli {
namespace {

using Json = nlohmann::ordered_json;

std::string crcText(std::uint32_t crc) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", crc);
    return text;
}

Json checksumsObject(const operations::Checksums& sums) {
    return {{"crc32", crcText(sums.crc32)}, {"sha256", sums.sha256}};
}

Json chipList(const std::vector<catalogue::ChipRecord>& records) {
    Json chips = Json::array();
    for (const catalogue::ChipRecord& c : records) {
        chips.push_back({{"name", c.nameText()},
                         {"manufacturer", c.manufacturerText()},
                         {"type", catalogue::typeText(c.type)},
                         {"capacity", c.capacity},
                         {"capacityText", catalogue::capacityText(c)},
                         {"pageSize", c.pageWrite != 0 ? c.pageSize : 1},
                         {"manufacturerId", c.manufacturerId},
                         {"deviceId", c.deviceId}});
    }
    return chips;
}

// The fields every object has, whatever the command and however it ended.
void addCommonFields(const Report& r, Json& j) {
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
}

// What the command learned of the chip's contents and of the programmer.
void addContentFields(const Report& r, Json& j) {
    if (!r.chipState.empty())
        j["chipState"] = r.chipState;
    if (!r.serial.empty())
        j["serial"] = r.serial;
    if (!r.firmwareVersion.empty())
        j["firmwareVersion"] = r.firmwareVersion;
    if (r.checksums)
        j["checksums"] = checksumsObject(*r.checksums);
    if (r.chipChecksums)
        j["chipChecksums"] = checksumsObject(*r.chipChecksums);
    if (r.backup) {
        j["backup"] = {{"file", r.backup->path},
                       {"crc32", crcText(r.backup->checksums.crc32)},
                       {"sha256", r.backup->checksums.sha256}};
    }
}

// The checks' findings: differences, the diagnosis, the blank check.
void addCheckFields(const Report& r, Json& j) {
    if (r.differences) {
        Json ranges = Json::array();
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
    if (r.blank) {
        j["blank"] = {{"blank", r.blank->blank}, {"nonBlankBytes", r.blank->nonBlankBytes}};
        if (!r.blank->blank)
            j["blank"]["firstNonBlank"] = r.blank->firstNonBlank;
    }
}

void addChipFields(const Report& r, Json& j) {
    if (!r.chips.empty() || r.command == "chips")
        j["chips"] = chipList(r.chips);
    if (r.socket)
        j["socket"] = {{"ids", r.socket->ids}, {"chips", chipList(r.socket->chips)}};
}

}  // namespace

nlohmann::ordered_json reportObject(const Report& report) {
    Json j;
    addCommonFields(report, j);
    addContentFields(report, j);
    addCheckFields(report, j);
    addChipFields(report, j);
    return j;
}

std::string jsonText(const nlohmann::ordered_json& object) {
    // Texts that are not valid UTF-8 (a chip name in a damaged database) are replaced,
    // not thrown on: the report is always written.
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string jsonReport(const Report& report) {
    return jsonText(reportObject(report));
}

}  // namespace cli
