// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The simulated programmer: a firmware model that answers the programmer's wire
// protocol from a simulated chip socket. It stands behind the link as a UsbBus backend
// (sim/sim_bus.h), so the program can run every command with no hardware, and every
// layer above the link is tested against it.
//
// The model is written from the firmware's side, with its own packet definitions (it
// does not use the host's protocol code), so a byte that one side misreads fails a test
// instead of being mirrored.
//
// Behaviour
// - Command packets arrive one per OUT request on "PIPE01"; an unknown or malformed
//   packet is ignored (no reply). A zero-length OUT request is accepted and ignored.
// - Replies go out on "PIPE00" as single USB packets of at most 64 bytes:
//     ReadChip 11 01 00, WriteChip 12 01 01, QueryBusy 13 01 <busy>, EraseChip 14 01 01,
//     ReadIds 15 02 <manufacturer> <device> (FF FF with an empty socket),
//     FirmwareVersion 17 00 <text> 00, SelfTest F3 00,
//     BootCommand F2 <bytes 1..17 of the command> <01, or 00 when its checksum is wrong>.
// - A chip read sends the chip bytes from the address (0xFF with an empty socket, and
//   beyond an SPI flash) in 64-byte packets, then kReadTrailer, so the last packet is short (or,
//   when the total is a multiple of 64, a zero-length packet follows). The host's read of
//   length + 64 therefore ends a few bytes beyond the chip.
// - A chip write takes the announced number of bytes from the following OUT requests.
//   SPI flash programming can only clear bits (new = old AND data); 24/25/93-series
//   EEPROMs overwrite. Bytes beyond an SPI flash are dropped.
// - A 24/25/93-series EEPROM's address counter has only the bits its size needs, as in
//   the real parts: an address beyond the chip wraps to its start, for reads and writes.
//   A chip smaller than the one the host selected therefore reads as copies of itself.
// - An erase sets the whole chip to 0xFF and keeps QueryBusy answering 1 for the erase
//   duration.
// - After a self-test reply, the report text follows as its own packets; characters 14
//   and 15 of a passing report read "ok".
// - An accepted BootCommand makes the next OUT data (the announced length) the new
//   firmware image, kept for inspection.
// - Like firmware, a chip read the host stopped reading is not forgotten: its remaining
//   packets wait in the IN pipe ahead of the next reply. A chip write or image the host
//   stopped sending is not forgotten either: the next OUT bytes, command packets
//   included, are taken as the rest of its data. Only a USB reset (reset()) or an
//   unplug ends such a phase.
// - Chip commands (ReadChip, WriteChip, EraseChip) whose parameter bytes disagree with
//   the chip in the socket are answered as usual, and each disagreement is noted as a
//   protocol complaint for the tests to see.
// - An IN request ends when full or at a short packet; it waits while nothing is queued.
//   A zero-length IN request ends at once with nothing moved. A request shorter than the
//   packet at the front takes what fits and leaves the rest for the next one.
// - Throughput: every byte moved in either direction costs 1/bytesPerSecond seconds of
//   device time (0 = as fast as possible); kInteractiveThroughput is a full-speed USB
//   device's real pace. The data path copies whole requests, never packet by packet.
//
// Faults (Faults below), each selectable per test, end transfers the way a real
// programmer or cable would fail; none makes a transfer block beyond its time-out, and
// every blocked transfer ends at once when the host cancels it. "No device" is
// setPresent(false), or a bus without programmers.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/chip_record.h"
#include "link/usb_bus.h"
#include "sim/chip_cells.h"

