// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>

namespace cli {
namespace {

std::atomic<bool> requested{false};
constexpr const char* kTransferNote =
    "\ninterrupted: stopping the transfer (Ctrl-C again exits at once)\n";
std::atomic<const char*> note{kTransferNote};

void onInterrupt(int) {
    if (requested.exchange(true)) {
        _exit(kInterruptedStatus);
    }
    const char* text = note.load();
    std::size_t length = 0;
    while (text[length] != '\0')
        ++length;
    // Nothing can be done about a failed write inside a signal handler.
    [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, text, length);
}

}  // namespace

void installInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls resume: the link's workers must not see spurious errors.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
}

void setInterruptNote(const char* text) {
    note.store(text ? text : kTransferNote);
}

bool interruptRequested() {
    return requested.load(std::memory_order_relaxed);
}

}  // namespace cli
