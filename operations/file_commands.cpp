// SPDX-License-Identifier: GPL-3.0-or-later
// Open File, Save File, Buffer Fill and Byte Swap: the commands that change the buffer
// or a file and never talk to the programmer. Each still refuses while an operation
// runs, since that operation reads or fills the buffer meanwhile.

#include "app/messages.h"
#include "buffer/data_file.h"
#include "buffer/hex_text.h"
#include "operations/commands.h"
#include "operations/frame.h"
#include "util/text_codec.h"

namespace operations {
namespace {

constexpr std::size_t kLongestShownPath = 60;
constexpr std::size_t kShownPathTail = 50;
constexpr char kCaptionGap[] = "   ";
constexpr char kCut[] = "...";

bool isContinuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

FileDialog dataFilesToOpen() {
    FileDialog dialog;
    dialog.filters = {
        {"Bin File(*.bin)", "*.bin"}, {"Hex File(*.hex)", "*.hex"}, {"All File(*.*)", "*"}};
    return dialog;
}

FileDialog dataFileToSave() {
    FileDialog dialog;
    dialog.filters = {{"Bin File(*.bin)", "*.bin"}};
    dialog.defaultExtension = "bin";
    dialog.confirmOverwrite = true;
    return dialog;
}

}  // namespace

std::string captionSuffixFor(const std::string& path) {
    if (path.size() <= kLongestShownPath)
        return kCaptionGap + path;
    std::size_t from = path.size() - kShownPathTail;
    while (from < path.size() && isContinuationByte(path[from]))
        ++from;
    return std::string(kCaptionGap) + kCut + path.substr(from);
}

Outcome openFile(Workbench& bench, Frontend& ui) {
    if (!bench.ready())
        return Outcome::Failed;
    Frame f(bench, ui);
    f.log(text(app::MsgLoadFile));
    if (f.refuseIfBusy())
        return Outcome::Busy;
    const std::optional<std::string> path = ui.chooseFileToOpen(dataFilesToOpen());
    if (!path) {
        f.log(text(app::MsgLoadFileCancel));
        return Outcome::Cancelled;
    }
    f.log(util::printableName(*path));
    const buffer::LoadResult result = buffer::loadDataFile(*bench.buffer, *path);
    Outcome outcome = Outcome::Done;
    if (result.loaded) {
        if (result.tooLong)
            f.message(text(app::MsgFileTooLong));
        ui.refreshHexView();
    } else {
        f.message(text(app::MsgOpenFileError));
        f.log(text(app::MsgOpenFileError));
        f.log(result.error);
        outcome = Outcome::Failed;
    }
    // Whether or not it loaded, the caption names the file chosen.
    ui.setCaptionSuffix(captionSuffixFor(*path));
    return outcome;
}

Outcome saveFile(Workbench& bench, Frontend& ui) {
    if (!bench.ready())
        return Outcome::Failed;
    Frame f(bench, ui);
    f.log(text(app::MsgSaveFileStart));
    if (f.refuseIfBusy())
        return Outcome::Busy;
    const std::optional<std::string> path = ui.chooseFileToSave(dataFileToSave());
    if (!path) {
        f.log(text(app::MsgSaveFileCancel));
        return Outcome::Cancelled;
    }
    f.log(util::printableName(*path));
    // A save that did not happen is said so, with the reason in the log: claiming
    // success, or saying nothing, would let the user throw away the only copy.
    std::string error;
    const std::uint64_t saving = bench.buffer->generation();
    if (!buffer::saveDataFile(*bench.buffer, *path, &error)) {
        f.message(text(app::MsgOpenFileError));
        f.log(text(app::MsgOpenFileError));
        f.log(error);
        return Outcome::Failed;
    }
    bench.buffer->markSaved(saving);
    f.showInfo(text(app::MsgSaveFileOk));
    return Outcome::Done;
}

Outcome fillBuffer(Workbench& bench, Frontend& ui) {
    if (!bench.ready())
        return Outcome::Failed;
    Frame f(bench, ui);
    if (f.refuseIfBusy())
        return Outcome::Busy;
    const FillRequest request = ui.runFillDialog();
    if (!request.accepted)
        return Outcome::Cancelled;
    std::uint32_t address = 0;
    std::uint32_t length = 0;
    std::uint32_t data = 0;
    // The dialog keeps its fields to hex digits; a text that still does not parse ends
    // the command after saying so, rather than filling with half the values.
    if (!buffer::parseHex(request.address, &address) ||
        !buffer::parseHex(request.length, &length) || !buffer::parseHex(request.data, &data)) {
        f.message(text(app::MsgAddressFormatError));
        return Outcome::Failed;
    }
    if (!bench.buffer->fillRange(address, length, static_cast<unsigned char>(data))) {
        f.message(text(app::MsgStartAddressError));
        return Outcome::Failed;
    }
    ui.refreshHexView();
    return Outcome::Done;
}

Outcome swapBytes(Workbench& bench, Frontend& ui) {
    if (!bench.ready())
        return Outcome::Failed;
    Frame f(bench, ui);
    if (f.refuseIfBusy())
        return Outcome::Busy;
    bench.buffer->swapBytes();
    ui.refreshHexView();
    return Outcome::Done;
}

}  // namespace operations
