// SPDX-License-Identifier: GPL-3.0-or-later
// Whatever the device says: every command of the Programmer against a scripted device
// that answers with random reply and data packets, refuses, times out or stops taking
// data, as the input decides. The device never waits (a request with nothing scripted
// times out at once) and the limits are a few milliseconds, so each input runs in
// moments. One input byte makes the device chatter: it answers every read with an
// unrelated packet, without taking input, until the host writes again. After each
// command the Programmer must be back in Idle, within a bound far above its limits;
// the sanitizers watch the buffers and the link's threads.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "catalogue/chip_record.h"
#include "link/device_finder.h"
#include "link/usb_bus.h"
#include "link/usb_link.h"
#include "protocol/programmer.h"
#include "util/tick.h"

namespace {

using usblink::PipeResult;

// No command of the Programmer may take longer than this: the longest of the limits
// below is 50 ms, and a run of this harness never saw a command take 25 ms.
constexpr std::uint64_t kCommandBoundMs = 250;
// The input byte that makes the device chatter on a read.
constexpr std::uint8_t kChatterByte = 0xFF;
// A chatter ends by itself only after this long, so a command that never stops
// reading fails the bound instead of hanging the run.
constexpr std::uint64_t kChatterMs = 4 * kCommandBoundMs;

// The input, taken a byte at a time by whoever asks next: the command loop, the
// device's pipes (on the link's worker threads) and its reset.
class Script {
  public:
    explicit Script(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool empty() {
        std::lock_guard<std::mutex> lock(mutex_);
        return at_ >= bytes_.size();
    }
    std::uint8_t next() {
        std::lock_guard<std::mutex> lock(mutex_);
        return at_ < bytes_.size() ? bytes_[at_++] : 0;
    }
    void chatter(bool on) {
        std::lock_guard<std::mutex> lock(mutex_);
        chatterUntil_ = on ? util::tickMs() + kChatterMs : 0;
    }
    bool chattering() {
        std::lock_guard<std::mutex> lock(mutex_);
        return util::tickMs() < chatterUntil_;
    }
    // Up to `count` bytes of the input, fewer at its end.
    std::uint32_t take(std::uint8_t* out, std::uint32_t count) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::uint32_t n = 0;
        while (n < count && at_ < bytes_.size())
            out[n++] = bytes_[at_++];
        return n;
    }

  private:
    std::mutex mutex_;
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
    std::uint64_t chatterUntil_ = 0;
};

class ScriptedPipe : public usblink::UsbPipe {
  public:
    ScriptedPipe(Script& script, bool in) : script_(script), in_(in) {}

    PipeResult transfer(std::uint8_t* data, std::uint32_t length, std::uint32_t,
                        std::uint32_t* moved) override {
        *moved = 0;
        if (cancelled_)
            return PipeResult::Cancelled;
        if (!in_)
            script_.chatter(false);
        if (in_ && script_.chattering())
            return stalePacket(data, length, moved);
        if (script_.empty())
            return PipeResult::TimedOut;
        const std::uint8_t how = script_.next();
        if (in_ && how == kChatterByte) {
            script_.chatter(true);
            return stalePacket(data, length, moved);
        }
        switch (how % 8) {
            case 0:
                return PipeResult::TimedOut;
            case 1:
                return PipeResult::Failed;
            case 2: {
                // Part of the request, then the device stops.
                const std::uint32_t part = length / 2;
                *moved = in_ ? script_.take(data, part) : part;
                return PipeResult::TimedOut;
            }
            default:
                break;
        }
        if (!in_) {
            *moved = length;
            return PipeResult::Ok;
        }
        // A packet of up to 64 bytes: a reply echoing a command byte, or data.
        const std::uint32_t size = std::min<std::uint32_t>(script_.next() % 65u, length);
        *moved = script_.take(data, size);
        if (how % 8 == 3 && *moved > 0)
            data[0] = kCommands[script_.next() % kCommands.size()];
        return PipeResult::Ok;
    }
    void cancel() override { cancelled_ = true; }
    void rearm() override { cancelled_ = false; }

