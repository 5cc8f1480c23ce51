// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a benchmark that runs the chip commands needs around them: a front end with no
// one in front of it, and a folder of its own for the settings and the log.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "operations/frontend.h"

namespace benchsupport {

// A front end with no one in front of it: every call returns at once, dialogs are
// cancelled, and the one question is answered OK.
class SilentFrontend : public operations::Frontend {
  public:
    void showStatus(const std::string&) override {}
    void showProgress(int) override {}
    void showMessage(const std::string&) override { ++messages; }
    bool askOkCancel(const std::string&) override { return true; }
    void pumpMessage() override {}
    std::optional<std::string> chooseFileToOpen(const operations::FileDialog&) override {
        return std::nullopt;
    }
    std::optional<std::string> chooseFileToSave(const operations::FileDialog&) override {
        return std::nullopt;
    }
    operations::FillRequest runFillDialog() override { return {}; }
    void refreshHexView() override {}
    void chipSelected(const catalogue::ChipRecord&, const std::string&, bool) override {}
    void setCaptionSuffix(const std::string&) override {}

    // Message boxes shown: a command that ended well shows none.
    int messages = 0;
};

// A folder of its own with a config.ini in English, naming `defaultChip`, whose log goes
// into the folder; removed afterwards.
class ProgramDir {
  public:
    explicit ProgramDir(const std::string& defaultChip) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "chipwright-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            return;
        path_ = pattern;
        std::ofstream ini(path_ + "/config.ini", std::ios::binary | std::ios::trunc);
        ini << "[Run]\nDefaultLanguage=English\nDefaultChipName=" << defaultChip
            << "\n\n[English]\nLogFile=chipwright.log\n";
    }
    ~ProgramDir() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    ProgramDir(const ProgramDir&) = delete;
    ProgramDir& operator=(const ProgramDir&) = delete;

    bool ok() const { return !path_.empty(); }
    std::string dir() const { return path_ + "/"; }

  private:
    std::string path_;
};

}  // namespace benchsupport
