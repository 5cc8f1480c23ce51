// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The person at a terminal, as the operations see them: status texts and message boxes
// become lines on stderr, progress becomes a bar redrawn in place (only on a terminal),
// the OK/Cancel question is asked on the terminal or answered by --yes, and the file
// dialogs return the file named on the command line. Everything shown is also kept, in
// order, for the JSON report.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "operations/frontend.h"

namespace cli {

// A message box or status text as one line: its line breaks become blanks, the blanks
// that pad its pieces are dropped.
std::string oneLine(const std::string& text);

struct TerminalSettings {
    // Draw the progress bar: stderr is a terminal and --quiet was not given.
    bool progressBar = false;
    // --quiet: status texts are not printed (message boxes still are).
    bool quiet = false;
    // --yes: a question is answered OK where nobody can be asked.
    bool yes = false;
    // stdin is a terminal: a question is asked there.
    bool interactive = false;
};

class TerminalFrontend : public operations::Frontend {
  public:
    TerminalFrontend(std::FILE* err, std::FILE* in, TerminalSettings settings);

    void showStatus(const std::string& text) override;
    void showProgress(int percent) override;
    void showMessage(const std::string& text) override;
    bool askOkCancel(const std::string& text) override;
    void pumpMessage() override {}
    bool cancelRequested() override;
    void showPass(int pass, int passes) override;
    std::optional<std::string> chooseFileToOpen(const operations::FileDialog&) override {
        return file_;
    }
    std::optional<std::string> chooseFileToSave(const operations::FileDialog&) override {
        return file_;
    }
    operations::FillRequest runFillDialog() override { return {}; }
    void refreshHexView() override {}
    void chipSelected(const catalogue::ChipRecord&, const std::string&, bool) override {}
    void setCaptionSuffix(const std::string&) override {}

    // The file a file dialog returns.
    void setFile(std::string path) { file_ = std::move(path); }
    // The bytes a phase moves at 100 %, for the rate and the time left.
    void setPhaseBytes(std::uint64_t bytes) { phaseBytes_ = bytes; }
    // A line of the terminal front end's own, among the operations' lines.
    void note(const std::string& text);
    // Ends a progress bar still drawn, so what follows starts on a line of its own.
    void endProgress();

    // Every status text and message box shown, as lines, in order.
    const std::vector<std::string>& shown() const { return shown_; }

  private:
    using Clock = std::chrono::steady_clock;
    void printLine(const std::string& line);
    void drawBar(int percent);
    // What follows the bar: the rate and the time left while bytes move, the time so far
    // where none are counted (an erase), the time taken at the end.
    std::string barTail(int percent, double seconds) const;
    // The terminal's width in columns, asked at every redraw (it may be resized).
    int columns() const;

    std::FILE* err_;
    std::FILE* in_;
    TerminalSettings settings_;
    std::optional<std::string> file_;
    std::uint64_t phaseBytes_ = 0;
    std::vector<std::string> shown_;
    std::string lastPrinted_;
    bool barShown_ = false;
    int lastPercent_ = -1;
    // This phase moves no bytes the bar could count (an erase): no rate is shown.
    bool erasing_ = false;
    // "pass 2/3 " while a read runs several times; empty otherwise.
    std::string passLabel_;
    Clock::time_point phaseStart_ = Clock::now();
    Clock::time_point lastDraw_{};
};

}  // namespace cli
