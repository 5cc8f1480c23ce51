// SPDX-License-Identifier: GPL-3.0-or-later
#include "operations/frame.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "app/messages.h"
#include "util/tick.h"

namespace operations {
namespace {

constexpr unsigned kFullProgress = 100;
constexpr std::uint32_t kWaitPumpingPauseMs = 2;
constexpr std::uint32_t kWaitPumpingMask = 0xFFFF;
constexpr char kShowInfoPrefix[] = "ShowInfo: ";

}  // namespace

std::string text(int key) {
    return app::messageText(key);
}

Frame::~Frame() {
    if (holding_)
        --bench.operationsRunning;
}

void Frame::showInfo(const std::string& info) {
    log(kShowInfoPrefix + info);
    ui.showStatus(info);
    ui.pumpMessage();
}

void Frame::setProgress(unsigned percent) {
    ui.showProgress(static_cast<int>(percent > kFullProgress ? kFullProgress : percent));
    ui.pumpMessage();
}

void Frame::pause(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void Frame::waitPumping(std::uint32_t ms) {
    const std::uint64_t until = util::tickMs() + (ms & kWaitPumpingMask);
    while (util::tickMs() < until) {
        ui.pumpMessage();
        pause(kWaitPumpingPauseMs);
    }
}

bool Frame::refuseIfBusy() {
    // The running operation's state is looked at, not polled: a poll from a command
    // nested in the running one's message pump could take the end of its phase away,
    // and the running one would then report a failed read as a good one. A command
    // that has passed its guards counts as running even where the programmer is idle
    // (a verify comparing the last bytes, the steps of Auto).
    const bool busy =
        bench.programmer.state() != protocol::Idle || (bench.operationsRunning > 0 && !holding_);
    if (!busy)
        return false;
    message(text(app::MsgProgrammerBusy));
    log(text(app::MsgProgrammerBusy));
    return true;
}

bool Frame::ensureLinked() {
    if (bench.link.open())
        return true;
    showInfo(text(app::MsgNoProgrammer));
    // Why the programmer that was found could not be opened ("access denied; install
    // the udev rule"): a user must learn it, and this open's own reason is the only one.
    if (const std::string& reason = bench.link.lastError(); !reason.empty())
        log(reason);
    message(text(app::MsgNoProgrammer));
    return false;
}

void Frame::hold() {
    if (!holding_) {
        holding_ = true;
        ++bench.operationsRunning;
    }
}

Outcome Frame::guard() {
    if (refuseIfBusy())
        return Outcome::Busy;
    if (!ensureLinked())
        return Outcome::NoProgrammer;
    hold();
    return Outcome::Done;
}

Outcome Frame::follow(protocol::PollStatus running, int errorKey) {
    // The first polls come quickly, since a reply is often there within a millisecond;
    // then the pause grows to its usual length.
    std::uint32_t pauseMs = 1;
    for (;;) {
        const protocol::PollStatus status = bench.programmer.poll();
        if (status == running) {
            showProgress();
            ui.pumpMessage();
            if (ui.cancelRequested()) {
                bench.programmer.cancelRead();
                return Outcome::Cancelled;
            }
            // The pause ends early when the transfer behind the operation ends.
            bench.link.waitForTransferEnd(pauseMs);
            pauseMs = std::min(pauseMs * 2, kPollPauseMs);
        } else if (status == protocol::PollFailed) {
            showInfo(text(errorKey));
            message(text(errorKey));
            return Outcome::Failed;
        } else if (status == protocol::PollDone) {
            return Outcome::Done;
        }
    }
}

}  // namespace operations
