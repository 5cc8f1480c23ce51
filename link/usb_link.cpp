// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/usb_link.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "util/tick.h"

namespace usblink {
namespace {

constexpr std::int64_t kFirstPollPauseUs = 50;

std::string withPipeName(std::string_view text, std::string_view pipe) {
    std::string out(text);
    const std::size_t at = out.find("%s");
    if (at != std::string::npos)
        out.replace(at, 2, pipe);
    return out;
}

void sleepMs(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

UsbLink::UsbLink(DeviceFinder& finder, LinkLimits limits) : finder_(finder), limits_(limits) {
    read_.isWrite = false;
    write_.isWrite = true;
}

UsbLink::~UsbLink() {
    release();
}

int UsbLink::open() {
    // One listing, and the IDs are read from the very path that is then opened: a device
    // plugged in meanwhile may shift every index of a fresh listing. The product ID is
    // looked at only when the vendor matches; the lowest index wins.
    std::string found;
    for (std::string& path : finder_.devicePaths()) {
        if (vendorIdFromPath(path) == kProgrammerVendorId &&
            productIdFromPath(path) == kProgrammerProductId) {
            found = std::move(path);
            break;
        }
    }
    if (found.empty()) {
        // Absence has no reason to tell beyond itself.
        lastError_.clear();
        openResult_ = OpenResult::NotFound;
        return 0;
    }
    // The device may still be sending an abandoned read: let the read-off finish on the
    // old handle, since closing it would not stop the device.
    joinReadOff(false);
    release();
    device_ = finder_.openDevice(found);
    if (!device_) {
        lastError_ = finder_.bus().lastError();
        if (lastError_.empty())
            lastError_ = "the programmer could not be opened";
        switch (finder_.bus().lastOpenFailure()) {
            case OpenFailure::Unplugged:
                openResult_ = OpenResult::Unplugged;
                break;
            case OpenFailure::AccessDenied:
                openResult_ = OpenResult::AccessDenied;
                break;
            case OpenFailure::InUse:
                openResult_ = OpenResult::InUse;
                break;
            case OpenFailure::None:
            case OpenFailure::Other:
                openResult_ = OpenResult::Other;
                break;
        }
        return 0;
    }
    lastError_.clear();
    openResult_ = OpenResult::Opened;
    openPath_ = found;
    writePipe_ = finder_.openPipe(*device_, kWritePipeName);
    if (!writePipe_) {
        lastError_ = finder_.bus().lastError();
        if (pipeFailure_)
            pipeFailure_(withPipeName(kWritePipeFailureText, kWritePipeName));
    }
    readPipe_ = finder_.openPipe(*device_, kReadPipeName);
    if (!readPipe_) {
        lastError_ = finder_.bus().lastError();
        if (pipeFailure_)
            pipeFailure_(withPipeName(kReadPipeFailureText, kReadPipeName));
    }
    return 1;
}

void UsbLink::release() {
    reap(read_);
    reap(write_);
    joinReadOff(true);
    read_.pipe = nullptr;
    write_.pipe = nullptr;
    readPipe_.reset();
    writePipe_.reset();
    device_.reset();
    openPath_.clear();
}

bool UsbLink::reap(TransferState& t) {
    bool stopped = false;
    if (t.worker.joinable()) {
        if (!t.done.load(std::memory_order_acquire)) {
            stopped = true;
            t.stop.store(true, std::memory_order_release);
            if (t.pipe)
                t.pipe->cancel();
        }
        t.worker.join();
    }
    t.active = false;
    return stopped;
}

std::uint32_t UsbLink::requestTimeout(const TransferState& t) const {
    const std::uint64_t deadline =
        std::min(t.chunkDeadline.load(std::memory_order_relaxed), t.overallDeadline);
    const std::uint64_t now = util::tickMs();
    if (now >= deadline)
        return 0;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(deadline - now, UINT32_MAX));
}

void UsbLink::runWorker(TransferState& t) {
    t.counter->store(0, std::memory_order_relaxed);
    int result = 0;
    PipeResult r = PipeResult::Ok;
    for (;;) {
        if (t.stop.load(std::memory_order_acquire)) {
            r = PipeResult::Cancelled;
            result = 0;
            break;
        }
        const std::uint32_t chunk = std::min(t.remaining, kMaxRequestBytes);
        t.remaining -= chunk;
        t.chunkDeadline.store(util::tickMs() + t.limits.chunkStallMs, std::memory_order_relaxed);

        std::uint32_t moved = 0;
        for (;;) {
            const std::uint32_t timeout = requestTimeout(t);
            if (timeout == 0) {
                r = PipeResult::TimedOut;
                break;
            }
            moved = 0;
            r = t.pipe->transfer(t.position, chunk, timeout, &moved);
            // Only a write is reissued, and only after an outright failure: the chunk
            // deadline is what ends a run of failures.
            if (!t.isWrite || r != PipeResult::Failed || moved != 0 ||
                t.stop.load(std::memory_order_acquire)) {
                break;
            }
            sleepMs(t.limits.writeRetryPauseMs);
        }
        if (moved != 0) {
            t.position += moved;
            // Release: the caller may read the bytes below the count while the read
            // still runs (a verify compares them as they arrive), so the count must not
            // become visible before the bytes it covers.
            t.counter->fetch_add(moved, std::memory_order_release);
        }
        if (r != PipeResult::Ok) {
            result = 0;
            break;
        }
        result = 1;
        if (moved < chunk || chunk != kMaxRequestBytes)
            break;
    }
    t.ending.store(r, std::memory_order_relaxed);
    t.result.store(result, std::memory_order_relaxed);
    {
        const std::lock_guard<std::mutex> lock(endMutex_);
        t.done.store(true, std::memory_order_release);
    }
    transferEnded_.notify_all();
}

void UsbLink::waitForTransferEnd(std::uint32_t ms) {
    std::unique_lock<std::mutex> lock(endMutex_);
    transferEnded_.wait_for(lock, std::chrono::milliseconds(ms), [this] {
        return (read_.active && read_.done.load(std::memory_order_acquire)) ||
               (write_.active && write_.done.load(std::memory_order_acquire));
    });
}

int UsbLink::start(TransferState& t, UsbPipe* pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::atomic<std::uint32_t>* counter, std::uint32_t timeoutMs) {
    if (pipe == nullptr) {
        lastError_ = std::string(t.isWrite ? kWritePipeName : kReadPipeName) + " is not open";
        return 0;
    }
    // The read-off reads the same pipe a read would, and a command written while the
    // device still sends would be answered behind the rest of that read.
    joinReadOff(false);
    // The previous worker of this direction has ended or was stopped; reap it before its
    // record is refilled.
    reap(t);
    pipe->rearm();
    t.pipe = pipe;
    t.length = length;
    t.remaining = length;
    t.position = buffer;
    t.counter = counter;
    t.timeoutMs = timeoutMs;
    t.result.store(0, std::memory_order_relaxed);
    t.ending.store(PipeResult::Ok, std::memory_order_relaxed);
    t.done.store(false, std::memory_order_relaxed);
    t.stop.store(false, std::memory_order_relaxed);
    t.limits = limits_;
    // Both deadlines are set before the worker exists, so the worker can bound its own
    // requests by them.
    const std::uint64_t now = util::tickMs();
    t.overallDeadline = now + timeoutMs;
    t.chunkDeadline.store(now + limits_.chunkStallMs, std::memory_order_relaxed);
    try {
        t.worker = std::thread([this, &t] { runWorker(t); });
    } catch (const std::system_error&) {
        lastError_ = "cannot start a transfer thread";
        return 0;
    }
    t.active = true;
    return 1;
}

void UsbLink::noteEnd(const TransferState& t, bool stoppedAtDeadline) {
    if (t.result.load(std::memory_order_relaxed) == 1 && !stoppedAtDeadline) {
        lastError_.clear();
        return;
    }
    const char* what = t.isWrite ? "writing to" : "reading from";
    const std::uint32_t moved = t.counter->load(std::memory_order_relaxed);
    std::string why;
    if (stoppedAtDeadline) {
        why = util::tickMs() > t.overallDeadline
                  ? "no end within " + std::to_string(t.timeoutMs) + " ms"
                  : "no progress for " + std::to_string(t.limits.chunkStallMs) + " ms";
    } else if (t.ending.load(std::memory_order_relaxed) == PipeResult::Failed) {
        why = "the programmer refused the transfer or was unplugged";
    } else {
        why = "the transfer was stopped";
    }
    lastError_ = std::string(what) + " the programmer failed after " + std::to_string(moved) +
                 " of " + std::to_string(t.length) + " bytes: " + why;
}

int UsbLink::poll(TransferState& t, int* result) {
    if (!t.active) {
        *result = t.result.load(std::memory_order_relaxed);
        return 1;
    }
    const bool done = t.done.load(std::memory_order_acquire);
    const std::uint64_t now = util::tickMs();
    if (!done && now <= t.overallDeadline &&
        now <= t.chunkDeadline.load(std::memory_order_relaxed)) {
        return 0;
    }
    // Deadlines are tested only here: a worker that ended by itself is reported as it
    // ended, even when a deadline has passed since.
    const bool stopped = reap(t);
    noteEnd(t, stopped);
    const std::uint32_t received = t.counter->load(std::memory_order_relaxed);
    // A read that failed part way (the device began to answer, then stalled or the
    // worker gave up at a deadline) leaves the rest in the device, as an abandoned one
    // does. A read that got nothing at all owes nothing: the device never started.
    if (!t.isWrite && t.result.load(std::memory_order_relaxed) == 0 && received != 0)
        startReadOff(t.length > received ? t.length - received : 0);
    if (stopped)
        t.result.store(0, std::memory_order_relaxed);
    *result = t.result.load(std::memory_order_relaxed);
    return 1;
}

int UsbLink::timed(TransferState& t, int* result) {
    // A command packet or a reply usually moves within a millisecond: the first polls
    // come after a few tens of microseconds, and the pause doubles up to its limit.
    const auto longest = std::chrono::microseconds(std::uint64_t{limits_.pollSleepMs} * 1000);
    auto pause = std::min(std::chrono::microseconds(kFirstPollPauseUs), longest);
    while (!poll(t, result)) {
        std::unique_lock<std::mutex> lock(endMutex_);
        transferEnded_.wait_for(lock, pause,
                                [&t] { return t.done.load(std::memory_order_acquire); });
        pause = std::min(pause * 2, longest);
    }
    return *result;
}

int UsbLink::startRead(std::uint8_t* buffer, std::uint32_t length,
                       std::atomic<std::uint32_t>* counter, std::uint32_t timeoutMs) {
    return start(read_, readPipe_.get(), buffer, length, counter, timeoutMs);
}

int UsbLink::pollRead(int* result) {
    return poll(read_, result);
}

int UsbLink::readTimed(std::uint8_t* buffer, std::uint32_t length,
                       std::atomic<std::uint32_t>* counter, std::uint32_t timeoutMs) {
    if (!startRead(buffer, length, counter, timeoutMs))
        return 0;
    int result = 0;
    return timed(read_, &result);
}

void UsbLink::cancelRead() {
    if (!read_.active) {
        reap(read_);
        return;
    }
    const bool stopped = reap(read_);
    // A read that ended on the wire (full, or at the device's short packet) owes
    // nothing, even when the worker finished while being stopped. One that was stopped,
    // or failed after bytes arrived, leaves the rest in the device.
    const std::uint32_t received = read_.counter->load(std::memory_order_relaxed);
    if (read_.result.load(std::memory_order_relaxed) == 0 && (stopped || received != 0))
        startReadOff(read_.length > received ? read_.length - received : 0);
    read_.result.store(0, std::memory_order_relaxed);
}

int UsbLink::startWrite(const std::uint8_t* buffer, std::uint32_t length,
                        std::atomic<std::uint32_t>* counter, std::uint32_t timeoutMs) {
    // The worker only reads through the position of a write.
    return start(write_, writePipe_.get(), const_cast<std::uint8_t*>(buffer), length, counter,
                 timeoutMs);
}

int UsbLink::pollWrite(int* result) {
    return poll(write_, result);
}

int UsbLink::writeTimed(const std::uint8_t* buffer, std::uint32_t length,
                        std::atomic<std::uint32_t>* counter, std::uint32_t timeoutMs) {
    if (!startWrite(buffer, length, counter, timeoutMs))
        return 0;
    int result = 0;
    return timed(write_, &result);
}

void UsbLink::cancelWrite() {
    reap(write_);
    write_.result.store(0, std::memory_order_relaxed);
}

void UsbLink::noteOwedRead(std::uint32_t bytes) {
    reap(read_);
    startReadOff(bytes);
}

void UsbLink::startReadOff(std::uint32_t owed) {
    joinReadOff(true);
    owedRead_.store(owed, std::memory_order_relaxed);
    readOffExpired_.store(false, std::memory_order_relaxed);
    if (owed == 0 || !readPipe_) {
        owedRead_.store(0, std::memory_order_relaxed);
        return;
    }
    readPipe_->rearm();
    readOffStop_.store(false, std::memory_order_relaxed);
    const std::uint64_t deadline = util::tickMs() + limits_.readOffLimitMs;
    try {
        readOff_ = std::thread(
            [this, pipe = readPipe_.get(), deadline, silence = limits_.readOffSilenceMs] {
                runReadOff(pipe, deadline, silence);
            });
    } catch (const std::system_error&) {
        // Without a thread the rest cannot be read off; a reset drops it instead.
        owedRead_.store(0, std::memory_order_relaxed);
        resetOwed_ = true;
    }
}

void UsbLink::runReadOff(UsbPipe* pipe, std::uint64_t deadline, std::uint32_t silenceMs) {
    for (;;) {
        const std::uint32_t owed = owedRead_.load(std::memory_order_relaxed);
        if (owed == 0 || readOffStop_.load(std::memory_order_acquire))
            break;
        const std::uint64_t now = util::tickMs();
        if (now >= deadline) {
            readOffExpired_.store(true, std::memory_order_release);
            break;
        }
        const std::uint32_t request = std::min(owed, kMaxRequestBytes);
        const auto timeout =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(silenceMs, deadline - now));
        std::uint32_t moved = 0;
        const PipeResult r = pipe->transfer(readOffScratch_, request, timeout, &moved);
        owedRead_.store(owed - std::min(moved, owed), std::memory_order_relaxed);
        if (r == PipeResult::TimedOut && util::tickMs() >= deadline) {
            readOffExpired_.store(true, std::memory_order_release);
            break;
        }
        // A short packet ends the device's read; silence or a failure means it sends no
        // more.
        if (r != PipeResult::Ok || moved < request)
            break;
    }
    owedRead_.store(0, std::memory_order_relaxed);
}

void UsbLink::joinReadOff(bool stop) {
    if (!readOff_.joinable())
        return;
    if (stop) {
        readOffStop_.store(true, std::memory_order_release);
        if (readPipe_)
            readPipe_->cancel();
    }
    readOff_.join();
}

int UsbLink::settle() {
    joinReadOff(false);
    if (readOffExpired_.exchange(false, std::memory_order_acq_rel))
        resetOwed_ = true;
    if (!resetOwed_)
        return 1;
    if (device_ && device_->reset()) {
        resetOwed_ = false;
        return 1;
    }
    lastError_ =
        "the programmer did not recover from an interrupted transfer; unplug it and plug it "
        "in again";
    return 0;
}

}  // namespace usblink
