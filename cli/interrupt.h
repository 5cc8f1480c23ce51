// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Ctrl-C, and the other ways a run is told to stop: SIGTERM (a service manager, kill)
// and SIGHUP (the terminal went away). The first of them only asks the running
// operation to stop (the operations see it through Frontend::cancelRequested), so the
// transfer ends cleanly and the link can settle what the programmer still owes before
// the process exits: the programmer outlives the process, and the next run would know
// nothing of an abandoned transfer. A second one exits at once. Either way the exit
// status is 128 + the signal, as shells report it: 130 for Ctrl-C, 143 for SIGTERM,
// 129 for SIGHUP.
//
// SIGPIPE is blocked in the main thread (and the threads it starts afterwards): a reader
// that went away (`| head -c 1`) makes a write to stdout fail with EPIPE, which the run
// reports as a failure, instead of killing the run between reading the chip and saving
// its file. Blocked rather than ignored: the process-wide disposition stays as it was
// for threads the program did not start itself (ignoring it made the runs over the
// emulated usbfs device lose their programmer now and then).

namespace cli {

// Exit status of a run stopped by Ctrl-C: 128 + SIGINT.
constexpr int kInterruptedStatus = 130;

void installInterruptHandler();
// The line the first Ctrl-C prints (a text that lives for the whole program, with its
// line breaks); nullptr restores the one for a running transfer.
void setInterruptNote(const char* text);
bool interruptRequested();
// 128 + the signal that asked the run to stop; kInterruptedStatus before any did.
int interruptStatus();
// What asked the run to stop, for the log: "Ctrl-C", "SIGTERM" or "SIGHUP".
const char* interruptCause();

}  // namespace cli
