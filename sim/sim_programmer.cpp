// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/sim_programmer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {
namespace {

using usblink::PipeResult;

// The firmware's own view of the command packets it understands.
constexpr std::uint8_t kCmdReadChip = 0x11;
constexpr std::uint8_t kCmdWriteChip = 0x12;
constexpr std::uint8_t kCmdQueryBusy = 0x13;
constexpr std::uint8_t kCmdEraseChip = 0x14;
constexpr std::uint8_t kCmdReadIds = 0x15;
constexpr std::uint8_t kCmdVersion = 0x17;
constexpr std::uint8_t kCmdBoot = 0xF2;
constexpr std::uint8_t kCmdSelfTest = 0xF3;

constexpr std::uint32_t kReadChipPacketBytes = 15;
constexpr std::uint8_t kReadChipTag = 0x0A;
constexpr std::uint32_t kWriteChipPacketBytes = 17;
constexpr std::uint8_t kWriteChipTag = 0x0C;
constexpr std::uint32_t kKindPacketBytes = 3;  // command, tag, chip kind
constexpr std::size_t kAddressAt = 3;
constexpr std::size_t kLengthAt = 7;

constexpr std::uint32_t kBootPacketBytes = 23;
constexpr char kBootText[] = "USB BOOT COMMAND";
constexpr std::size_t kBootTextBytes = 16;
constexpr std::size_t kBootEchoEnd = 17;  // the reply echoes packet bytes 1..17
constexpr std::size_t kBootLengthAt = 18;

constexpr std::uint32_t kPacketBytes = 64;
constexpr std::uint8_t kAbsentId = 0xFF;
constexpr std::uint8_t kGarbageFill = 0xEE;
constexpr std::uint64_t kMicrosPerSecond = 1'000'000;

// Counts a transfer as inside the device for as long as it lives; made and dropped under
// the device's lock.
class InProgress {
  public:
    explicit InProgress(int& count) : count_(count) { ++count_; }
    ~InProgress() { --count_; }
    InProgress(const InProgress&) = delete;
    InProgress& operator=(const InProgress&) = delete;

  private:
    int& count_;
};

std::uint32_t bigEndian32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

}  // namespace

SimProgrammer::SimProgrammer(std::string path) : path_(std::move(path)) {}

void SimProgrammer::insertChip(const catalogue::ChipRecord& chip) {
    Lock lock(mutex_);
    chip_ = chip;
    hasChip_ = true;
    cells_.reset(chip.capacity);
}

void SimProgrammer::removeChip() {
    Lock lock(mutex_);
    hasChip_ = false;
    cells_.reset(0);
}

std::vector<std::uint8_t> SimProgrammer::memory() const {
    Lock lock(mutex_);
    return cells_.copy();
}

void SimProgrammer::fillMemory(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    Lock lock(mutex_);
    cells_.store(address, bytes);
}

void SimProgrammer::backMemoryWithFile(int fd, std::uint64_t fileBytes) {
    Lock lock(mutex_);
    cells_.backWithFile(fd, fileBytes);
}

std::uint64_t SimProgrammer::memoryChanges() const {
    Lock lock(mutex_);
    return cells_.changes();
}

void SimProgrammer::setThroughput(std::uint64_t bytesPerSecond) {
    Lock lock(mutex_);
    throughput_ = bytesPerSecond;
    deviceClock_ = Clock::now();
}

void SimProgrammer::setEraseDurationMs(std::uint32_t ms) {
    Lock lock(mutex_);
    eraseMs_ = ms;
}

void SimProgrammer::setFirmwareVersion(std::string text) {
    Lock lock(mutex_);
    version_ = std::move(text);
}

void SimProgrammer::setFaults(const Faults& faults) {
    Lock lock(mutex_);
    faults_ = faults;
    // Byte and time limits count from the moment the faults are set.
    bulkBytes_ = 0;
    chatterUntil_ = Clock::now() + std::chrono::milliseconds(faults.chatterMs);
    wake_.notify_all();
}

void SimProgrammer::setPresent(bool present) {
    Lock lock(mutex_);
    if (present && !present_) {
        // Plugged in again: the firmware starts afresh; the chip keeps its cells.
        in_.clear();
        outMode_ = OutMode::Command;
        outLeft_ = 0;
        erasing_ = false;
    }
    present_ = present;
    wake_.notify_all();
}

