// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The frame every command runs in: its log lines, the status line, progress, message
// boxes, the busy and link guards, and the poll loop of a long chip operation. Internal
// to the commands.

#include <cstdint>
#include <string>
#include <string_view>

#include "operations/frontend.h"
#include "operations/workbench.h"
#include "protocol/programmer.h"

namespace operations {

// The pause between two polls of a running operation.
constexpr std::uint32_t kPollPauseMs = 5;

class Frame {
  public:
    Frame(Workbench& workbench, Frontend& frontend) : bench(workbench), ui(frontend) {}
    ~Frame();
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    // One log entry.
    void log(std::string_view text) { bench.log.write(text); }
    // The status line and the log ("ShowInfo: " + text), then one message pump.
    void showInfo(const std::string& text);
    // Above 100 shows 100; then one message pump.
    void setProgress(unsigned percent);
    void showProgress() { setProgress(bench.programmer.progress()); }
    void message(const std::string& text) { ui.showMessage(text); }
    // Pumps messages for `ms` milliseconds (its low 16 bits), pausing 2 ms between.
    void waitPumping(std::uint32_t ms);
    void pause(std::uint32_t ms);

    // Refuses, with message 0 in a box and the log, while the programmer or another
    // command is busy. True when refused.
    bool refuseIfBusy();
    // Opens the programmer; without one, message 1 in the status line, the log and a
    // box, and the link's reason in the log when this open found one. False then.
    bool ensureLinked();
    // Counts this command as running until the frame ends.
    void hold();
    // The busy guard, the link guard and the hold of a command that talks to the
    // programmer: Done when it may go on, else why not.
    Outcome guard();

    // Follows a started chip command until it ends: `running` (PollReading and so on)
    // shows progress and pumps; PollFailed shows `errorKey` in the status line and a
    // box. Done, Failed or Cancelled (the user asked to stop; the phase is stopped).
    Outcome follow(protocol::PollStatus running, int errorKey);

    Workbench& bench;
    Frontend& ui;

  private:
    bool holding_ = false;
};

// The message table's text for `key` in the current language.
std::string text(int key);

}  // namespace operations
