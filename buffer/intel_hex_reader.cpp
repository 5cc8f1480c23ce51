// SPDX-License-Identifier: GPL-3.0-or-later
#include "buffer/intel_hex_reader.h"

#include <unistd.h>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace buffer {
namespace {

constexpr char kRecordMark = ':';
// Characters after a record that are looked at before searching further: records
// usually follow each other with just a line end between them.
constexpr std::ptrdiff_t kUsualGap = 4;
// Byte count, address high, address low, record type.
constexpr std::size_t kHeaderBytes = 4;
constexpr std::size_t kMaxDataBytes = 255;
constexpr std::size_t kChecksumBytes = 1;
// The most digits one record can hold after its mark.
constexpr std::size_t kMaxRecordDigits = 2 * (kHeaderBytes + kMaxDataBytes + kChecksumBytes);

constexpr unsigned char kDataRecord = 0;
constexpr unsigned char kEndOfFileRecord = 1;
constexpr unsigned char kExtendedSegmentRecord = 2;
constexpr unsigned char kStartSegmentRecord = 3;
constexpr unsigned char kExtendedLinearRecord = 4;
constexpr unsigned char kStartLinearRecord = 5;
constexpr unsigned kExtendedAddressBytes = 2;
constexpr unsigned kSegmentShift = 4;  // a segment value counts 16 bytes
constexpr unsigned kLinearShift = 16;  // a linear value counts 64 KB

// Large enough that reading a 45 MB file takes a few hundred system calls.
constexpr std::size_t kBlockSize = 256 * 1024;
static_assert(kBlockSize > kMaxRecordDigits);

// The byte value of every pair of characters (the first character in the high
// byte of the index), or kBadPair when either is no upper-case hex digit. One
// look-up per byte keeps the scanner fast on 45 MB files.
constexpr std::uint16_t kBadPair = 0x100;
constexpr std::size_t kPairCount = 0x10000;

std::array<std::uint16_t, kPairCount> makePairTable() {
    auto digit = [](unsigned c) -> int {
        if (c >= '0' && c <= '9')
            return static_cast<int>(c - '0');
        if (c >= 'A' && c <= 'F')
            return static_cast<int>(c - 'A' + 10);
        return -1;
    };
    std::array<std::uint16_t, kPairCount> table{};
    for (unsigned index = 0; index < kPairCount; ++index) {
        int high = digit(index >> 8);
        int low = digit(index & 0xFF);
        table[index] = high < 0 || low < 0 ? kBadPair : static_cast<std::uint16_t>(high * 16 + low);
    }
    return table;
}

const std::uint16_t* pairTable() {
    static const std::array<std::uint16_t, kPairCount> table = makePairTable();
    return table.data();
}

// Decodes count bytes from 2 × count characters and adds them to sum; false
// when a character is no upper-case hex digit.
bool decode(const std::uint16_t* pairs, const char* text, unsigned char* out, std::size_t count,
            unsigned& sum) {
    unsigned seen = 0;
    for (std::size_t i = 0; i < count; ++i) {
        unsigned high = static_cast<unsigned char>(text[2 * i]);
        unsigned low = static_cast<unsigned char>(text[2 * i + 1]);
        unsigned value = pairs[(high << 8) | low];
        seen |= value;
        sum += value;
        out[i] = static_cast<unsigned char>(value);
    }
    return (seen & kBadPair) == 0;
}

}  // namespace

// The file's text, a block at a time, or text already in memory.
class IntelHexReader::Source {
  public:
    explicit Source(std::string_view text)
        : base_(text.data()), next_(base_), end_(text.data() + text.size()) {}
    explicit Source(int fd)
        : fd_(fd), block_(kBlockSize), base_(block_.data()), next_(base_), end_(base_) {}

    // Moves just past the next record mark; false when the text ends first.
    bool skipToMark() {
        for (const char* p = next_; p < end_ && p - next_ < kUsualGap; ++p) {
            if (*p == kRecordMark)
                return takeMark(p);
        }
        for (;;) {
            if (next_ != end_) {
                const void* mark =
                    std::memchr(next_, kRecordMark, static_cast<std::size_t>(end_ - next_));
                if (mark != nullptr)
                    return takeMark(static_cast<const char*>(mark));
            }
            next_ = end_;
            if (!ensure(1))
                return false;
        }
    }

    // Makes at least count characters available at next(); false when the text
    // ends (or cannot be read) first.
    bool ensure(std::size_t count) {
        if (static_cast<std::size_t>(end_ - next_) >= count)
            return true;
        if (fd_ < 0)
            return false;
        std::size_t kept = static_cast<std::size_t>(end_ - next_);
        blockStart_ += static_cast<std::uint64_t>(next_ - base_);
        std::memmove(block_.data(), next_, kept);
        next_ = block_.data();
        end_ = next_ + kept;
        while (kept < count) {
            ssize_t n = ::read(fd_, block_.data() + kept, block_.size() - kept);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                readError_ = errno;
            if (n <= 0)
                return false;
            kept += static_cast<std::size_t>(n);
            end_ = next_ + kept;
        }
        return true;
    }

