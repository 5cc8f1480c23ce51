#include "link/usb_link.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "util/tick.h"

namespace usblink {
namespace {

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

std::string UsbLink::lastError() const {
    return finder_.bus().lastError();
}

int UsbLink::open() {
    const int count = finder_.countDevices();
    int found = -1;
    for (int i = 0; i < count; ++i) {
        // The product ID is asked only when the vendor matches; the lowest index wins.
        if (finder_.vendorIdOf(i) == kProgrammerVendorId &&
            finder_.productIdOf(i) == kProgrammerProductId) {
            found = i;
            break;
        }
    }
    if (found < 0)
        return 0;

    release();
    device_ = finder_.openDevice(found);
    if (!device_)
        return 0;
    writePipe_ = finder_.openPipe(*device_, kWritePipeName);
    if (!writePipe_ && pipeFailure_)
        pipeFailure_(withPipeName(kWritePipeFailureText, kWritePipeName));
    readPipe_ = finder_.openPipe(*device_, kReadPipeName);
    if (!readPipe_ && pipeFailure_)
        pipeFailure_(withPipeName(kReadPipeFailureText, kReadPipeName));
    return 1;
}

void UsbLink::release() {
    reap(read_);
    reap(write_);
    read_.pipe = nullptr;
    write_.pipe = nullptr;
    readPipe_.reset();
    writePipe_.reset();
    device_.reset();
}

void UsbLink::reap(TransferState& t) {
    if (t.worker.joinable()) {
        if (!t.done.load(std::memory_order_acquire)) {
            t.stop.store(true, std::memory_order_release);
            if (t.pipe)
                t.pipe->cancel();
        }
        t.worker.join();
    }
    t.active = false;
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
    for (;;) {
        if (t.stop.load(std::memory_order_acquire)) {
            result = 0;
            break;
        }
        const std::uint32_t chunk = std::min(t.remaining, kMaxRequestBytes);
        t.remaining -= chunk;
        t.chunkDeadline.store(util::tickMs() + t.limits.chunkStallMs, std::memory_order_relaxed);

        std::uint32_t moved = 0;
        PipeResult r = PipeResult::TimedOut;
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
            t.counter->fetch_add(moved, std::memory_order_relaxed);
        }
        if (r != PipeResult::Ok) {
            result = 0;
            break;
        }
        result = 1;
        if (moved < chunk || chunk != kMaxRequestBytes)
            break;
    }
    t.result.store(result, std::memory_order_relaxed);
    t.done.store(true, std::memory_order_release);
}

int UsbLink::start(TransferState& t, UsbPipe* pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::atomic<std::uint32_t>* counter, std::uint32_t timeoutMs) {
    if (pipe == nullptr)
        return 0;
    // The previous worker of this direction has ended or was stopped; reap it before its
    // record is refilled.
    reap(t);
    pipe->rearm();
    t.pipe = pipe;
    t.length = length;
    t.remaining = length;
    t.position = buffer;
    t.counter = counter;
    t.result.store(0, std::memory_order_relaxed);
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
        return 0;
    }
    t.active = true;
    return 1;
}

int UsbLink::poll(TransferState& t, int* result) {
    if (!t.active) {
        *result = t.result.load(std::memory_order_relaxed);
        return 1;
    }
    if (t.done.load(std::memory_order_acquire)) {
        t.worker.join();
        t.active = false;
        *result = t.result.load(std::memory_order_relaxed);
        // A read that failed part way (the device began to answer, then the worker gave
        // up at a deadline) leaves the rest in the device as an abandoned one does. A read
        // that got nothing at all owes nothing: the device never started.
        if (!t.isWrite && *result == 0 && t.counter->load(std::memory_order_relaxed) != 0)
            rememberOwed(t);
        return 1;
    }
    const std::uint64_t now = util::tickMs();
    if (now > t.overallDeadline || now > t.chunkDeadline.load(std::memory_order_relaxed)) {
        reap(t);
        if (!t.isWrite && t.counter->load(std::memory_order_relaxed) != 0)
            rememberOwed(t);
        t.result.store(0, std::memory_order_relaxed);
        *result = 0;
        return 1;
    }
    return 0;
}

void UsbLink::rememberOwed(const TransferState& t) {
    const std::uint32_t received = t.counter->load(std::memory_order_relaxed);
    owedRead_ = t.length > received ? t.length - received : 0;
}

int UsbLink::timed(TransferState& t, int* result) {
    while (!poll(t, result))
        sleepMs(limits_.pollSleepMs);
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
    if (read_.active && !read_.done.load(std::memory_order_acquire)) {
        reap(read_);
        rememberOwed(read_);
        read_.result.store(0, std::memory_order_relaxed);
    } else {
        reap(read_);
    }
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

std::uint32_t UsbLink::discardOwedRead(std::uint32_t silenceMs) {
    const std::uint32_t owed = owedRead_;
    owedRead_ = 0;
    if (owed == 0 || !readPipe_)
        return 0;
    reap(read_);
    readPipe_->rearm();
    std::uint8_t scratch[kMaxRequestBytes];
    std::uint32_t total = 0;
    while (total < owed) {
        std::uint32_t moved = 0;
        const PipeResult r = readPipe_->transfer(scratch, kMaxRequestBytes, silenceMs, &moved);
        total += moved;
        if (r != PipeResult::Ok || moved < kMaxRequestBytes)
            break;
    }
    return total;
}

}  // namespace usblink
