// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Ctrl-C. The first SIGINT only asks the running operation to stop (the operations see it
// through Frontend::cancelRequested), so the transfer ends cleanly and the link can
// settle what the programmer still owes before the process exits: the programmer
// outlives the process, and the next run would know nothing of an abandoned transfer. A
// second SIGINT exits at once with status 130.

namespace cli {

// Exit status of a run stopped by Ctrl-C: 128 + SIGINT, as shells report it.
constexpr int kInterruptedStatus = 130;

void installInterruptHandler();
// The line the first Ctrl-C prints (a text that lives for the whole program, with its
// line breaks); nullptr restores the one for a running transfer.
void setInterruptNote(const char* text);
bool interruptRequested();

}  // namespace cli