bool SimProgrammer::present() const {
    Lock lock(mutex_);
    return present_;
}

std::vector<std::uint32_t> SimProgrammer::outRequests() const {
    Lock lock(mutex_);
    return outLog_;
}

std::vector<std::uint32_t> SimProgrammer::inRequests() const {
    Lock lock(mutex_);
    return inLog_;
}

void SimProgrammer::clearRequestLog() {
    Lock lock(mutex_);
    outLog_.clear();
    inLog_.clear();
}

std::vector<std::uint8_t> SimProgrammer::firmwareImage() const {
    Lock lock(mutex_);
    return image_;
}

int SimProgrammer::openDevices() const {
    Lock lock(mutex_);
    return openDevices_;
}

int SimProgrammer::openPipes() const {
    Lock lock(mutex_);
    return openPipes_;
}

void SimProgrammer::queueInPacket(std::span<const std::uint8_t> packet) {
    Lock lock(mutex_);
    InSegment s;
    s.bytes.assign(packet.begin(),
                   packet.begin() + std::min<std::size_t>(packet.size(), kPacketBytes));
    s.total = static_cast<std::uint32_t>(s.bytes.size());
    in_.push_back(std::move(s));
    wake_.notify_all();
}

bool SimProgrammer::openDevice(std::string* error) {
    Lock lock(mutex_);
    if (!present_ || faults_.failDeviceOpen) {
        if (error) {
            *error = "cannot open 10c4:f5a2 at " + path_ +
                     (present_ ? ": access denied; install the udev rule" : ": no such device");
        }
        return false;
    }
    ++openDevices_;
    return true;
}

void SimProgrammer::closeDevice() {
    Lock lock(mutex_);
    --openDevices_;
}

bool SimProgrammer::openPipe(std::string_view name) {
    Lock lock(mutex_);
    if (!present_ || faults_.failPipe == name)
        return false;
    ++openPipes_;
    return true;
}

void SimProgrammer::closePipe() {
    Lock lock(mutex_);
    --openPipes_;
}

int SimProgrammer::transfersInProgress() const {
    Lock lock(mutex_);
    return transfersInProgress_;
}

int SimProgrammer::resets() const {
    Lock lock(mutex_);
    return resets_;
}

std::vector<std::string> SimProgrammer::protocolComplaints() const {
    Lock lock(mutex_);
    return complaints_;
}

bool SimProgrammer::reset() {
    Lock lock(mutex_);
    if (!present_ || faults_.resetFails)
        return false;
    in_.clear();
    outMode_ = OutMode::Command;
    outLeft_ = 0;
    ++resets_;
    wake_.notify_all();
    return true;
}

void SimProgrammer::wake() {
    wake_.notify_all();
}

bool SimProgrammer::busy() const {
    return erasing_ && (faults_.neverReady || Clock::now() < eraseEnd_);
}

std::uint64_t SimProgrammer::bulkAllowance() const {
    const std::uint64_t limit = std::min(faults_.stallAfterBytes, faults_.disconnectAfterBytes);
    return limit > bulkBytes_ ? limit - bulkBytes_ : 0;
}

void SimProgrammer::countBulk(std::uint64_t bytes) {
    bulkBytes_ += bytes;
    if (bulkBytes_ >= faults_.disconnectAfterBytes) {
        present_ = false;
        wake_.notify_all();
    }
}

void SimProgrammer::reply(std::vector<std::uint8_t> packet) {
    const std::uint8_t other = packet[0] == kCmdQueryBusy ? kCmdReadChip : kCmdQueryBusy;
    for (int i = 0; i < faults_.garbagePackets; ++i) {
        InSegment g;
        if (i % 2 == 0) {
            g.bytes.assign(kPacketBytes, kGarbageFill);
        } else {
            g.bytes = {other, 0x01, 0x00};
        }
        g.total = static_cast<std::uint32_t>(g.bytes.size());
        in_.push_back(std::move(g));
    }
    if (faults_.wrongReplyByte) {
        for (std::size_t i = 1; i <= 2 && i < packet.size(); ++i)
            packet[i] ^= 0xFF;
    }
    InSegment s;
    s.bytes = std::move(packet);
    s.total = static_cast<std::uint32_t>(s.bytes.size());
    in_.push_back(std::move(s));
}

