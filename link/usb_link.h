// SPDX-License-Identifier: GPL-3.0-or-later
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
// A read or write the caller abandons leaves the programmer mid-phase; the link reads
// off the rest of a read in the background and resets a device left waiting for the rest
// of a write (see owedReadBytes, noteAbandonedWrite and settle).
//
// Only one thread (the window thread) calls the operations; the workers touch only the
// direction's transfer record and the caller's counter, the read-off worker only the
// link's own scratch buffer and owed count. Whoever owns the link destroys it after
// everything that started transfers on it: the destructor stops and joins every worker.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

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
    // The timed forms sleep between polls instead of spinning, at most this long.
    std::uint32_t pollSleepMs = 5;
    // Pause between reissues of a failing write request: an unplugged device fails at
    // once, and reissuing without a pause would spin a core until the chunk deadline.
    std::uint32_t writeRetryPauseMs = 1;
    // Reading off an abandoned read ends after this much silence: a reply read's limit.
    std::uint32_t readOffSilenceMs = 1000;
    // ...and after this long in all, however the device trickles: a whole chip read's
    // limit. The device is then reset before the next command.
    std::uint32_t readOffLimitMs = 100000;
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
    // when none was found or the device did not open. The device opened is the one whose
    // path and IDs were checked, whatever the bus lists by then. A read-off still running
    // is waited for first; the device and pipes of the previous open are then released
    // before the device is opened again, since a second handle cannot claim the interface
    // while the first holds it.
    int open();

    // Shown (as a message box by the window) when a pipe fails to open; gets the full
    // text with the pipe name in place.
    void setPipeFailureHandler(std::function<void(const std::string&)> handler) {
        pipeFailure_ = std::move(handler);
    }

    // The latest failure of the link as text, for the log; empty after a successful open
    // and after every transfer that ended well, so an old reason is never shown.
    const std::string& lastError() const { return lastError_; }
    // Why the last open() returned 0: NotFound when no programmer was listed, else the
    // backend's kind of failure (InUse: another program holds the programmer, and a
    // front end says so rather than "no programmer"). Opened after a successful open.
    enum class OpenResult { Opened, NotFound, Unplugged, AccessDenied, InUse, Other };
    OpenResult lastOpenResult() const { return openResult_; }

    const LinkLimits& limits() const { return limits_; }
    void setLimits(const LinkLimits& limits) { limits_ = limits; }

    // `counter` receives the bytes moved so far, each addition with release: a caller
    // that loads it with acquire may read that many bytes of `buffer` while the read
    // runs. Both must stay valid until the poll reports the end (or cancelRead returns).
    // A read-off still running is waited for first: it uses the same pipe.
    int startRead(std::uint8_t* buffer, std::uint32_t length, std::atomic<std::uint32_t>* counter,
                  std::uint32_t timeoutMs);
    // 0 while running; 1 at the end, with `result` 1 (ended well) or 0.
    int pollRead(int* result);
    int readTimed(std::uint8_t* buffer, std::uint32_t length, std::atomic<std::uint32_t>* counter,
                  std::uint32_t timeoutMs);
    // Stops a running read and joins its worker: when it returns, nothing touches the
    // caller's buffer or counter. What the device still owes is read off in the
    // background from this moment on.
    void cancelRead();

    int startWrite(const std::uint8_t* buffer, std::uint32_t length,
                   std::atomic<std::uint32_t>* counter, std::uint32_t timeoutMs);
    int pollWrite(int* result);
    int writeTimed(const std::uint8_t* buffer, std::uint32_t length,
                   std::atomic<std::uint32_t>* counter, std::uint32_t timeoutMs);
    // Stops a running write and joins its worker: when it returns, nothing reads the
    // caller's buffer or touches its counter.
    void cancelWrite();

    // An abandoned read leaves the device sending the rest: like firmware, it does not
    // forget a read the host stopped reading. From the moment the read is abandoned (a
    // cancel, a missed deadline, a failure after some bytes arrived) the rest is read
    // off on a worker of the link, in requests of at most 4096 bytes and never more than
    // is owed, until a short packet, a silence of readOffSilenceMs, or readOffLimitMs in
    // all. A read that ended on the wire owes nothing.
    //
    // The bytes still owed at this moment; falls while the read-off proceeds.
    std::uint32_t owedReadBytes() const { return owedRead_.load(std::memory_order_relaxed); }
    // For a command whose reply accepted a read that then did not start: `bytes` are
    // owed and read off from now on.
    void noteOwedRead(std::uint32_t bytes);
    // For a bulk write the device accepted and did not get whole (stopped, failed, never
    // started): the device still waits for the rest and would take the next command
    // packets for data, so it is reset before the next command.
    void noteAbandonedWrite() { resetOwed_ = true; }

    // Makes the programmer ready for the next command: waits for a running read-off to
    // end, and resets a device left in an abandoned write (or one that trickled past the
    // read-off's limit). 1 when the link is ready; 0 when the reset failed, with
    // lastError() saying to replug the programmer. The command set calls it before
    // every command packet.
    int settle();

    // Sleeps for up to `ms`, and no longer than until the worker of a started read or
    // write ends by itself (at once when one already has): whoever polls a running
    // transfer between pauses hears of its end when it comes, not at the next poll.
    // With no transfer started, it sleeps the whole time.
    void waitForTransferEnd(std::uint32_t ms);

    bool readPipeOpen() const { return readPipe_ != nullptr; }
    bool writePipeOpen() const { return writePipe_ != nullptr; }
    bool deviceOpen() const { return device_ != nullptr; }
    // The device path of the programmer the link holds open (and has claimed, so no other
    // handle can open it meanwhile); empty when it holds none.
    const std::string& openPath() const { return openPath_; }

  private:
    struct TransferState {
        UsbPipe* pipe = nullptr;
        bool isWrite = false;
        std::uint32_t length = 0;
        std::uint32_t remaining = 0;
        std::uint8_t* position = nullptr;
        std::atomic<std::uint32_t>* counter = nullptr;
        // The worker's own outcome: 1 when it ended well by itself.
        std::atomic<int> result{0};
        // How the last request ended, for the failure text.
        std::atomic<PipeResult> ending{PipeResult::Ok};
        std::atomic<bool> done{false};
        std::atomic<bool> stop{false};
        std::atomic<std::uint64_t> chunkDeadline{0};
        std::uint64_t overallDeadline = 0;
        std::uint32_t timeoutMs = 0;
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
    // Cancels the pipe request if still running and joins the worker; true when the
    // worker had to be stopped (it had not ended by itself).
    bool reap(TransferState& t);
    void release();
    void runWorker(TransferState& t);
    std::uint32_t requestTimeout(const TransferState& t) const;
    void noteEnd(const TransferState& t, bool stoppedAtDeadline);

    // The background read-off of an abandoned read.
    void startReadOff(std::uint32_t owed);
    void runReadOff(UsbPipe* pipe, std::uint64_t deadline, std::uint32_t silenceMs);
    // Waits for the read-off to end by itself (stop = false) or stops it (stop = true).
    void joinReadOff(bool stop);

    DeviceFinder& finder_;
    LinkLimits limits_;
    std::function<void(const std::string&)> pipeFailure_;
    std::string lastError_;
    OpenResult openResult_ = OpenResult::NotFound;
    std::unique_ptr<UsbDevice> device_;
    std::string openPath_;
    std::unique_ptr<UsbPipe> writePipe_;
    std::unique_ptr<UsbPipe> readPipe_;
    TransferState read_;
    TransferState write_;
    // Guards the moment a worker marks its transfer done, so that waitForTransferEnd
    // cannot miss it.
    std::mutex endMutex_;
    std::condition_variable transferEnded_;

    std::atomic<std::uint32_t> owedRead_{0};
    std::thread readOff_;
    std::atomic<bool> readOffStop_{false};
    std::atomic<bool> readOffExpired_{false};
    std::uint8_t readOffScratch_[kMaxRequestBytes];
    // The device must be reset before the next command.
    bool resetOwed_ = false;
};

}  // namespace usblink
