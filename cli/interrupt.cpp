// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace cli {
namespace {

std::atomic<bool> requested{false};

void onInterrupt(int) {
    if (requested.exchange(true)) {
        _exit(kInterruptedStatus);
    }
    static constexpr char kNote[] =
        "\ninterrupted: stopping the transfer (Ctrl-C again exits at once)\n";
    // Nothing can be done about a failed write inside a signal handler.
    [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, kNote, sizeof kNote - 1);
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

bool interruptRequested() {
    return requested.load(std::memory_order_relaxed);
}

}  // namespace cli
