// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/terminal_frontend.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cinttypes>

#include "app/messages.h"

#include "cli/interrupt.h"

namespace cli {
namespace {

constexpr int kLongestBar = 40;
constexpr int kShortestBar = 10;
// Where the terminal does not say its width.
constexpr int kDefaultColumns = 80;
// The bar is redrawn at most this often: a terminal over a slow link would otherwise
// take more time drawing than the transfer.
constexpr auto kRedrawPause = std::chrono::milliseconds(100);
// An unchanged bar is redrawn this often, for its clock.
constexpr auto kClockRedrawPause = std::chrono::seconds(1);
// A rate over less time than this says more about the moment than the transfer.
constexpr double kShortestRateSeconds = 0.5;
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
    erasing_ = line == oneLine(app::messageText(app::MsgErasing));
    // A pass is its read's: the next phase has none.
    if (!passLabel_.empty() && line != oneLine(app::messageText(app::MsgReading)))
        passLabel_.clear();
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

void TerminalFrontend::showPass(int pass, int passes) {
    passLabel_ = "pass " + std::to_string(pass) + "/" + std::to_string(passes) + " ";
}

void TerminalFrontend::showProgress(int percent) {
    if (!settings_.progressBar)
        return;
    // An unchanged percentage is still redrawn now and then, so that the time shown
    // during an erase (which reports none) goes on.
    const Clock::time_point now = Clock::now();
    const auto pause = percent == lastPercent_ ? kClockRedrawPause : kRedrawPause;
    if ((percent < 100 || percent == lastPercent_) && now - lastDraw_ < pause)
        return;
    lastDraw_ = now;
    lastPercent_ = percent;
    drawBar(percent);
}

int TerminalFrontend::columns() const {
    struct winsize size {};
    if (ioctl(fileno(err_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return kDefaultColumns;
}

std::string TerminalFrontend::barTail(int percent, double seconds) const {
    char tail[64] = "";
    const int whole = static_cast<int>(seconds);
    if (erasing_ || phaseBytes_ == 0) {
        std::snprintf(tail, sizeof tail, "  %d:%02d", whole / 60, whole % 60);
    } else if (percent >= 100) {
        std::snprintf(tail, sizeof tail, "  in %d:%02d", whole / 60, whole % 60);
    } else if (percent > 0 && seconds >= kShortestRateSeconds) {
        // The rate of the bytes moved so far over the time they took; none from a first
        // frame's moment, which would be any number at all.
        const double done = static_cast<double>(phaseBytes_) * percent / 100.0;
        const double left = seconds * (100 - percent) / percent;
        std::snprintf(tail, sizeof tail, "  %.2f MB/s  %d:%02d left", done / seconds / kMega,
                      static_cast<int>(left) / 60, static_cast<int>(left) % 60);
    }
    return tail;
}

void TerminalFrontend::drawBar(int percent) {
    const double seconds = std::chrono::duration<double>(Clock::now() - phaseStart_).count();
    std::string tail = barTail(percent, seconds);
    // "[", "] 100%" and the tail fit the line with one column to spare (a terminal that
    // wraps at its last column would start a new line); on a narrow terminal the tail
    // goes before the bar gets too short to read.
    const int fixed = static_cast<int>(passLabel_.size()) + 8;
    int width = columns() - 1 - fixed - static_cast<int>(tail.size());
    if (width < kShortestBar) {
        tail.clear();
        width = columns() - 1 - fixed;
    }
    width = std::clamp(width, 1, kLongestBar);
    const int filled = percent * width / 100;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(static_cast<std::size_t>(width), '.');
    std::fprintf(err_, "\r%s[%s] %3d%%%s\033[K", passLabel_.c_str(), bar.c_str(), percent,
                 tail.c_str());
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
