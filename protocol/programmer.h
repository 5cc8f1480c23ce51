// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The host's model of the programmer: it turns the selected chip into the chip
// parameter bytes, sends the command packets over the UsbLink and checks their replies,
// runs the bulk data phases of the long chip commands on the link's workers, and reports
// through poll() whether the running operation goes on, has finished or has failed.
//
// Everything runs on the window thread; only the read and write counters are advanced
// by the link's workers. Faults of a naive design that are avoided:
// - A bulk phase ends well only when all of it moved: a chip read the programmer cuts
//   short with a short packet, or a write that ends before its last byte went out, is
//   PollFailed, although the transport counts a short packet as a good end.
// - A read cancelled in the middle (a verify that stops at a mismatch) leaves the
//   device owing the rest of it, up to 16 MB. Skipping that one reply-sized packet at a
//   time would take over twenty minutes, so the link reads it off in the background
//   from the moment of the cancel, and the next command waits only for what is left.
// - A write or firmware image that ends early leaves the programmer waiting for the
//   rest, which would turn the next command packets into chip data: the link resets the
//   programmer before the next command.
// - An erase whose chip keeps answering busy would be polled forever; after
//   ProgrammerLimits::eraseLimitMs poll() gives up with PollFailed.
// - An empty reply packet is skipped like an unrelated one: it has no command byte to
//   match.
// - A device that keeps sending unrelated packets would keep a reply wait going forever
//   if only each read were timed; the reply limit bounds the whole wait.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "catalogue/chip_record.h"
#include "link/usb_link.h"

namespace protocol {

enum PollStatus : int {
    PollDone = 0,
    PollReading = 1,
    PollWriting = 2,
    PollErasing = 3,
    PollFailed = 4,
};

enum ProgrammerState : int {
    Idle = 0,
    Reading = 1,
    Writing = 2,
    Erasing = 3,
};

// A chip read asks for this many bytes beyond the chip: the programmer ends the read
// with a short packet of its own.
constexpr std::uint32_t kReadSlackBytes = 64;
// One reply read asks for a whole USB packet.
constexpr std::uint32_t kReplyPacketBytes = 64;
constexpr std::size_t kVersionTextBytes = 100;
constexpr std::size_t kSelfTestReportBytes = 1000;

// Time limits of the command set, injectable so tests can run them short.
struct ProgrammerLimits {
    // Writing a command packet: the programmer takes every packet at once.
    std::uint32_t commandWriteMs = 500;
    // Writing the WriteChip packet: the programmer may first prepare the chip.
    std::uint32_t writeChipCommandMs = 50000;
    // The whole wait for a reply, however many unrelated packets arrive before it.
    std::uint32_t replyReadMs = 1000;
    // The whole bulk read of a chip of up to 16 MB.
    std::uint32_t chipReadMs = 100000;
    // The whole bulk write of a chip, programming included.
    std::uint32_t chipWriteMs = 1000000;
    // The self-test report that follows its reply.
    std::uint32_t selfTestReportMs = 1000;
    // The whole firmware image of at most 256 KB.
    std::uint32_t firmwareImageMs = 10000;
    // An erase still busy after 10 minutes has failed: well beyond the slowest datasheet
    // chip-erase time of a 16 MB flash (a few minutes).
    std::uint32_t eraseLimitMs = 600000;
};

// Lifetimes: the UsbLink given to attach() must outlive the Programmer, and the buffer
// of a running bulk phase (the DataBuffer image of a chip read or write, a firmware
// image) must outlive the phase: until poll() reports its end, cancelRead() returns, or
// the Programmer is destroyed, which stops a running phase before its counters go.
class Programmer {
  public:
    explicit Programmer(ProgrammerLimits limits = {}) : limits_(limits) {}
    ~Programmer();
    Programmer(const Programmer&) = delete;
    Programmer& operator=(const Programmer&) = delete;

    int attach(usblink::UsbLink& link);
    // Sets the process-wide chip parameters from `chip`: 1, or 0 for an unknown type
    // (the parameters then keep their values).
    int setChip(const catalogue::ChipRecord& chip);

    // `destination` needs room for length + kReadSlackBytes; it (and the source of a
    // write) must stay valid until poll() has returned something other than
    // PollReading (PollWriting) or cancelRead() has been called.
    int startReadChip(std::uint8_t* destination, std::uint32_t address, std::uint32_t length);
    int startWriteChip(const std::uint8_t* source, std::uint32_t address, std::uint32_t length,
                       std::uint16_t pageSize);
    int startErase();
    int queryBusy(std::uint8_t* busy);
    PollStatus poll();
    std::uint16_t progress() const { return progress_; }
    // How many bulk phases (chip reads and writes, firmware images) have started, and
    // how many bytes of its length the running or last one has moved: what a stopped
    // command really transferred.
    std::uint32_t phasesStarted() const { return phasesStarted_; }
    std::uint32_t phaseBytesMoved() const;
    // Acquire: the bytes below the count are in the caller's buffer and may be read while
    // the read goes on.
    std::uint32_t bytesReceived() const { return readCounter_.load(std::memory_order_acquire); }
    // Stops whichever bulk phase runs (a verify abandons its read this way) and returns
    // to Idle; when it returns, no worker touches the caller's buffer any more.
    void cancelRead();

    int readChipId(std::array<std::uint8_t, 2>* ids);
    // Zero-terminated text of at most 99 characters.
    int readFirmwareVersion(std::span<char, kVersionTextBytes> text);
    // The report text; the caller zero-fills the buffer first.
    int selfTest(std::span<char, kSelfTestReportBytes> report);
    int startFirmwareUpdate(const std::uint8_t* image, std::uint32_t length);

    // Reads packets until one starts with `command` and is at most `longest` bytes long,
    // copies it to `destination` (room for kReplyPacketBytes) and returns 1; 0 when a
    // read fails or ProgrammerLimits::replyReadMs has passed first.
    int receiveReply(std::uint8_t command, std::uint8_t* destination, std::uint16_t longest,
                     std::uint32_t* received);

    ProgrammerState state() const { return state_; }
    const ProgrammerLimits& limits() const { return limits_; }
    void setLimits(const ProgrammerLimits& limits) { limits_ = limits; }

  private:
    // Lets the link settle what an abandoned phase left, writes `packet`, and receives
    // its reply.
    int exchange(std::span<const std::uint8_t> packet, std::uint32_t writeMs, std::uint16_t longest,
                 std::uint8_t* reply, std::uint32_t* received);
    PollStatus pollBulk(bool reading);
    // Bytes the running (or last) read or write has moved.
    std::uint32_t moved(bool reading) const;
    // Starts the data of an accepted write or image; a phase that cannot start leaves
    // the programmer waiting, so the link is told to reset it.
    int startBulkWrite(const std::uint8_t* source, std::uint32_t length, std::uint32_t timeoutMs);

    ProgrammerLimits limits_;
    usblink::UsbLink* link_ = nullptr;
    ProgrammerState state_ = Idle;
    std::uint32_t readLength_ = 0;
    std::atomic<std::uint32_t> readCounter_{0};
    std::uint32_t writeLength_ = 0;
    std::atomic<std::uint32_t> writeCounter_{0};
    std::uint16_t progress_ = 0;
    std::uint32_t phasesStarted_ = 0;
    bool lastPhaseReading_ = false;
    std::uint64_t eraseStartedMs_ = 0;
};

}  // namespace protocol
