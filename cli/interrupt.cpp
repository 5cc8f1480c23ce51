// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/interrupt.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>

namespace cli {
namespace {

constexpr int kSignalStatusBase = 128;

std::atomic<int> requestedBy{0};  // the first signal, 0 before any
constexpr const char* kTransferNote =
    "\ninterrupted: stopping the transfer (Ctrl-C again exits at once)\n";
std::atomic<const char*> note{kTransferNote};

void onInterrupt(int signal) {
    int none = 0;
    if (!requestedBy.compare_exchange_strong(none, signal))
        _exit(kSignalStatusBase + signal);
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
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    // Before any thread of the program exists, so that they all inherit the mask.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
}

void setInterruptNote(const char* text) {
    note.store(text ? text : kTransferNote);
}

bool interruptRequested() {
    return requestedBy.load(std::memory_order_relaxed) != 0;
}

int interruptStatus() {
    const int signal = requestedBy.load();
    return signal == 0 ? kInterruptedStatus : kSignalStatusBase + signal;
}

const char* interruptCause() {
    switch (requestedBy.load()) {
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "Ctrl-C";
    }
}

}  // namespace cli