void SimProgrammer::queueStream(InSegment segment) {
    segment.total = segment.chipLength + static_cast<std::uint32_t>(segment.bytes.size());
    segment.zlpAfterFull = true;
    in_.push_back(std::move(segment));
}

void SimProgrammer::handleCommand(const std::uint8_t* p, std::uint32_t length) {
    const bool refused = faults_.wrongReplyByte;
    switch (p[0]) {
        case kCmdReadChip:
            if (length < kReadChipPacketBytes || p[1] != kReadChipTag)
                return;
            checkParameters(p, length);
            reply({kCmdReadChip, 0x01, 0x00});
            if (!refused)
                startChipRead(p);
            break;
        case kCmdWriteChip:
            if (length < kWriteChipPacketBytes || p[1] != kWriteChipTag)
                return;
            checkParameters(p, length);
            reply({kCmdWriteChip, 0x01, 0x01});
            if (!refused)
                startChipWrite(p);
            break;
        case kCmdQueryBusy: {
            if (length < kKindPacketBytes)
                return;
            const bool isBusy = busy();
            if (!isBusy)
                erasing_ = false;
            reply({kCmdQueryBusy, 0x01, static_cast<std::uint8_t>(isBusy ? 1 : 0)});
            break;
        }
        case kCmdEraseChip:
            if (length < kKindPacketBytes)
                return;
            checkParameters(p, length);
            if (!refused)
                startErase();
            reply({kCmdEraseChip, 0x01, 0x01});
            break;
        case kCmdReadIds:
            if (length < kKindPacketBytes)
                return;
            reply({kCmdReadIds, 0x02, hasChip_ ? chip_.manufacturerId : kAbsentId,
                   hasChip_ ? chip_.deviceId : kAbsentId});
            break;
        case kCmdVersion:
            sendVersion();
            break;
        case kCmdBoot:
            if (length < kBootPacketBytes || std::memcmp(p + 1, kBootText, kBootTextBytes) != 0 ||
                p[kBootEchoEnd] != 0)
                return;
            startImage(p);
            break;
        case kCmdSelfTest:
            reply({kCmdSelfTest, 0x00});
            sendSelfTestReport();
            break;
        default:
            break;
    }
    wake_.notify_all();
}

void SimProgrammer::sendVersion() {
    // Two header bytes and the terminating zero leave 61 characters in a packet.
    const std::size_t textBytes = std::min<std::size_t>(kPacketBytes - 3, version_.size());
    std::vector<std::uint8_t> r(2 + textBytes + 1, 0);
    r[0] = kCmdVersion;
    std::memcpy(r.data() + 2, version_.data(), textBytes);
    reply(std::move(r));
}

void SimProgrammer::startChipRead(const std::uint8_t* p) {
    InSegment s;
    s.chipStream = true;
    s.chipAddress = bigEndian32(p + kAddressAt);
    // A length near 4 GiB must not wrap the stream's total with the trailer.
    s.chipLength = static_cast<std::uint32_t>(
        std::min<std::uint64_t>({bigEndian32(p + kLengthAt), UINT32_MAX - sizeof(kReadTrailer),
                                 faults_.cutReadAfterBytes}));
    s.bytes.assign(std::begin(kReadTrailer), std::end(kReadTrailer));
    s.looseBitFlipped = faults_.looseBitAddress != kNoAddress && ++chipReads_ % 2 == 0;
    queueStream(std::move(s));
}

void SimProgrammer::startChipWrite(const std::uint8_t* p) {
    outAddress_ = bigEndian32(p + kAddressAt);
    outLeft_ = bigEndian32(p + kLengthAt);
    if (outLeft_ > 0)
        outMode_ = OutMode::ChipData;
}

void SimProgrammer::startErase() {
    // A protected chip ignores the erase: it never turns busy.
    if (faults_.writeProtected)
        return;
    cells_.eraseAll();
    erasing_ = true;
    eraseEnd_ = Clock::now() + std::chrono::milliseconds(eraseMs_);
}