namespace sim {

constexpr const char* kDefaultDevicePath = "usb#vid_10c4&pid_f5a2#sim-1";
// About the pace of a full-speed USB device, for the interactive mode.
constexpr std::uint64_t kInteractiveThroughput = 1'000'000;
constexpr std::uint32_t kDefaultEraseMs = 1500;
constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t kNoAddress = std::numeric_limits<std::uint32_t>::max();
// What the firmware sends after the chip data of a read; never the first byte of a reply.
constexpr std::uint8_t kReadTrailer[] = {0xA5, 0x5A, 0xA5, 0x5A};

constexpr const char* kPassingSelfTestReport =
    "Chip socket : ok\r\nUSB link    : ok\r\nVcc 3.3V    : ok\r\nVcc 5.0V    : ok\r\n";
constexpr const char* kFailingSelfTestReport =
    "Chip socket : FAIL (pin 6 shorted)\r\nUSB link    : ok\r\n";

struct Faults {
    // Accepts every OUT request, ignores every command and never sends anything.
    bool silent = false;
    // The pipe of this name ("PIPE00" or "PIPE01") fails to open.
    std::string failPipe;
    // The device is listed but cannot be opened.
    bool failDeviceOpen = false;
    // Every OUT request fails at once, as on a wedged endpoint.
    bool writeFails = false;
    // After this many bytes of bulk data (chip read, chip write, image) the device stops
    // moving data in both directions; requests then wait until they time out.
    std::uint64_t stallAfterBytes = kNever;
    // After this many bytes of bulk data the device is unplugged: the request in
    // progress and every later one fail, and the bus stops listing it.
    std::uint64_t disconnectAfterBytes = kNever;
    // Packets sent before every reply: alternately a full 64-byte packet of 0xEE and a
    // short packet that starts with another command's byte.
    int garbagePackets = 0;
    // A device that will not stop talking: for this long after the faults are set, every
    // IN request gets a short packet of 0xEE bytes at once, ahead of anything queued, so
    // no reply or chip data gets through (0 = never).
    std::uint32_t chatterMs = 0;
    // Bytes 1 and 2 of every reply are inverted, and the firmware refuses the command:
    // no read, write, image or erase follows.
    bool wrongReplyByte = false;
    // Bit 0 is inverted in every chip byte read whose address + 1 is a multiple of this
    // (0 = none).
    std::uint32_t bitFlipEvery = 0;
    // Bit 0 at this address reads inverted in every second chip read (the 2nd, the 4th,
    // ...), the way a loose clip or a marginal chip reads (kNoAddress = none).
    std::uint32_t looseBitAddress = kNoAddress;
    // An erase never ends: QueryBusy answers 1 forever.
    bool neverReady = false;
    // The self test reports a failure (characters 14 and 15 are not "ok").
    bool failSelfTest = false;
    // A USB reset does not bring the device back.
    bool resetFails = false;
    // The chip's write protection is on (its status register's protect bits): writes and
    // erases leave every cell as it was, and an erase ends at once.
    bool writeProtected = false;
    // A chip read sends at most this many chip bytes, then ends as usual with its short
    // trailer: a read cut short that looks, on the wire, like one that ended well.
    std::uint64_t cutReadAfterBytes = kNever;
};

class SimProgrammer {
  public:
    explicit SimProgrammer(std::string path = kDefaultDevicePath);

    const std::string& path() const { return path_; }

    // Puts a chip in the socket, its cells erased (0xFF); removeChip empties the socket.
    void insertChip(const catalogue::ChipRecord& chip);
    void removeChip();
    // The chip's cells, a copy; empty with an empty socket.
    std::vector<std::uint8_t> memory() const;
    // Sets cells directly, as if programmed elsewhere.
    void fillMemory(std::uint32_t address, std::span<const std::uint8_t> bytes);
    // The chip in the socket holds the first `fileBytes` bytes of the open file `fd`
    // (erased beyond them), read from the file as they are needed; the file is never
    // written. Takes over the descriptor (see ChipCells::backWithFile).
    void backMemoryWithFile(int fd, std::uint64_t fileBytes);
    // Grows with every change of the cells (a chip inserted or removed, an erase, a
    // write, fillMemory): the same number twice means nothing changed in between.
    std::uint64_t memoryChanges() const;

    void setThroughput(std::uint64_t bytesPerSecond);
    void setEraseDurationMs(std::uint32_t ms);
    void setFirmwareVersion(std::string text);
    void setFaults(const Faults& faults);
    // Plugs the device in or out (unplugged: not listed, every transfer fails). Plugged
    // in again, the firmware restarts: nothing is left in its pipes.
    void setPresent(bool present);
    bool present() const;

    // Observation, for tests.
    std::vector<std::uint32_t> outRequests() const;  // lengths of OUT requests
    std::vector<std::uint32_t> inRequests() const;   // lengths of IN requests asked
    void clearRequestLog();
    std::vector<std::uint8_t> firmwareImage() const;
    int openDevices() const;
    int openPipes() const;
    // Transfers inside the device right now: none once the host has let go of them.
    int transfersInProgress() const;
    int resets() const;
    // Parameter bytes of chip commands that disagree with the chip in the socket, one
    // text each ("ReadChip mode 0x03, the chip needs 0x14"), oldest first.
    std::vector<std::string> protocolComplaints() const;
    // Queues one raw packet (at most 64 bytes) on the IN pipe, for tests of the link.
    void queueInPacket(std::span<const std::uint8_t> packet);

