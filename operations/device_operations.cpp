// SPDX-License-Identifier: GPL-3.0-or-later
// Detect Chip, Read Firmware Version, Self Test and the firmware update: the commands
// that ask the programmer something or replace its firmware.

#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/messages.h"
#include "catalogue/chip_queries.h"
#include "operations/bench_checks.h"
#include "operations/commands.h"
#include "operations/frame.h"
#include "util/regular_file.h"
#include "util/text_codec.h"

namespace operations {
namespace {

constexpr std::uint8_t kNoChipId = 0xFF;
// A report that starts with a line break is a detailed one, shown as it is.
constexpr char kDetailedReportStart = '\r';
// Where a short report says whether the hardware passed.
constexpr std::size_t kVerdictAt = 14;
// The firmware update waits 100 ms before each attempt to reach the programmer, asks
// the user to replug it before the 51st, and gives up after the 151st.
constexpr std::uint32_t kAttemptPauseMs = 100;
constexpr int kAskAtAttempt = 50;
constexpr int kLastAttempt = 150;
constexpr char kFirmwareExtension[] = "TNX";
constexpr unsigned char kImageFill = 0xFF;

// Text the programmer sent, up to its first zero byte; 8-bit text in the program's code
// page.
std::string deviceText(const char* bytes, std::size_t size) {
    return util::gbkToUtf8(std::string_view(bytes, strnlen(bytes, size)));
}

enum class ImageRead { Ok, CannotOpen, TooLong };

// The firmware file into a block of 0xFF, and its length. Only a regular file is
// read: a folder, a FIFO or a device cannot be opened as an image.
ImageRead readImage(const std::string& path, std::vector<unsigned char>* image,
                    std::uint32_t* length) {
    std::vector<unsigned char> bytes;
    const util::FileRead read = util::readRegularFile(path, kFirmwareImageBytes, bytes);
    // An empty image has no transfer to send: the programmer's bulk phase cannot be of
    // length 0. It is refused like an image too long to take.
    if (read == util::FileRead::TooLarge || (read == util::FileRead::Ok && bytes.empty()))
        return ImageRead::TooLong;
    if (read != util::FileRead::Ok)
        return ImageRead::CannotOpen;
    *length = static_cast<std::uint32_t>(bytes.size());
    bytes.resize(kFirmwareImageBytes, kImageFill);
    *image = std::move(bytes);
    return ImageRead::Ok;
}

// Clears the firmware update's flag on every way out.
class UpdateRunning {
  public:
    explicit UpdateRunning(bool& flag) : flag_(flag) { flag_ = true; }
    ~UpdateRunning() { flag_ = false; }
    UpdateRunning(const UpdateRunning&) = delete;
    UpdateRunning& operator=(const UpdateRunning&) = delete;

