// SPDX-License-Identifier: GPL-3.0-or-later
// Read, erase, write, verify and auto: the whole chip between address 0 and the selected
// chip's capacity, each in the frame of a command.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "app/messages.h"
#include "operations/commands.h"
#include "operations/frame.h"

namespace operations {
namespace {

using protocol::PollStatus;

// A verify compares at most this many bytes between two looks at the window, and
// while the read runs waits for a hundredth of the chip more before it compares again.
constexpr std::uint32_t kComparePass = 1024;
constexpr std::uint32_t kCompareStepDivisor = 100;

// Stops a read still running into a block before the block goes.
class StopReadBefore {
  public:
    explicit StopReadBefore(protocol::Programmer& programmer) : programmer_(programmer) {}
    ~StopReadBefore() {
        if (programmer_.state() == protocol::Reading)
            programmer_.cancelRead();
    }
    StopReadBefore(const StopReadBefore&) = delete;
    StopReadBefore& operator=(const StopReadBefore&) = delete;

  private:
    protocol::Programmer& programmer_;
};

// The three lines under the verify error: the address in six hex digits, the buffer's
// byte and the chip's, each value followed by three blanks.
std::string mismatchReport(std::uint32_t address, unsigned char inBuffer, unsigned char inChip) {
    char addressText[32];
    std::snprintf(addressText, sizeof addressText, "0x%X%X%X%X%X%X   \r\n", (address >> 20) & 0xF,
                  (address >> 16) & 0xF, (address >> 12) & 0xF, (address >> 8) & 0xF,
                  (address >> 4) & 0xF, address & 0xF);
    char bufferText[16];
    std::snprintf(bufferText, sizeof bufferText, "0x%X%X   \r\n", inBuffer >> 4, inBuffer & 0xF);
    char chipText[16];
    std::snprintf(chipText, sizeof chipText, "0x%X%X   ", inChip >> 4, inChip & 0xF);
    return text(app::MsgVerifyChipError) + "\r\n\r\n" + text(app::MsgAddr) + addressText +
           text(app::MsgBuf) + bufferText + text(app::MsgChip) + chipText;
}

Outcome read(Frame& f) {
    Workbench& b = f.bench;
    f.log(text(app::MsgReadChipStart));
    if (const Outcome g = f.guard(); g != Outcome::Done)
        return g;
    b.programmer.setChip(b.chip);
    if (!b.programmer.startReadChip(b.buffer->image(), 0, b.chip.capacity)) {
        f.message(text(app::MsgReadChipError));
        f.log(text(app::MsgReadChipError));
        return Outcome::Failed;
    }
    // From here the chip's bytes land in the image, a failed read's included.
    b.buffer->noteChanged();
    f.showInfo(text(app::MsgReading));
    // A failed read leaves what arrived in the image, keeps the marks and does not
    // redraw.
    if (const Outcome o = f.follow(protocol::PollReading, app::MsgReadChipError);
        o != Outcome::Done) {
        return o;
    }
    f.showInfo(text(app::MsgReadChipOk));
    f.showProgress();
    b.buffer->clearMarks();
    f.ui.refreshHexView();
    return Outcome::Done;
}

Outcome erase(Frame& f) {
    Workbench& b = f.bench;
    f.log(text(app::MsgEraseChipStart));
    // Only a flash is erased before it is written; an EEPROM is simply overwritten.
    if (b.chip.type != catalogue::SpiFlash)
        return Outcome::Skipped;
    if (const Outcome g = f.guard(); g != Outcome::Done)
        return g;
    b.programmer.setChip(b.chip);
    if (!b.programmer.startErase()) {
        f.message(text(app::MsgEraseChipError));
        f.log(text(app::MsgEraseChipError));
        return Outcome::Failed;
    }
    f.showInfo(text(app::MsgErasing));
    f.setProgress(0);
    f.ui.pumpMessage();
    f.ui.pumpMessage();
    if (const Outcome o = f.follow(protocol::PollErasing, app::MsgEraseChipError);
        o != Outcome::Done) {
        return o;
    }
    f.showProgress();
    f.showInfo(text(app::MsgEraseChipOk));
    return Outcome::Done;
}

Outcome write(Frame& f) {
    Workbench& b = f.bench;
    f.log(text(app::MsgWriteChipStart));
    if (const Outcome g = f.guard(); g != Outcome::Done)
        return g;
    b.programmer.setChip(b.chip);
    const auto pageSize = static_cast<std::uint16_t>(b.chip.pageWrite != 0 ? b.chip.pageSize : 1);
    if (!b.programmer.startWriteChip(b.buffer->image(), 0, b.chip.capacity, pageSize)) {
        f.message(text(app::MsgWriteChipError));
        f.log(text(app::MsgWriteChipError));
        return Outcome::Failed;
    }
    f.showInfo(text(app::MsgWriting));
    if (const Outcome o = f.follow(protocol::PollWriting, app::MsgWriteChipError);
        o != Outcome::Done) {
        return o;
    }
    f.showInfo(text(app::MsgWriteChipOk));
    f.showProgress();
    return Outcome::Done;
}

// The verify's failure: the status line and a box.
Outcome verifyFailed(Frame& f) {
    f.showInfo(text(app::MsgVerifyChipError));
    f.message(text(app::MsgVerifyChipError));
    return Outcome::Failed;
}

Outcome verify(Frame& f) {
    Workbench& b = f.bench;
    protocol::Programmer& programmer = b.programmer;
    f.log(text(app::MsgVerifyChipStart));
    if (const Outcome g = f.guard(); g != Outcome::Done)
        return g;
    programmer.setChip(b.chip);
    f.showInfo(text(app::MsgVerifying));

    const std::uint32_t capacity = b.chip.capacity;
    // Room for the bytes a chip read may deliver beyond the chip.
    std::unique_ptr<unsigned char[]> block(
        new (std::nothrow) unsigned char[std::size_t{capacity} + protocol::kReadSlackBytes]);
    if (!block) {
        f.message(text(app::MsgMemoryOverflow));
        return Outcome::Failed;
    }
    // Not cleared first: only bytes the read has delivered (below bytesReceived) are
    // ever compared, and clearing 16 MB would add its time to every verify before the
    // read has even started.
    if (!programmer.startReadChip(block.get(), 0, capacity)) {
        f.message(text(app::MsgVerifyChipError));
        return Outcome::Failed;
    }
    // Declared after the block, so it runs first on every way out.
    const StopReadBefore stopRead(programmer);

    const unsigned char* image = b.buffer->image();
    const std::uint32_t step = capacity / kCompareStepDivisor;
    std::uint32_t p = 0;
    for (;;) {
        const PollStatus status = programmer.poll();
        if (status == protocol::PollFailed) {
            programmer.cancelRead();
            return verifyFailed(f);
        }
        f.showProgress();
        f.ui.pumpMessage();
        if (f.ui.cancelRequested()) {
            programmer.cancelRead();
            return Outcome::Cancelled;
        }
        const std::uint32_t received = programmer.bytesReceived();
        if (status == protocol::PollReading && received < p + step) {
            f.pause(kPollPauseMs);
            continue;
        }
        // Bytes beyond the chip are never compared.
        const std::uint32_t end = std::min({received, capacity, p + kComparePass});
        // memcmp compares a pass many bytes at a time; only a pass that differs is
        // searched byte by byte for its first difference.
        if (p < end && std::memcmp(image + p, block.get() + p, end - p) != 0) {
            p = static_cast<std::uint32_t>(
                std::mismatch(image + p, image + end, block.get() + p).first - image);
            programmer.cancelRead();
            f.showInfo(text(app::MsgVerifyChipError));
            const std::string report = mismatchReport(p, image[p], block[p]);
            f.log(report);
            f.message(report);
            return Outcome::Mismatch;
        }
        p = std::max(p, end);
        f.showProgress();
        f.ui.pumpMessage();
        if (p >= capacity) {
            f.showInfo(text(app::MsgVerifyChipOk));
            if (programmer.state() == protocol::Reading)
                programmer.cancelRead();
            return Outcome::Done;
        }
        // A read that has ended without the rest of the chip brings no more bytes: the
        // verify ends instead of waiting for them.
        if (status == protocol::PollDone && p >= received)
            return verifyFailed(f);
    }
}

}  // namespace

Outcome readChip(Workbench& bench, Frontend& ui) {
    if (!bench.ready())
        return Outcome::Failed;
    Frame f(bench, ui);
    return read(f);
}

Outcome eraseChip(Workbench& bench, Frontend& ui) {
    if (!bench.ready())
        return Outcome::Failed;
    Frame f(bench, ui);
    return erase(f);
}

Outcome writeChip(Workbench& bench, Frontend& ui) {
    if (!bench.ready())
        return Outcome::Failed;
    Frame f(bench, ui);
    return write(f);
}

Outcome verifyChip(Workbench& bench, Frontend& ui) {
    if (!bench.ready())
        return Outcome::Failed;
    Frame f(bench, ui);
    return verify(f);
}

Outcome autoProgram(Workbench& bench, Frontend& ui) {
    if (!bench.ready())
        return Outcome::Failed;
    Frame f(bench, ui);
    f.log(text(app::MsgAutoStart));
    if (const Outcome g = f.guard(); g != Outcome::Done)
        return g;
    // Each step passes its own guards and runs whatever the step before ended with; the
    // whole counts as done only when every step was.
    Outcome worst = Outcome::Done;
    if (bench.chip.type == catalogue::SpiFlash)
        worst = erase(f);
    if (worst == Outcome::Cancelled)
        return worst;
    const Outcome written = write(f);
    if (written == Outcome::Cancelled)
        return written;
    if (written != Outcome::Done)
        worst = written;
    const Outcome verified = verify(f);
    if (verified != Outcome::Done)
        return verified;
    return worst;
}

}  // namespace operations