    // Used by the backend's device and pipe objects.
    bool openDevice(std::string* error);
    void closeDevice();
    bool openPipe(std::string_view name);
    void closePipe();
    usblink::PipeResult transferOut(const std::uint8_t* data, std::uint32_t length,
                                    std::uint32_t timeoutMs, std::uint32_t* moved,
                                    const bool* cancelled);
    usblink::PipeResult transferIn(std::uint8_t* data, std::uint32_t length,
                                   std::uint32_t timeoutMs, std::uint32_t* moved,
                                   const bool* cancelled);
    // A USB reset: the bulk phase in progress and everything queued for the host are
    // dropped; the chip keeps its cells (and an erase goes on). False when the device is
    // gone or the resetFails fault is set.
    bool reset();
    // Wakes every waiting transfer, so it can see its cancel flag.
    void wake();
    std::mutex& mutex() { return mutex_; }

  private:
    struct InSegment {
        bool chipStream = false;
        std::vector<std::uint8_t> bytes;  // the packet, the text, or the read trailer
        std::uint32_t chipAddress = 0;
        std::uint32_t chipLength = 0;
        std::uint32_t total = 0;
        std::uint32_t offset = 0;
        // Streams (chip read, report text) close with a zero-length packet when they end
        // on a packet boundary; single packets do not.
        bool zlpAfterFull = false;
        bool zlpPending = false;
        // This chip read is one whose loose bit reads inverted.
        bool looseBitFlipped = false;
    };
    enum class OutMode { Command, ChipData, Image };
    using Clock = std::chrono::steady_clock;
    using Lock = std::unique_lock<std::mutex>;

    void handleCommand(const std::uint8_t* packet, std::uint32_t length);
    void startChipRead(const std::uint8_t* packet);
    void startChipWrite(const std::uint8_t* packet);
    void startErase();
    void startImage(const std::uint8_t* packet);
    void sendVersion();
    void sendSelfTestReport();
    // Notes each parameter byte of a chip command that disagrees with the chip in the
    // socket.
    void checkParameters(const std::uint8_t* packet, std::uint32_t length);
    void complain(const char* command, const char* what, unsigned sent, unsigned wanted);
    // Moves up to `length` queued bytes into `data`; true when a short or zero-length
    // packet ended the request.
    bool takeQueued(std::uint8_t* data, std::uint32_t length, std::uint32_t* moved);
    void reply(std::vector<std::uint8_t> packet);
    void queueStream(InSegment segment);
    bool busy() const;
    // Bulk bytes that may still move before a stall or a disconnect.
    std::uint64_t bulkAllowance() const;
    void countBulk(std::uint64_t bytes);
    void copyChipBytes(std::uint8_t* out, std::uint32_t address, std::uint32_t count,
                       bool looseBitFlipped) const;
    void programChip(const std::uint8_t* data, std::uint32_t count);
    // The chip in the socket is an EEPROM, whose addresses wrap at its size.
    bool wrapsAddresses() const;
    // Waits until the device clock has paid for `bytes`; false when cancelled first.
    bool pace(Lock& lock, std::uint64_t bytes, const bool* cancelled);
    usblink::PipeResult waitForever(Lock& lock, Clock::time_point until, const bool* cancelled);

    const std::string path_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;

    bool present_ = true;
    bool hasChip_ = false;
    catalogue::ChipRecord chip_{};
    ChipCells cells_;
    std::uint64_t throughput_ = 0;
    std::uint32_t eraseMs_ = kDefaultEraseMs;
    std::string version_ = "Chipwright SIM V1.00";
    Faults faults_;
    Clock::time_point chatterUntil_{};

    std::deque<InSegment> in_;
    OutMode outMode_ = OutMode::Command;
    std::uint32_t outAddress_ = 0;
    std::uint32_t outLeft_ = 0;
    std::vector<std::uint8_t> image_;
    bool erasing_ = false;
    Clock::time_point eraseEnd_{};
    std::uint64_t bulkBytes_ = 0;
    std::uint64_t chipReads_ = 0;
    Clock::time_point deviceClock_{};

    std::vector<std::uint32_t> outLog_;
    std::vector<std::uint32_t> inLog_;
    int openDevices_ = 0;
    int openPipes_ = 0;
    int transfersInProgress_ = 0;
    int resets_ = 0;
    std::vector<std::string> complaints_;
};

}  // namespace sim
