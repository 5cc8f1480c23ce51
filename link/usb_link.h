#pragma once
// The opened programmer and the timed bulk transfers over its two pipes.
//
// Every transfer runs on a short-lived worker thread that the calling (window) thread
// starts and watches with two limits: a stall limit per request of at most 4096 bytes
// (3000 ms) and an overall limit the caller picks for each transfer. Requests are at most
// 4096 bytes; a transfer whose length is a multiple of 4096 (zero included) ends with a
// zero-length request, and a read ends early, counted as well ended, at the first short
// request. A failing write request is reissued, a millisecond apart, until its chunk
// deadline.
//
// Two choices differ from a naive blocking design, both for soundness:
// - Deadlines are 64-bit millisecond ticks (util::tickMs), so they never wrap; a 32-bit
//   tick count wraps after 49.7 days of uptime and a deadline then expires at once or
//   after weeks.
// - A transfer that misses a deadline or is cancelled is stopped cooperatively: the pipe
//   request is cancelled and the worker is joined before the poll reports the end or
//   cancelRead returns. Killing the thread inside a blocking call could leave the device
//   or the kernel writing into a buffer the caller has already freed. The caller still
//   sees result 0 at the deadline and the counter as far as bytes arrived.
//
// Only one thread (the window thread) calls the operations; the workers touch only the
// direction's transfer record and the caller's counter.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "link/device_finder.h"
#include "link/usb_bus.h"

namespace usblink {

// The fixed English texts shown when a pipe of the found programmer cannot be opened;
// %s is the pipe name.
constexpr const char* kWritePipeFailureText =
    "Error opening Write device: %s\n\nApplication is aborting.\nReset hardware and try again.";
constexpr const char* kReadPipeFailureText =
    "Error opening Read device: %s\n\nApplication is aborting.\nReset hardware and try again.";

struct LinkLimits {
    // A request that does not end within this time fails the transfer; the programmer's
    // driver contract: 3000 ms per request of at most 4096 bytes.
    std::uint32_t chunkStallMs = 3000;
    // The timed forms sleep this long between polls instead of spinning.
    std::uint32_t pollSleepMs = 5;
    // Pause between reissues of a failing write request: an unplugged device fails at
    // once, and reissuing without a pause would spin a core until the chunk deadline.
    std::uint32_t writeRetryPauseMs = 1;
};

class UsbLink {
  public:
    explicit UsbLink(DeviceFinder& finder, LinkLimits limits = {});
    ~UsbLink();
    UsbLink(const UsbLink&) = delete;
    UsbLink& operator=(const UsbLink&) = delete;

    // Finds the first programmer (10c4:f5a2) and opens it and both pipes. 1 when the
    // device opened, even if a pipe did not (the failure is reported through the
    // pipe-failure handler at that moment, and transfers on that pipe fail at once); 0
    // when none was found or the device did not open. The device and pipes of the
    // previous open are released before the device is opened again, since a second
    // handle cannot claim the interface while the first holds it.
    int open();

    // Shown (as a message box by the window) when a pipe fails to open; gets the full
    // text with the pipe name in place.
    void setPipeFailureHandler(std::function<void(const std::string&)> handler) {
        pipeFailure_ = std::move(handler);
    }

    // The backend's last failure as text, for the log.
    std::string lastError() const;

    const LinkLimits& limits() const { return limits_; }
    void setLimits(const LinkLimits& limits) { limits_ = limits; }

    // `counter` receives the bytes moved so far; it and `buffer` must stay valid until
    // the poll reports the end (or cancelRead returns).
    int startRead(std::uint8_t* buffer, std::uint32_t length, std::atomic<std::uint32_t>* counter,
                  std::uint32_t timeoutMs);
    // 0 while running; 1 at the end, with `result` 1 (ended well) or 0.
    int pollRead(int* result);
    int readTimed(std::uint8_t* buffer, std::uint32_t length, std::atomic<std::uint32_t>* counter,
                  std::uint32_t timeoutMs);
    // Stops a running read and waits for its worker.
    void cancelRead();

    int startWrite(const std::uint8_t* buffer, std::uint32_t length,
                   std::atomic<std::uint32_t>* counter, std::uint32_t timeoutMs);
    int pollWrite(int* result);
    int writeTimed(const std::uint8_t* buffer, std::uint32_t length,
                   std::atomic<std::uint32_t>* counter, std::uint32_t timeoutMs);

    // Bytes a cancelled or abandoned read left in the device, not yet read off: the
    // read's length less the bytes received. Like firmware, the device goes on sending a
    // read the host stopped reading, and skipping it one reply-sized packet at a time
    // would take minutes for a chip read.
    std::uint32_t owedReadBytes() const { return owedRead_; }
    // For a command whose reply was refused although the device may have started
    // sending: treat `bytes` as owed.
    void noteOwedRead(std::uint32_t bytes) { owedRead_ = bytes; }
    // Reads off up to owedReadBytes() in requests of 4096 bytes on the calling thread,
    // stopping at a short request or after `silenceMs` without data; returns the bytes
    // read off and forgets the debt.
    std::uint32_t discardOwedRead(std::uint32_t silenceMs);

    bool readPipeOpen() const { return readPipe_ != nullptr; }
    bool writePipeOpen() const { return writePipe_ != nullptr; }
    bool deviceOpen() const { return device_ != nullptr; }

  private:
    struct TransferState {
        UsbPipe* pipe = nullptr;
        bool isWrite = false;
        std::uint32_t length = 0;
        std::uint32_t remaining = 0;
        std::uint8_t* position = nullptr;
        std::atomic<std::uint32_t>* counter = nullptr;
        std::atomic<int> result{0};
        std::atomic<bool> done{false};
        std::atomic<bool> stop{false};
        std::atomic<std::uint64_t> chunkDeadline{0};
        std::uint64_t overallDeadline = 0;
        // The link's limits when the transfer started; the worker reads only this copy.
        LinkLimits limits;
        std::thread worker;
        // Started and not yet reported ended by a poll or cancel.
        bool active = false;
    };

    int start(TransferState& t, UsbPipe* pipe, std::uint8_t* buffer, std::uint32_t length,
              std::atomic<std::uint32_t>* counter, std::uint32_t timeoutMs);
    int poll(TransferState& t, int* result);
    int timed(TransferState& t, int* result);
    // Cancels the pipe request if still running and joins the worker.
    void reap(TransferState& t);
    void release();
    void rememberOwed(const TransferState& t);
    void runWorker(TransferState& t);
    std::uint32_t requestTimeout(const TransferState& t) const;

    DeviceFinder& finder_;
    LinkLimits limits_;
    std::function<void(const std::string&)> pipeFailure_;
    std::unique_ptr<UsbDevice> device_;
    std::unique_ptr<UsbPipe> writePipe_;
    std::unique_ptr<UsbPipe> readPipe_;
    TransferState read_;
    TransferState write_;
    std::uint32_t owedRead_ = 0;
};

}  // namespace usblink