    const char* next() const { return next_; }
    void advance(std::size_t count) { next_ += count; }
    std::uint64_t recordStart() const { return recordStart_; }
    int readError() const { return readError_; }

  private:
    bool takeMark(const char* mark) {
        recordStart_ = blockStart_ + static_cast<std::uint64_t>(mark - base_);
        next_ = mark + 1;
        return true;
    }

    int fd_ = -1;
    std::vector<char> block_;
    const char* base_;  // the text's first character, or block_[0]
    const char* next_;
    const char* end_;
    std::uint64_t blockStart_ = 0;  // file position of base_
    std::uint64_t recordStart_ = 0;
    int readError_ = 0;
};

bool IntelHexReader::readFile(int fd, unsigned char* destination, std::uint32_t limit) {
    Source source(fd);
    return read(source, destination, limit);
}

bool IntelHexReader::readText(std::string_view text, unsigned char* destination,
                              std::uint32_t limit) {
    Source source(text);
    return read(source, destination, limit);
}

bool IntelHexReader::fail(const Source& source, std::string_view what) {
    if (source.readError() != 0) {
        error_ = std::string("cannot read the file: ") + std::strerror(source.readError());
    } else {
        error_ = std::string(what);
    }
    return false;
}

bool IntelHexReader::read(Source& source, unsigned char* destination, std::uint32_t limit) {
    highestEnd_ = 0;
    lowestStart_ = 0;
    anyData_ = false;
    offset_ = 0;
    loadBase_ = 0;
    baseFixed_ = false;
    error_.clear();

    const std::uint16_t* pairs = pairTable();
    std::array<unsigned char, kHeaderBytes + kMaxDataBytes + kChecksumBytes> record;
    auto recordFault = [&](std::string_view what) {
        return fail(source, std::string(what) + " in the record at byte " +
                                std::to_string(source.recordStart()));
    };
    for (;;) {
        if (!source.skipToMark())
            return fail(source, "no end-of-file record");
        if (!source.ensure(2 * kHeaderBytes))
            return recordFault("the file ends");
        unsigned sum = 0;
        if (!decode(pairs, source.next(), record.data(), kHeaderBytes, sum)) {
            return recordFault("a character that is no upper-case hex digit");
        }
        source.advance(2 * kHeaderBytes);
        const std::size_t count = record[0];
        const std::size_t restDigits = 2 * (count + kChecksumBytes);
        if (!source.ensure(restDigits))
            return recordFault("the file ends");
        if (!decode(pairs, source.next(), record.data() + kHeaderBytes, count + kChecksumBytes,
                    sum)) {
            return recordFault("a character that is no upper-case hex digit");
        }
        source.advance(restDigits);
        if ((sum & 0xFF) != 0)
            return recordFault("a checksum error");

        const std::uint64_t address = (std::uint64_t{record[1]} << 8) | record[2];
        const unsigned char* data = record.data() + kHeaderBytes;
        switch (record[3]) {
            case kDataRecord: {
                // Data before any extended address: the file is based at 0.
                baseFixed_ = true;
                const std::uint64_t start = offset_ + address - loadBase_;
                const std::uint64_t end = start + count;
                if (end > highestEnd_)
                    highestEnd_ = end;
                if (!anyData_ || start < lowestStart_)
                    lowestStart_ = start;
                anyData_ = true;
                if (start < limit) {
                    std::size_t room = static_cast<std::size_t>(limit - start);
                    std::memcpy(destination + start, data, count < room ? count : room);
                }
                break;
            }
            case kEndOfFileRecord:
                return true;
            case kExtendedSegmentRecord:
            case kExtendedLinearRecord: {
                if (count != kExtendedAddressBytes) {
                    return recordFault("an extended address record whose byte count is not 2");
                }
                const std::uint64_t value = (std::uint64_t{data[0]} << 8) | data[1];
                offset_ =
                    value << (record[3] == kExtendedSegmentRecord ? kSegmentShift : kLinearShift);
                if (!baseFixed_) {
                    loadBase_ = offset_;
                    baseFixed_ = true;
                }
                if (offset_ < loadBase_) {
                    return recordFault("an extended address below the load base");
                }
                break;
            }
            case kStartSegmentRecord:
            case kStartLinearRecord:
                break;
            default:
                return recordFault("an unknown record type");
        }
    }
}

}  // namespace buffer
