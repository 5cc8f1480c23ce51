// SPDX-License-Identifier: GPL-3.0-or-later
// The run's report on stdout (stderr when stdout carries a read's bytes): one JSON
// object, or the differences, the bench results and the checksums as lines.
#include <cstdio>

#include "cli/json_report.h"
#include "cli/run_session.h"

namespace cli {

void Run::printReport() {
    std::FILE* const out = toStdout() ? s_.err : s_.out;
    if (o_.json) {
        std::fprintf(out, "%s\n", jsonReport(report_).c_str());
        std::fflush(out);
        return;
    }
    // verify lists its differences with --all only; without it, the first is said.
    const bool listed = o_.command != "verify" || o_.all;
    if (const auto& d = report_.differences; d && d->any() && listed) {
        for (const operations::DifferenceRange& range : d->ranges) {
            std::fprintf(out, "differs 0x%06X-0x%06X %u %s\n", range.start,
                         range.start + range.count - 1, range.count,
                         range.count == 1 ? "byte" : "bytes");
        }
        std::fprintf(out, "differences: %llu %s in %llu %s%s\n",
                     static_cast<unsigned long long>(d->totalBytes),
                     d->totalBytes == 1 ? "byte" : "bytes",
                     static_cast<unsigned long long>(d->totalRanges),
                     d->totalRanges == 1 ? "range" : "ranges",
                     d->totalRanges > d->ranges.size() ? " (the first listed)" : "");
    }
    printBenchReport(out, report_);
    if (const auto& sums = report_.checksums) {
        std::fprintf(out, "crc32 %08x sha256 %s\n", sums->crc32, sums->sha256.c_str());
    }
    if (const auto& sums = report_.chipChecksums) {
        std::fprintf(out, "chip crc32 %08x sha256 %s\n", sums->crc32, sums->sha256.c_str());
    }
    std::fflush(out);
}

}  // namespace cli
