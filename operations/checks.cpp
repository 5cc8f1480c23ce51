// SPDX-License-Identifier: GPL-3.0-or-later
#include "operations/checks.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

#include "app/messages.h"
#include "operations/commands.h"
#include "operations/frame.h"

namespace operations {
namespace {

// Compared with memcmp a block at a time; only a block that differs is searched byte by
// byte, so an equal 16 MB chip costs no more than a few milliseconds.
constexpr std::uint32_t kCompareBlock = 4096;
// zlib's crc32 takes a length of type uInt: large inputs go in slices.
constexpr std::size_t kCrcSlice = 1u << 30;
// Below this a second thread costs more than it saves.
constexpr std::size_t kParallelChecksumBytes = 1u << 20;

std::string hexAddress(std::uint32_t address) {
    char out[16];
    std::snprintf(out, sizeof out, "0x%06X", address);
    return out;
}

// "3 bytes differ in 3 ranges, the first at 0x04933F"
std::string summary(const Differences& d) {
    return std::to_string(d.totalBytes) + (d.totalBytes == 1 ? " byte differs" : " bytes differ") +
           " in " + std::to_string(d.totalRanges) + (d.totalRanges == 1 ? " range" : " ranges") +
           ", the first at " + hexAddress(d.ranges.front().start);
}

void addRange(Differences& out, std::uint32_t start, std::uint32_t count, std::size_t listed) {
    // A run that continues the last one (it ended at a block's edge) extends it.
    if (!out.ranges.empty() && out.totalRanges == out.ranges.size()) {
        DifferenceRange& last = out.ranges.back();
        if (last.start + last.count == start) {
            last.count += count;
            out.totalBytes += count;
            return;
        }
    }
    ++out.totalRanges;
    out.totalBytes += count;
    if (out.ranges.size() < listed)
        out.ranges.push_back({start, count});
}

// A chip read into `block` (room for the capacity and the read's slack), in the frame's
// command; Done when all of it arrived.
Outcome readInto(Frame& f, unsigned char* block, int errorKey) {
    Workbench& b = f.bench;
    b.programmer.setChip(b.chip);
    if (!b.programmer.startReadChip(block, 0, b.chip.capacity)) {
        f.message(text(errorKey));
        f.log(text(errorKey));
        return Outcome::Failed;
    }
    return f.follow(protocol::PollReading, errorKey);
}

// Reads the chip `passes` − 1 more times into a block of its own and compares each with
// `first`: `unstable` gets every byte that read differently in any pass. Done when every
// pass arrived, whatever they held.
Outcome comparePasses(Frame& f, const unsigned char* first, int passes, Differences& unstable) {
    const std::uint32_t capacity = f.bench.chip.capacity;
    if (passes <= 1)
        return Outcome::Done;
    const auto block = chipBlock(f.bench, f.ui);
    if (!block)
        return Outcome::Failed;
    // One mark per chip byte that read differently in some pass; only made when a pass
    // differs.
    std::vector<unsigned char> marks;
    for (int pass = 2; pass <= passes; ++pass) {
        f.log("Read pass " + std::to_string(pass) + " of " + std::to_string(passes));
        f.ui.showPass(pass, passes);
        f.showInfo(text(app::MsgReading));
        if (const Outcome read = readInto(f, block.get(), app::MsgReadChipError);
            read != Outcome::Done) {
            return read;
        }
        if (std::memcmp(first, block.get(), capacity) == 0)
            continue;
        marks.resize(capacity);
        for (std::uint32_t i = 0; i < capacity; ++i)
            marks[i] |= first[i] != block[i] ? 1 : 0;
    }
    if (!marks.empty()) {
        const std::vector<unsigned char> none(capacity, 0);
        collectDifferences(marks.data(), none.data(), capacity, unstable);
    }
    f.showProgress();
    return Outcome::Done;
}

// The end of a read of several passes: Done when they agreed, else Failed with a summary
// in a box and the log.
Outcome passesAgreed(Frame& f, const Differences& unstable) {
    if (!unstable.any()) {
        f.showInfo(text(app::MsgReadChipOk));
        return Outcome::Done;
    }
    const std::string report = "The reads differ: " + summary(unstable);
    f.showInfo(text(app::MsgReadChipError));
    f.log(report);
    f.message(report);
    return Outcome::Failed;
}

}  // namespace

std::unique_ptr<unsigned char[]> chipBlock(const Workbench& bench, Frontend& ui) {
    std::unique_ptr<unsigned char[]> block(new (
        std::nothrow) unsigned char[std::size_t{bench.chip.capacity} + protocol::kReadSlackBytes]);
    if (!block)
        ui.showMessage(text(app::MsgMemoryOverflow));
    return block;
}

namespace {

std::uint32_t crc32Of(std::span<const unsigned char> bytes) {
    uLong crc = crc32(0L, Z_NULL, 0);
    for (std::size_t at = 0; at < bytes.size(); at += kCrcSlice) {
        const std::size_t n = std::min(kCrcSlice, bytes.size() - at);
        crc = crc32(crc, bytes.data() + at, static_cast<uInt>(n));
    }
    return static_cast<std::uint32_t>(crc);
}

std::string sha256Of(std::span<const unsigned char> bytes) {
    std::string hex;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &digestLength, EVP_sha256(), nullptr) == 1) {
        static constexpr char kDigits[] = "0123456789abcdef";
        for (unsigned int i = 0; i < digestLength; ++i) {
            hex += kDigits[digest[i] >> 4];
            hex += kDigits[digest[i] & 0xF];
        }
    }
    return hex;
}

}  // namespace