void SimProgrammer::startImage(const std::uint8_t* p) {
    std::uint8_t sum = 0;
    for (std::uint32_t i = 0; i < kBootPacketBytes; ++i)
        sum = static_cast<std::uint8_t>(sum + p[i]);
    const bool accepted = sum == 0 && !faults_.wrongReplyByte;
    std::vector<std::uint8_t> r(p, p + kBootEchoEnd + 1);
    r.push_back(sum == 0 ? 0x01 : 0x00);
    reply(std::move(r));
    if (accepted) {
        image_.clear();
        outLeft_ = bigEndian32(p + kBootLengthAt);
        if (outLeft_ > 0)
            outMode_ = OutMode::Image;
    }
}

void SimProgrammer::sendSelfTestReport() {
    const std::string_view report =
        faults_.failSelfTest ? kFailingSelfTestReport : kPassingSelfTestReport;
    InSegment s;
    s.bytes.assign(report.begin(), report.end());
    queueStream(std::move(s));
}

void SimProgrammer::complain(const char* command, const char* what, unsigned sent,
                             unsigned wanted) {
    char text[96];
    std::snprintf(text, sizeof text, "%s %s 0x%02X, the chip needs 0x%02X", command, what, sent,
                  wanted);
    complaints_.emplace_back(text);
}

void SimProgrammer::checkParameters(const std::uint8_t* p, std::uint32_t length) {
    if (!hasChip_)
        return;
    // The firmware's own reading of a chip: its family code, addressing mode, supply
    // level flag, 93-series organisation and page size.
    const std::uint32_t type = static_cast<std::uint32_t>(chip_.type);
    const unsigned kind = type + 1;
    unsigned mode = 0;
    switch (chip_.type) {
        case catalogue::SpiFlash:
            mode = 3;
            break;
        case catalogue::Eeprom24:
            mode = chip_.deviceId == 0xFE ? 0x04 : chip_.capacity <= 2048 ? 0x14 : 0x24;
            break;
        case catalogue::Eeprom25:
            mode = chip_.capacity <= 512 ? 0x01 : 0x11;
            break;
        case catalogue::Eeprom93:
            mode = (chip_.mode93 * 16u + 8u) & 0xFFu;
            break;
        default:
            break;
    }
    const unsigned level = chip_.type != catalogue::SpiFlash && chip_.level > 40 ? 1 : 0;
    const unsigned org = chip_.organisation == 8 ? 3 : 1;
    const unsigned pageSize = chip_.pageWrite != 0 ? chip_.pageSize : 1;
    const bool is93 = chip_.type == catalogue::Eeprom93;

    const char* name = p[0] == kCmdReadChip    ? "ReadChip"
                       : p[0] == kCmdWriteChip ? "WriteChip"
                                               : "EraseChip";
    if (p[2] != kind)
        complain(name, "kind", p[2], kind);
    // Where mode, org and the level flag sit: after the length in a read, after the page
    // size in a write; an erase carries the kind only.
    std::size_t at = 0;
    if (p[0] == kCmdReadChip && length >= kReadChipPacketBytes) {
        at = kLengthAt + 4;
    } else if (p[0] == kCmdWriteChip && length >= kWriteChipPacketBytes) {
        const unsigned sentPage = static_cast<unsigned>(p[kLengthAt + 4]) << 8 | p[kLengthAt + 5];
        if (sentPage != pageSize)
            complain(name, "page size", sentPage, pageSize);
        at = kLengthAt + 6;
    }
    if (at == 0)
        return;
    if (p[at] != mode)
        complain(name, "mode", p[at], mode);
    if (is93 && p[at + 1] != org)
        complain(name, "org", p[at + 1], org);
    if (p[at + 2] != level)
        complain(name, "level flag", p[at + 2], level);
}