  private:
    static PipeResult stalePacket(std::uint8_t* data, std::uint32_t length, std::uint32_t* moved) {
        // 0xEE starts no reply.
        *moved = std::min<std::uint32_t>(length, 3);
        std::fill_n(data, *moved, std::uint8_t{0xEE});
        return PipeResult::Ok;
    }
    static constexpr std::array<std::uint8_t, 8> kCommands = {0x11, 0x12, 0x13, 0x14,
                                                              0x15, 0x17, 0xF2, 0xF3};
    Script& script_;
    const bool in_;
    std::atomic<bool> cancelled_{false};
};

class ScriptedDevice : public usblink::UsbDevice {
  public:
    explicit ScriptedDevice(Script& script) : script_(script) {}
    std::unique_ptr<usblink::UsbPipe> openPipe(std::string_view name) override {
        return std::make_unique<ScriptedPipe>(script_, name == usblink::kReadPipeName);
    }
    bool reset() override { return script_.next() % 4 != 0; }

  private:
    Script& script_;
};

class ScriptedBus : public usblink::UsbBus {
  public:
    explicit ScriptedBus(Script& script) : script_(script) {}
    std::vector<std::string> devicePaths() override { return {"usb#vid_10c4&pid_f5a2#fuzz"}; }
    std::unique_ptr<usblink::UsbDevice> openDevice(const std::string&) override {
        return std::make_unique<ScriptedDevice>(script_);
    }
    std::string lastError() const override { return {}; }

  private:
    Script& script_;
};

usblink::LinkLimits shortLinkLimits() {
    usblink::LinkLimits limits;
    limits.chunkStallMs = 5;
    limits.pollSleepMs = 0;
    limits.writeRetryPauseMs = 0;
    limits.readOffSilenceMs = 5;
    limits.readOffLimitMs = 20;
    return limits;
}

protocol::ProgrammerLimits shortProgrammerLimits() {
    protocol::ProgrammerLimits limits;
    limits.commandWriteMs = 5;
    limits.writeChipCommandMs = 5;
    limits.replyReadMs = 5;
    limits.chipReadMs = 50;
    limits.chipWriteMs = 50;
    limits.selfTestReportMs = 5;
    limits.firmwareImageMs = 50;
    limits.eraseLimitMs = 10;
    return limits;
}

// Polls the running operation to its end, as the operations do.
void finish(protocol::Programmer& programmer) {
    for (int polls = 0; polls < 1'000'000; ++polls) {
        const protocol::PollStatus s = programmer.poll();
        if (s == protocol::PollDone || s == protocol::PollFailed)
            return;
    }
    programmer.cancelRead();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Script script({data, size});
    ScriptedBus bus(script);
    usblink::DeviceFinder finder(bus);
    usblink::UsbLink link(finder, shortLinkLimits());
    protocol::Programmer programmer(shortProgrammerLimits());
    if (!link.open())
        return 0;
    programmer.attach(link);

    catalogue::ChipRecord chip;
    chip.type = script.next() % 4;
    chip.capacity = 1u + script.next() * 64u;
    chip.level = script.next();
    chip.mode93 = script.next();
    programmer.setChip(chip);
    std::vector<std::uint8_t> buffer(chip.capacity + protocol::kReadSlackBytes);

    for (int command = 0; command < 8 && !script.empty(); ++command) {
        const std::uint64_t started = util::tickMs();
        switch (script.next() % 9) {
            case 0:
                if (programmer.startReadChip(buffer.data(), 0, chip.capacity))
                    finish(programmer);
                break;
            case 1:
                if (programmer.startWriteChip(buffer.data(), 0, chip.capacity, 256))
                    finish(programmer);
                break;
            case 2:
                if (programmer.startErase())
                    finish(programmer);
                break;
            case 3: {
                std::array<std::uint8_t, 2> ids{};
                programmer.readChipId(&ids);
                break;
            }
            case 4: {
                std::array<char, protocol::kVersionTextBytes> text{};
                programmer.readFirmwareVersion(text);
                break;
            }
            case 5: {
                std::array<char, protocol::kSelfTestReportBytes> report{};
                programmer.selfTest(report);
                break;
            }
            case 6:
                if (programmer.startFirmwareUpdate(buffer.data(), chip.capacity))
                    finish(programmer);
                break;
            case 7:
                // A verify that stops part way.
                if (programmer.startReadChip(buffer.data(), 0, chip.capacity)) {
                    programmer.poll();
                    programmer.cancelRead();
                }
                break;
            default: {
                std::uint8_t busy = 0;
                programmer.queryBusy(&busy);
                break;
            }
        }
        if (programmer.state() != protocol::Idle || util::tickMs() - started > kCommandBoundMs)
            std::abort();
    }
    return 0;
}