Checksums checksumsOf(std::span<const unsigned char> bytes) {
    Checksums sums;
    // The two take about as long as each other over a large chip: the CRC runs on a
    // thread of its own beside the digest (or after it, when no thread can be had).
    std::thread crcThread;
    if (bytes.size() >= kParallelChecksumBytes) {
        try {
            crcThread = std::thread([&sums, bytes] { sums.crc32 = crc32Of(bytes); });
        } catch (const std::system_error&) {
        }
    }
    sums.sha256 = sha256Of(bytes);
    if (crcThread.joinable())
        crcThread.join();
    else
        sums.crc32 = crc32Of(bytes);
    return sums;
}

Checksums bufferChecksums(const Workbench& bench) {
    if (!bench.buffer)
        return checksumsOf({});
    return checksumsOf({bench.buffer->image(), bench.buffer->dataLength()});
}

void collectDifferences(const unsigned char* a, const unsigned char* b, std::uint32_t length,
                        Differences& out, std::size_t listed) {
    for (std::uint32_t block = 0; block < length; block += kCompareBlock) {
        const std::uint32_t end = std::min(length, block + kCompareBlock);
        if (std::memcmp(a + block, b + block, end - block) == 0)
            continue;
        for (std::uint32_t i = block; i < end;) {
            if (a[i] == b[i]) {
                ++i;
                continue;
            }
            const std::uint32_t start = i;
            while (i < end && a[i] != b[i])
                ++i;
            addRange(out, start, i - start, listed);
        }
    }
}

namespace {

// Verify All, listing up to `listed` ranges; the chip's bytes go to `keep` when given.
Outcome verifyAll(Workbench& bench, Frontend& ui, Differences& differences, std::size_t listed,
                  std::vector<unsigned char>* keep) {
    differences = {};
    if (!bench.ready())
        return Outcome::Failed;
    Frame f(bench, ui);
    f.log(text(app::MsgVerifyChipStart));
    if (const Outcome g = f.guard(); g != Outcome::Done)
        return g;
    const auto block = chipBlock(bench, ui);
    if (!block)
        return Outcome::Failed;
    f.showInfo(text(app::MsgVerifying));
    if (const Outcome read = readInto(f, block.get(), app::MsgVerifyChipError);
        read != Outcome::Done) {
        return read;
    }
    collectDifferences(bench.buffer->image(), block.get(), bench.chip.capacity, differences,
                       listed);
    if (keep)
        keep->assign(block.get(), block.get() + bench.chip.capacity);
    f.showProgress();
    if (!differences.any()) {
        f.showInfo(text(app::MsgVerifyChipOk));
        return Outcome::Done;
    }
    f.showInfo(text(app::MsgVerifyChipError));
    const std::string report = text(app::MsgVerifyChipError) + " " + summary(differences);
    f.log(report);
    f.message(report);
    return Outcome::Mismatch;
}

}  // namespace

Outcome verifyChipAll(Workbench& bench, Frontend& ui, Differences& differences) {
    return verifyAll(bench, ui, differences, kListedDifferenceRanges, nullptr);
}

Outcome verifyChipAll(Workbench& bench, Frontend& ui, Differences& differences, std::size_t listed,
                      std::vector<unsigned char>& chip) {
    chip.clear();
    return verifyAll(bench, ui, differences, listed, &chip);
}

Outcome readChipPasses(Workbench& bench, Frontend& ui, int passes, Differences& unstable) {
    unstable = {};
    if (passes > 1)
        ui.showPass(1, passes);
    if (const Outcome first = readChip(bench, ui); first != Outcome::Done || passes <= 1)
        return first;
    Frame f(bench, ui);
    if (const Outcome g = f.guard(); g != Outcome::Done)
        return g;
    if (const Outcome o = comparePasses(f, bench.buffer->image(), passes, unstable);
        o != Outcome::Done) {
        return o;
    }
    return passesAgreed(f, unstable);
}

Outcome readChipCopy(Workbench& bench, Frontend& ui, unsigned char* block, int passes,
                     Differences& unstable) {
    unstable = {};
    if (!bench.ready())
        return Outcome::Failed;
    Frame f(bench, ui);
    f.log(text(app::MsgReadChipStart));
    if (const Outcome g = f.guard(); g != Outcome::Done)
        return g;
    if (passes > 1)
        ui.showPass(1, passes);
    f.showInfo(text(app::MsgReading));
    if (const Outcome read = readInto(f, block, app::MsgReadChipError); read != Outcome::Done)
        return read;
    if (const Outcome o = comparePasses(f, block, passes, unstable); o != Outcome::Done)
        return o;
    f.showProgress();
    return passesAgreed(f, unstable);
}

Outcome readChipAgreeing(Workbench& bench, Frontend& ui, int passes, Differences& unstable) {
    unstable = {};
    if (!bench.ready())
        return Outcome::Failed;
    const auto block = chipBlock(bench, ui);
    if (!block)
        return Outcome::Failed;
    if (const Outcome o = readChipCopy(bench, ui, block.get(), passes, unstable);
        o != Outcome::Done) {
        return o;
    }
    // The reads agreed: the buffer holds them as a read of Read Chip leaves it.
    std::memcpy(bench.buffer->image(), block.get(), bench.chip.capacity);
    bench.buffer->noteChanged();
    bench.buffer->clearMarks();
    ui.refreshHexView();
    return Outcome::Done;
}

}  // namespace operations