  private:
    bool& flag_;
};

}  // namespace

Outcome detectChip(Workbench& bench, Frontend& ui) {
    std::optional<ChipIds> ids;
    return detectChipIds(bench, ui, ids);
}

Outcome detectChipIds(Workbench& bench, Frontend& ui, std::optional<ChipIds>& answered) {
    answered.reset();
    Frame f(bench, ui);
    f.log(text(app::MsgDetectChipStart));
    if (const Outcome g = f.guard(); g != Outcome::Done)
        return g;
    bench.programmer.setChip(bench.chip);
    std::array<std::uint8_t, 2> ids{};
    if (!bench.programmer.readChipId(&ids)) {
        f.showInfo(text(app::MsgDetectChipError));
        f.message(text(app::MsgDetectChipFailed));
        return Outcome::Failed;
    }
    answered = ChipIds{ids[0], ids[1]};
    char idText[48];
    std::snprintf(idText, sizeof idText, "ManufacturerID:%X\r\nDeviceID:%X", ids[0], ids[1]);
    // FF FF is what an empty socket reads: never looked up, whatever the database holds.
    catalogue::ChipRecord found;
    if (!(ids[0] == kNoChipId && ids[1] == kNoChipId) && bench.database &&
        catalogue::findByIds(*bench.database, ids[0], ids[1], found)) {
        selectChip(bench, ui, found);
        const std::string shown = text(app::MsgChipTypeIs) + " " + found.nameText() + "   ";
        f.showInfo(shown);
        f.message(shown);
        return Outcome::Done;
    }
    f.showInfo(text(app::MsgChipTypeUnknown));
    f.message(text(app::MsgChipTypeUnknown) + idText);
    f.log(idText);
    return Outcome::Failed;
}

Outcome readFirmwareVersion(Workbench& bench, Frontend& ui) {
    Frame f(bench, ui);
    f.log(text(app::MsgReadFirmwareVersionStart));
    if (const Outcome g = f.guard(); g != Outcome::Done)
        return g;
    std::array<char, protocol::kVersionTextBytes> version{};
    if (!bench.programmer.readFirmwareVersion(version)) {
        f.showInfo(text(app::MsgReadFirmwareVersionError));
        return Outcome::Failed;
    }
    const std::string shown =
        text(app::MsgFirmwareVersionIs) + " " + deviceText(version.data(), version.size()) + "    ";
    f.showInfo(shown);
    f.message(shown);
    return Outcome::Done;
}

Outcome selfTest(Workbench& bench, Frontend& ui) {
    Frame f(bench, ui);
    f.log(text(app::MsgAutoTest));
    if (const Outcome g = f.guard(); g != Outcome::Done)
        return g;
    f.showInfo(text(app::MsgAutoTestStart));
    std::array<char, protocol::kSelfTestReportBytes> report{};
    if (!bench.programmer.selfTest(report)) {
        f.showInfo(text(app::MsgAutoTestError));
        return Outcome::Failed;
    }
    if (report[0] == kDetailedReportStart) {
        const std::string shown =
            text(app::MsgAutoTestResult) + " " + deviceText(report.data(), report.size()) + "    ";
        f.showInfo(shown);
        f.message(shown);
        f.log(shown);
        return Outcome::Done;
    }
    const bool passed = report[kVerdictAt] == 'o' && report[kVerdictAt + 1] == 'k';
    const std::string verdict = text(passed ? app::MsgAutoTestOk : app::MsgAutoTestProblems);
    f.showInfo(verdict);
    f.message(verdict);
    f.log(verdict);
    return passed ? Outcome::Done : Outcome::Failed;
}

Outcome updateFirmware(Workbench& bench, Frontend& ui) {
    Frame f(bench, ui);
    f.log(text(app::MsgFirmwareUpdateStart));
    if (bench.firmwareUpdateRunning) {
        f.message(text(app::MsgProgrammerBusy));
        f.log(text(app::MsgProgrammerBusy));
        return Outcome::Busy;
    }
    const UpdateRunning running(bench.firmwareUpdateRunning);
    // The waiting phase below does not count as a running command: chip commands chosen
    // meanwhile run, nested, to their end before the next attempt.
    if (f.refuseIfBusy())
        return Outcome::Busy;

    FileDialog dialog;
    dialog.filters = {{text(app::MsgUpdateFile) + "(*.tnx)", "*.tnx"}};
    dialog.defaultExtension = kFirmwareExtension;
    const std::optional<std::string> path = ui.chooseFileToOpen(dialog);
    if (!path)
        return Outcome::Cancelled;
    std::vector<unsigned char> image;
    std::uint32_t length = 0;
    switch (readImage(*path, &image, &length)) {
        case ImageRead::CannotOpen:
            f.message(text(app::MsgFirmwareOpenError));
            return Outcome::Failed;
        case ImageRead::TooLong:
            f.message(text(app::MsgFileFormatError));
            return Outcome::Failed;
        case ImageRead::Ok:
            break;
    }
    if (f.refuseIfBusy())
        return Outcome::Busy;

    auto failed = [&](Outcome outcome) {
        f.showInfo(text(app::MsgFirmwareUpdateError));
        f.message(text(app::MsgFirmwareUpdateError));
        return outcome;
    };
    f.showInfo(text(app::MsgWaitForLinking));
    for (int attempts = 0;;) {
        f.waitPumping(kAttemptPauseMs);
        if (ui.cancelRequested())
            return failed(Outcome::Cancelled);
        if (attempts == kAskAtAttempt) {
            if (!ui.askOkCancel(text(app::MsgLinkWithinTenSeconds)))
                return failed(Outcome::Cancelled);
        } else if (attempts > kLastAttempt) {
            return failed(Outcome::NoProgrammer);
        }
        ++attempts;
        // A command nested in the wait may still hold the programmer.
        if (bench.programmer.state() != protocol::Idle || !bench.link.open())
            continue;
        if (!bench.programmer.startFirmwareUpdate(image.data(), length))
            continue;
        f.showInfo(text(app::MsgFirmwareUpdating));
        f.showProgress();
        ui.pumpMessage();
        const Outcome sent = f.follow(protocol::PollWriting, app::MsgFirmwareUpdateError);
        if (sent == Outcome::Failed)
            return Outcome::Failed;  // follow() has shown message 68
        if (sent == Outcome::Cancelled)
            return failed(Outcome::Cancelled);
        f.showInfo(text(app::MsgFirmwareUpdateOk));
        f.showProgress();
        f.message(text(app::MsgFirmwareUpdateOk));
        return Outcome::Done;
    }
}

}  // namespace operations
