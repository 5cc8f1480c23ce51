// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/input_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/messages.h"
#include "buffer/data_file.h"
#include "buffer/intel_hex_reader.h"
#include "catalogue/chip_record.h"
#include "cli/intel_hex_writer.h"
#include "util/regular_file.h"

namespace cli {
namespace {

// An Intel HEX text of the largest chip, with room for long records and line ends.
constexpr std::size_t kLargestHexText = std::size_t{catalogue::kMaxChipCapacity} * 4;

std::string hexAddress(std::uint64_t address) {
    char out[24];
    std::snprintf(out, sizeof out, "0x%06llX", static_cast<unsigned long long>(address));
    return out;
}

// Intel HEX content under a name that loads as binary would be written as its text.
bool misnamedIntelHex(const std::string& path, std::uint32_t capacity) {
    if (isIntelHexName(path))
        return false;
    std::vector<unsigned char> text;
    if (util::readRegularFile(path, kLargestHexText, text) != util::FileRead::Ok || text.empty() ||
        text[0] != ':')
        return false;
    std::vector<unsigned char> image(capacity);
    buffer::IntelHexReader reader;
    return reader.readText({reinterpret_cast<const char*>(text.data()), text.size()}, image.data(),
                           capacity);
}

std::string misnamedText(const std::string& path) {
    return path +
           " holds Intel HEX, but only a name ending in .hex or .HEX is read as Intel HEX; "
           "rename it (or convert it to binary)";
}

// Where an Intel HEX file's data landed, when the load base moved them.
std::string placedText(const std::string& path, const buffer::LoadResult& loaded) {
    if (!isIntelHexName(path) || loaded.dataEnd == 0 || loaded.hexFirstFile == 0)
        return "";
    return path + ": data from " + hexAddress(loaded.hexFirstFile) + " placed at " +
           hexAddress(loaded.hexFirstImage);
}

std::string sizeOf(const std::string& path, const buffer::LoadResult& loaded) {
    std::error_code error;
    const std::uintmax_t bytes = std::filesystem::file_size(path, error);
    const std::uint64_t shown = isIntelHexName(path) || error ? loaded.dataEnd : bytes;
    return std::to_string(shown) + (isIntelHexName(path) ? " bytes of data" : " bytes");
}

// `-`: the file is what stdin holds, read into the buffer like a binary file (one byte
// beyond the chip tells a longer input).
buffer::LoadResult loadStandardInput(buffer::DataBuffer& buffer) {
    const std::uint32_t capacity = buffer.dataLength();
    buffer.blank(capacity);
    buffer.clearMarks();
    buffer::LoadResult result;
    std::uint64_t got = 0;
    unsigned char beyond = 0;
    while (got <= capacity) {
        unsigned char* into = got < capacity ? buffer.image() + got : &beyond;
        const std::size_t room = got < capacity ? capacity - got : 1;
        const ssize_t n = read(STDIN_FILENO, into, room);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.error = std::string("cannot read stdin: ") + std::strerror(errno);
            return result;
        }
        if (n == 0)
            break;
        got += static_cast<std::uint64_t>(n);
    }
    result.loaded = true;
    result.tooLong = got > capacity;
    result.dataEnd = got;
    return result;
}

}  // namespace

int loadChipFile(const Options& o, operations::Workbench& bench, TerminalFrontend& ui,
                 std::uint32_t& length) {
    const std::string& path = o.arguments[0];
    const std::uint32_t capacity = bench.chip.capacity;
    const std::string chip = bench.chip.nameText() + " (" + std::to_string(capacity) + " bytes)";
    if (misnamedIntelHex(path, capacity)) {
        ui.note(misnamedText(path) + "; nothing was done");
        return kExitUsage;
    }
    const buffer::LoadResult loaded =
        path == "-" ? loadStandardInput(*bench.buffer) : buffer::loadDataFile(*bench.buffer, path);
    if (!loaded.loaded) {
        bench.log.write(loaded.error);
        ui.showMessage(app::messageText(app::MsgOpenFileError));
        ui.note(loaded.error);
        return kExitFailed;
    }
    if (std::string placed = placedText(path, loaded); !placed.empty())
        ui.note(placed);
    if (loaded.tooLong) {
        ui.note(path + " (" + sizeOf(path, loaded) + ") is longer than " + chip +
                "; nothing was done");
        return kExitUsage;
    }
    length = static_cast<std::uint32_t>(loaded.dataEnd);
    if (length == capacity)
        return kExitDone;
    const std::string file = path + " (" + sizeOf(path, loaded) + ")";
    if (o.pad) {
        ui.note(file + " is padded with 0xFF to " + chip + " (--pad)");
    } else if (o.command == "verify") {
        ui.note("verify compares the " + std::to_string(length) + " bytes of " + path +
                " only, not the rest of " + chip + " (--pad compares it with 0xFF)");
    } else {
        ui.note(file + " is shorter than " + chip +
                "; nothing was done (--pad fills the rest with 0xFF)");
        return kExitUsage;
    }
    return kExitDone;
}

int loadJobImage(const std::string& path, std::uint32_t capacity, std::vector<unsigned char>& image,
                 std::string* said) {
    if (misnamedIntelHex(path, capacity)) {
        *said = misnamedText(path);
        return kExitUsage;
    }
    const std::unique_ptr<buffer::DataBuffer> buffer = buffer::DataBuffer::create();
    if (!buffer) {
        *said = "no memory for the image";
        return kExitFailed;
    }
    buffer->setDataLength(capacity);
    const buffer::LoadResult loaded = buffer::loadDataFile(*buffer, path);
    if (!loaded.loaded) {
        *said = loaded.error;
        return kExitFailed;
    }
    if (loaded.tooLong || loaded.dataEnd == 0) {
        *said = path + " (" + sizeOf(path, loaded) + ") must hold 1 to " +
                std::to_string(capacity) + " bytes for the chip";
        return kExitUsage;
    }
    image.assign(buffer->image(), buffer->image() + loaded.dataEnd);
    *said = placedText(path, loaded);
    return kExitDone;
}

operations::Outcome verifyFilePart(operations::Workbench& bench, TerminalFrontend& ui,
                                   std::uint32_t length, bool all,
                                   operations::Differences& differences) {
    const std::unique_ptr<unsigned char[]> block = operations::chipBlock(bench, ui);
    if (!block)
        return operations::Outcome::Failed;
    operations::Differences unstable;
    const operations::Outcome read = operations::readChipCopy(bench, ui, block.get(), 1, unstable);
    if (read != operations::Outcome::Done)
        return read;
    const unsigned char* image = bench.buffer->image();
    const auto first = std::mismatch(image, image + length, block.get());
    if (first.first == image + length) {
        ui.showMessage(app::messageText(app::MsgVerifyChipOk));
        return operations::Outcome::Done;
    }
    operations::collectDifferences(image, block.get(), length, differences);
    if (all)
        return operations::Outcome::Mismatch;
    char line[96];
    std::snprintf(line, sizeof line, "verify: the first difference at 0x%06X: file %02X, chip %02X",
                  static_cast<unsigned>(first.first - image), *first.first, *first.second);
    ui.showMessage(app::messageText(app::MsgVerifyChipError));
    ui.note(line);
    return operations::Outcome::Mismatch;
}

}  // namespace cli
