// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/terminal_frontend.h"

#include <cinttypes>

#include "cli/interrupt.h"

namespace cli {
namespace {

constexpr int kBarWidth = 30;
// The bar is redrawn at most this often: a terminal over a slow link would otherwise
// take more time drawing than the transfer.
constexpr auto kRedrawPause = std::chrono::milliseconds(100);
constexpr double kMega = 1e6;

std::string trimmed(const std::string& piece) {
    const auto first = piece.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return piece.substr(first, piece.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string oneLine(const std::string& text) {
    std::string line;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        if (const std::string piece = trimmed(text.substr(start, end - start)); !piece.empty())
            line += (line.empty() ? "" : " ") + piece;
        start = end + 1;
    }
    return line;
}

TerminalFrontend::TerminalFrontend(std::FILE* err, std::FILE* in, TerminalSettings settings)
    : err_(err), in_(in), settings_(settings) {}

void TerminalFrontend::showStatus(const std::string& text) {
    // Every status text starts a phase: the rate is measured from here.
    phaseStart_ = Clock::now();
    lastPercent_ = -1;
    const std::string line = oneLine(text);
    shown_.push_back(line);
    if (!settings_.quiet)
        printLine(line);
}

void TerminalFrontend::showMessage(const std::string& text) {
    const std::string line = oneLine(text);
    shown_.push_back(line);
    printLine(line);
}

void TerminalFrontend::note(const std::string& text) {
    shown_.push_back(text);
    printLine(text);
}

bool TerminalFrontend::askOkCancel(const std::string& text) {
    const std::string line = oneLine(text);
    shown_.push_back(line);
    if (settings_.interactive) {
        endProgress();
        std::fprintf(err_, "%s [y/N] ", line.c_str());
        std::fflush(err_);
        char answer[16] = {};
        if (std::fgets(answer, sizeof answer, in_) == nullptr)
            return false;
        return answer[0] == 'y' || answer[0] == 'Y';
    }
    if (settings_.yes) {
        printLine(line + " [answered OK by --yes]");
        return true;
    }
    printLine(line + " [nobody to ask: cancelled; --yes answers OK]");
    return false;
}

bool TerminalFrontend::cancelRequested() {
    return interruptRequested();
}

void TerminalFrontend::showProgress(int percent) {
    if (!settings_.progressBar || percent == lastPercent_)
        return;
    const Clock::time_point now = Clock::now();
    if (percent < 100 && now - lastDraw_ < kRedrawPause)
        return;
    lastDraw_ = now;
    lastPercent_ = percent;
    drawBar(percent);
}

void TerminalFrontend::drawBar(int percent) {
    const int filled = percent * kBarWidth / 100;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kBarWidth, '.');
    const double seconds = std::chrono::duration<double>(Clock::now() - phaseStart_).count();
    const double done = static_cast<double>(phaseBytes_) * percent / 100.0;
    char tail[64] = "";
    if (phaseBytes_ > 0 && seconds > 0 && percent > 0) {
        const double left = seconds * (100 - percent) / percent;
        std::snprintf(tail, sizeof tail, "  %.2f MB/s  %d:%02d left", done / seconds / kMega,
                      static_cast<int>(left) / 60, static_cast<int>(left) % 60);
    }
    std::fprintf(err_, "\r[%s] %3d%%%s\033[K", bar.c_str(), percent, tail);
    std::fflush(err_);
    barShown_ = true;
}

void TerminalFrontend::endProgress() {
    if (!barShown_)
        return;
    std::fputs("\r\033[K", err_);
    barShown_ = false;
}

void TerminalFrontend::printLine(const std::string& line) {
    // A box that repeats the status text just shown ("No programmer ...") is one line on
    // a terminal; both stay in shown().
    if (line == lastPrinted_)
        return;
    lastPrinted_ = line;
    endProgress();
    std::fprintf(err_, "%s\n", line.c_str());
    std::fflush(err_);
}

}  // namespace cli