void SimProgrammer::copyChipBytes(std::uint8_t* out, std::uint32_t address, std::uint32_t count,
                                  bool looseBitFlipped) const {
    const std::uint64_t start = address;
    const std::uint64_t end = start + count;
    if (wrapsAddresses()) {
        // The address counter rolls over at the chip's size: copies of the chip follow.
        const std::uint64_t size = cells_.size();
        for (std::uint64_t done = 0; done < count;) {
            const std::uint64_t at = (start + done) % size;
            const std::uint64_t n = std::min<std::uint64_t>(count - done, size - at);
            cells_.read(static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(n), out + done);
            done += n;
        }
    } else {
        cells_.read(address, count, out);
    }
    if (const std::uint64_t every = faults_.bitFlipEvery; every != 0) {
        // First address a >= start with (a + 1) a multiple of `every`.
        std::uint64_t a = (start + every) / every * every - 1;
        for (; a < end; a += every)
            out[a - start] ^= 0x01;
    }
    if (const std::uint64_t loose = faults_.looseBitAddress;
        looseBitFlipped && loose >= start && loose < end) {
        out[loose - start] ^= 0x01;
    }
}

void SimProgrammer::programChip(const std::uint8_t* data, std::uint32_t count) {
    const std::uint64_t start = outAddress_;
    outAddress_ += count;
    if (faults_.writeProtected)
        return;
    if (wrapsAddresses()) {
        // An EEPROM overwrites; past its end the address rolls over to its start.
        const std::uint64_t size = cells_.size();
        for (std::uint64_t done = 0; done < count;) {
            const std::uint64_t at = (start + done) % size;
            const std::uint64_t n = std::min<std::uint64_t>(count - done, size - at);
            cells_.store(static_cast<std::uint32_t>(at), {data + done, n});
            done += n;
        }
        return;
    }
    // Flash programming can only clear bits; only an erase sets them again.
    if (chip_.type == catalogue::SpiFlash)
        cells_.program(static_cast<std::uint32_t>(start), {data, count});
    else
        cells_.store(static_cast<std::uint32_t>(start), {data, count});
}

bool SimProgrammer::wrapsAddresses() const {
    return hasChip_ && cells_.size() != 0 &&
           (chip_.type == catalogue::Eeprom24 || chip_.type == catalogue::Eeprom25 ||
            chip_.type == catalogue::Eeprom93);
}

bool SimProgrammer::pace(Lock& lock, std::uint64_t bytes, const bool* cancelled) {
    if (throughput_ == 0 || bytes == 0)
        return true;
    const auto cost = std::chrono::microseconds(bytes * kMicrosPerSecond / throughput_);
    deviceClock_ = std::max(deviceClock_, Clock::now()) + cost;
    wake_.wait_until(lock, deviceClock_, [&] { return *cancelled; });
    return !*cancelled;
}

PipeResult SimProgrammer::waitForever(Lock& lock, Clock::time_point until, const bool* cancelled) {
    wake_.wait_until(lock, until, [&] { return *cancelled || !present_; });
    if (!present_)
        return PipeResult::Failed;
    if (*cancelled)
        return PipeResult::Cancelled;
    return PipeResult::TimedOut;
}

PipeResult SimProgrammer::transferOut(const std::uint8_t* data, std::uint32_t length,
                                      std::uint32_t timeoutMs, std::uint32_t* moved,
                                      const bool* cancelled) {
    Lock lock(mutex_);
    InProgress inProgress(transfersInProgress_);
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    outLog_.push_back(length);
    *moved = 0;
    if (!present_ || faults_.writeFails)
        return PipeResult::Failed;
    if (*cancelled)
        return PipeResult::Cancelled;
    if (faults_.stallAfterBytes <= bulkBytes_)
        return waitForever(lock, until, cancelled);
    if (length == 0)
        return PipeResult::Ok;

    if (outMode_ == OutMode::Command) {
        // A silent firmware takes command packets and does nothing with them.
        if (!faults_.silent)
            handleCommand(data, length);
        *moved = length;
    } else {
        const std::uint32_t wanted = std::min(length, outLeft_);
        const auto take =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(wanted, bulkAllowance()));
        if (outMode_ == OutMode::ChipData) {
            programChip(data, take);
        } else {
            image_.insert(image_.end(), data, data + take);
        }
        outLeft_ -= take;
        if (outLeft_ == 0)
            outMode_ = OutMode::Command;
        countBulk(take);
        if (!present_) {
            *moved = take;
            return PipeResult::Failed;
        }
        if (take < wanted) {
            *moved = take;
            return waitForever(lock, until, cancelled);
        }
        // Bytes beyond the announced length are taken and dropped.
        *moved = length;
    }
    return pace(lock, *moved, cancelled) ? PipeResult::Ok : PipeResult::Cancelled;
}

