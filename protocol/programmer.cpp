// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/programmer.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "protocol/chip_params.h"
#include "protocol/packets.h"
#include "util/tick.h"

namespace protocol {
namespace {

// Longest reply each command accepts; larger packets are taken for unrelated ones.
constexpr std::uint16_t kChipReplyLongest = 3;
constexpr std::uint16_t kReadIdsReplyLongest = 5;
constexpr std::uint16_t kVersionReplyLongest = 102;
constexpr std::uint16_t kBootReplyLongest = 30;
constexpr std::uint16_t kSelfTestReplyLongest = 3000;

constexpr std::uint8_t kAccepted = 0x01;
constexpr std::uint8_t kIdsTag = 0x02;
constexpr std::uint8_t kBusy = 1;
constexpr std::size_t kVersionTextAt = 2;
constexpr std::size_t kBootEchoEnd = 17;  // the reply echoes packet bytes 1..17
constexpr std::size_t kBootStatusAt = 18;
constexpr std::uint16_t kFullProgress = 100;

template <std::size_t N>
std::span<const std::uint8_t> bytes(const std::array<std::uint8_t, N>& packet) {
    return {packet.data(), packet.size()};
}

std::uint16_t percent(std::uint32_t done, std::uint32_t total) {
    // A bulk phase of length 0 is never started; count it as complete instead of dividing
    // by zero.
    if (total == 0)
        return kFullProgress;
    return static_cast<std::uint16_t>(std::min<std::uint32_t>(done * 100u / total, kFullProgress));
}

}  // namespace

Programmer::~Programmer() {
    if (state_ == Reading || state_ == Writing)
        cancelRead();
}

int Programmer::attach(usblink::UsbLink& link) {
    link_ = &link;
    return 1;
}

int Programmer::setChip(const catalogue::ChipRecord& chip) {
    return applyChip(chipParams(), chip) ? 1 : 0;
}

int Programmer::receiveReply(std::uint8_t command, std::uint8_t* destination, std::uint16_t longest,
                             std::uint32_t* received) {
    if (link_ == nullptr)
        return 0;
    // The reply limit bounds the whole wait, not each read: a device that keeps sending
    // unrelated packets would otherwise keep the caller waiting for as long as it talks.
    const std::uint64_t deadline = util::tickMs() + limits_.replyReadMs;
    for (;;) {
        const std::uint64_t now = util::tickMs();
        if (now >= deadline)
            return 0;
        std::uint8_t packet[kReplyPacketBytes];
        std::atomic<std::uint32_t> count{0};
        if (!link_->readTimed(packet, kReplyPacketBytes, &count,
                              static_cast<std::uint32_t>(deadline - now))) {
            return 0;
        }
        const std::uint32_t n = count.load(std::memory_order_acquire);
        // Stale or unrelated packets (and empty ones, which carry no command byte) are
        // skipped until the matching reply arrives, a read fails or the limit passes.
        if (n == 0 || packet[0] != command || n > longest)
            continue;
        std::memcpy(destination, packet, n);
        *received = n;
        return 1;
    }
}

int Programmer::exchange(std::span<const std::uint8_t> packet, std::uint32_t writeMs,
                         std::uint16_t longest, std::uint8_t* reply, std::uint32_t* received) {
    if (link_ == nullptr || !link_->settle())
        return 0;
    std::atomic<std::uint32_t> sent{0};
    if (!link_->writeTimed(packet.data(), static_cast<std::uint32_t>(packet.size()), &sent,
                           writeMs)) {
        return 0;
    }
    return receiveReply(packet[0], reply, longest, received);
}

int Programmer::startReadChip(std::uint8_t* destination, std::uint32_t address,
                              std::uint32_t length) {
    if (state_ != Idle)
        return 0;
    std::uint8_t reply[kReplyPacketBytes];
    std::uint32_t n = 0;
    if (!exchange(bytes(readChipPacket(chipParams(), address, length)), limits_.commandWriteMs,
                  kChipReplyLongest, reply, &n)) {
        return 0;
    }
    // A refused read sends nothing. An accepted one sends the chip from now on: when the
    // read does not go on, the bytes are owed and read off instead of being skipped one
    // reply read at a time.
    const std::uint32_t total = length + kReadSlackBytes;
    if (n < 3 || reply[1] != kAccepted || reply[2] != 0x00)
        return 0;
    readLength_ = length;
    readCounter_.store(0, std::memory_order_relaxed);
    ++phasesStarted_;
    lastPhaseReading_ = true;
    if (destination == nullptr ||
        !link_->startRead(destination, total, &readCounter_, limits_.chipReadMs)) {
        link_->noteOwedRead(total);
        return 0;
    }
    state_ = Reading;
    return 1;
}

int Programmer::startWriteChip(const std::uint8_t* source, std::uint32_t address,
                               std::uint32_t length, std::uint16_t pageSize) {
    if (state_ != Idle)
        return 0;
    std::uint8_t reply[kReplyPacketBytes];
    std::uint32_t n = 0;
    if (!exchange(bytes(writeChipPacket(chipParams(), address, length, pageSize)),
                  limits_.writeChipCommandMs, kChipReplyLongest, reply, &n)) {
        return 0;
    }
    if (n < 3 || reply[1] != kAccepted || reply[2] != kAccepted)
        return 0;
    return startBulkWrite(source, length, limits_.chipWriteMs);
}

int Programmer::startErase() {
    if (state_ != Idle)
        return 0;
    std::uint8_t reply[kReplyPacketBytes];
    std::uint32_t n = 0;
    if (!exchange(bytes(eraseChipPacket(chipParams())), limits_.commandWriteMs, kChipReplyLongest,
                  reply, &n)) {
        return 0;
    }
    if (n < 3 || reply[2] != kAccepted)
        return 0;
    eraseStartedMs_ = util::tickMs();
    state_ = Erasing;
    return 1;
}

int Programmer::queryBusy(std::uint8_t* busy) {
    std::uint8_t reply[kReplyPacketBytes];
    std::uint32_t n = 0;
    if (!exchange(bytes(queryBusyPacket(chipParams())), limits_.commandWriteMs, kChipReplyLongest,
                  reply, &n)) {
        return 0;
    }
    if (n < 3 || reply[1] != kAccepted)
        return 0;
    *busy = reply[2];
    return 1;
}

std::uint32_t Programmer::moved(bool reading) const {
    // A read's count is loaded with acquire, as the caller goes on to read its bytes; a
    // write's count only measures progress.
    return reading ? readCounter_.load(std::memory_order_acquire)
                   : writeCounter_.load(std::memory_order_relaxed);
}

std::uint32_t Programmer::phaseBytesMoved() const {
    // A read may deliver the slack beyond its length; only the length is the chip's.
    return std::min(moved(lastPhaseReading_), lastPhaseReading_ ? readLength_ : writeLength_);
}

PollStatus Programmer::pollBulk(bool reading) {
    const std::uint32_t length = reading ? readLength_ : writeLength_;
    std::uint32_t done = moved(reading);
    progress_ = percent(done, length);
    int result = 0;
    const int ended = reading ? link_->pollRead(&result) : link_->pollWrite(&result);
    if (!ended)
        return reading ? PollReading : PollWriting;
    state_ = Idle;
    // The transport counts a short packet as a good end; the phase has ended well only
    // when all of it moved. The bytes of a short read stay where they landed.
    done = moved(reading);
    progress_ = percent(done, length);
    if (result && done >= length)
        return PollDone;
    if (!reading)
        link_->noteAbandonedWrite();
    return PollFailed;
}

PollStatus Programmer::poll() {
    switch (state_) {
        case Reading:
            return pollBulk(true);
        case Writing:
            return pollBulk(false);
        case Erasing: {
            std::uint8_t busy = 0;
            if (!queryBusy(&busy)) {
                state_ = Idle;
                return PollFailed;
            }
            if (busy == kBusy) {
                progress_ = 0;
                if (util::tickMs() - eraseStartedMs_ >= limits_.eraseLimitMs) {
                    state_ = Idle;
                    return PollFailed;
                }
                return PollErasing;
            }
            progress_ = kFullProgress;
            state_ = Idle;
            return PollDone;
        }
        case Idle:
        default:
            return PollDone;
    }
}

void Programmer::cancelRead() {
    const ProgrammerState was = state_;
    state_ = Idle;
    if (link_ == nullptr)
        return;
    if (was == Writing) {
        link_->cancelWrite();
        if (writeCounter_.load(std::memory_order_relaxed) < writeLength_)
            link_->noteAbandonedWrite();
    } else {
        link_->cancelRead();
    }
}

int Programmer::readChipId(std::array<std::uint8_t, 2>* ids) {
    std::uint8_t reply[kReplyPacketBytes];
    std::uint32_t n = 0;
    if (!exchange(bytes(readIdsPacket(chipParams())), limits_.commandWriteMs, kReadIdsReplyLongest,
                  reply, &n)) {
        return 0;
    }
    if (n < 4 || reply[1] != kIdsTag)
        return 0;
    (*ids)[0] = reply[2];
    (*ids)[1] = reply[3];
    return 1;
}

int Programmer::readFirmwareVersion(std::span<char, kVersionTextBytes> text) {
    if (state_ != Idle)
        return 0;
    std::uint8_t reply[kReplyPacketBytes];
    std::uint32_t n = 0;
    if (!exchange(bytes(firmwareVersionPacket()), limits_.commandWriteMs, kVersionReplyLongest,
                  reply, &n)) {
        return 0;
    }
    std::size_t length = 0;
    for (std::size_t i = kVersionTextAt; i < n && reply[i] != 0 && length < text.size() - 1; ++i)
        text[length++] = static_cast<char>(reply[i]);
    text[length] = '\0';
    return 1;
}

int Programmer::selfTest(std::span<char, kSelfTestReportBytes> report) {
    if (state_ != Idle)
        return 0;
    std::uint8_t reply[kReplyPacketBytes];
    std::uint32_t n = 0;
    if (!exchange(bytes(selfTestPacket()), limits_.commandWriteMs, kSelfTestReplyLongest, reply,
                  &n)) {
        return 0;
    }
    if (!link_->startRead(reinterpret_cast<std::uint8_t*>(report.data()),
                          static_cast<std::uint32_t>(report.size()), &readCounter_,
                          limits_.selfTestReportMs)) {
        return 0;
    }
    int result = 0;
    // The report follows at once; wait for it without sleeping, as the window expects
    // the answer within the call.
    while (!link_->pollRead(&result))
        std::this_thread::yield();
    return result;
}

int Programmer::startFirmwareUpdate(const std::uint8_t* image, std::uint32_t length) {
    if (state_ != Idle)
        return 0;
    const auto packet = bootCommandPacket(length);
    std::uint8_t reply[kReplyPacketBytes];
    std::uint32_t n = 0;
    if (!exchange(bytes(packet), limits_.commandWriteMs, kBootReplyLongest, reply, &n))
        return 0;
    if (n <= kBootStatusAt || std::memcmp(reply + 1, packet.data() + 1, kBootEchoEnd) != 0 ||
        reply[kBootStatusAt] != kAccepted) {
        return 0;
    }
    return startBulkWrite(image, length, limits_.firmwareImageMs);
}

int Programmer::startBulkWrite(const std::uint8_t* source, std::uint32_t length,
                               std::uint32_t timeoutMs) {
    // The programmer has accepted the phase and waits for `length` bytes from now on.
    writeLength_ = length;
    writeCounter_.store(0, std::memory_order_relaxed);
    ++phasesStarted_;
    lastPhaseReading_ = false;
    if (source == nullptr || !link_->startWrite(source, length, &writeCounter_, timeoutMs)) {
        if (length != 0)
            link_->noteAbandonedWrite();
        return 0;
    }
    state_ = Writing;
    return 1;
}

}  // namespace protocol