bool SimProgrammer::takeQueued(std::uint8_t* data, std::uint32_t length, std::uint32_t* moved) {
    while (*moved < length && !in_.empty()) {
        InSegment& s = in_.front();
        if (s.zlpPending || s.total == 0) {
            in_.pop_front();
            return true;
        }
        std::uint64_t take = std::min<std::uint64_t>(s.total - s.offset, length - *moved);
        if (s.chipStream)
            take = std::min(take, bulkAllowance());
        if (take == 0)
            return false;
        std::uint8_t* out = data + *moved;
        std::uint32_t from = s.offset;
        std::uint32_t left = static_cast<std::uint32_t>(take);
        if (s.chipStream && from < s.chipLength) {
            const std::uint32_t n = std::min(left, s.chipLength - from);
            copyChipBytes(out, s.chipAddress + from, n, s.looseBitFlipped);
            out += n;
            from += n;
            left -= n;
        }
        if (left > 0) {
            const std::uint32_t at = from - (s.chipStream ? s.chipLength : 0);
            std::memcpy(out, s.bytes.data() + at, left);
        }
        s.offset += static_cast<std::uint32_t>(take);
        *moved += static_cast<std::uint32_t>(take);
        if (s.chipStream)
            countBulk(take);
        if (s.offset == s.total) {
            if (s.total % kPacketBytes != 0) {
                // The last packet was short: it ends the request.
                in_.pop_front();
                return true;
            }
            if (!s.zlpAfterFull) {
                // A single full packet: the request goes on with the next one.
                in_.pop_front();
            } else {
                // A stream that ends on a packet boundary is closed by a zero-length
                // packet, which ends this request if it has room, else the next.
                s.zlpPending = true;
                if (*moved < length) {
                    in_.pop_front();
                    return true;
                }
            }
        }
        if (!present_)
            return false;
    }
    return false;
}

PipeResult SimProgrammer::transferIn(std::uint8_t* data, std::uint32_t length,
                                     std::uint32_t timeoutMs, std::uint32_t* moved,
                                     const bool* cancelled) {
    Lock lock(mutex_);
    InProgress inProgress(transfersInProgress_);
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    inLog_.push_back(length);
    *moved = 0;
    if (length == 0)
        return present_ ? PipeResult::Ok : PipeResult::Failed;
    for (;;) {
        if (!present_)
            return PipeResult::Failed;
        if (*cancelled)
            return PipeResult::Cancelled;
        if (Clock::now() < chatterUntil_) {
            const std::uint8_t chatter[] = {kGarbageFill, kGarbageFill, kGarbageFill};
            *moved = std::min<std::uint32_t>(length, sizeof chatter);
            std::memcpy(data, chatter, *moved);
            return pace(lock, *moved, cancelled) ? PipeResult::Ok : PipeResult::Cancelled;
        }
        // A stalled or silent device sends nothing; once the fault is lifted, a waiting
        // request goes on, as it does when a real device starts sending again.
        const auto quiet = [this] {
            return faults_.silent || faults_.stallAfterBytes <= bulkBytes_;
        };
        if (quiet()) {
            if (!wake_.wait_until(lock, until,
                                  [&] { return *cancelled || !present_ || !quiet(); })) {
                return PipeResult::TimedOut;
            }
            continue;
        }
        if (in_.empty()) {
            if (!wake_.wait_until(lock, until,
                                  [&] { return *cancelled || !present_ || !in_.empty(); })) {
                return PipeResult::TimedOut;
            }
            continue;
        }
        const bool ended = takeQueued(data, length, moved);
        if (!present_)
            return PipeResult::Failed;
        if (ended || *moved == length)
            return pace(lock, *moved, cancelled) ? PipeResult::Ok : PipeResult::Cancelled;
        // The request is not full and no short packet ended it: like a real device,
        // keep waiting for more packets until the time-out.
    }
}

}  // namespace sim
