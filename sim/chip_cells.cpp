// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/chip_cells.h"

#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sim {

ChipCells::~ChipCells() {
    closeFile();
}

void ChipCells::closeFile() {
    if (file_ >= 0)
        ::close(file_);
    file_ = -1;
    fileBytes_ = 0;
}

void ChipCells::reset(std::uint32_t size) {
    ++changes_;
    closeFile();
    size_ = size;
    blocks_.clear();
    blocks_.resize((std::size_t{size} + kBlockSize - 1) / kBlockSize);
}

void ChipCells::eraseAll() {
    reset(size_);
}

void ChipCells::backWithFile(int fd, std::uint64_t fileBytes) {
    reset(size_);
    file_ = fd;
    fileBytes_ = std::min<std::uint64_t>(fileBytes, size_);
}

void ChipCells::readUnchanged(std::uint64_t address, std::size_t count, std::uint8_t* out) const {
    std::size_t done = 0;
    const std::uint64_t inFile = address < fileBytes_ ? fileBytes_ - address : 0;
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(count, inFile));
    while (done < wanted) {
        const ssize_t n =
            ::pread(file_, out + done, wanted - done, static_cast<off_t>(address + done));
        if (n < 0 && errno == EINTR)
            continue;
        // A file cut short (or unreadable) since it was opened ends the chip's bytes there.
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    std::memset(out + done, kErased, count - done);
}

void ChipCells::read(std::uint32_t address, std::uint32_t count, std::uint8_t* out) const {
    std::uint64_t at = address;
    const std::uint64_t end = at + count;
    while (at < end) {
        const std::uint64_t blockEnd = (at / kBlockSize + 1) * kBlockSize;
        const auto n = static_cast<std::size_t>(std::min(end, blockEnd) - at);
        const std::uint64_t index = at / kBlockSize;
        // Cells past the chip's end read erased: no block exists there, and the part of
        // the last block beyond the end is never stored to.
        const std::uint8_t* block = index < blocks_.size() ? blocks_[index].get() : nullptr;
        if (block != nullptr)
            std::memcpy(out, block + at % kBlockSize, n);
        else
            readUnchanged(at, n, out);
        out += n;
        at += n;
    }
}

std::uint8_t* ChipCells::writableBlock(std::uint32_t address) {
    std::unique_ptr<std::uint8_t[]>& block = blocks_[address / kBlockSize];
    if (!block) {
        block = std::make_unique_for_overwrite<std::uint8_t[]>(kBlockSize);
        readUnchanged(address / kBlockSize * std::uint64_t{kBlockSize}, kBlockSize, block.get());
    }
    return block.get();
}

template <typename Apply>
void ChipCells::modify(std::uint32_t address, std::span<const std::uint8_t> data, Apply apply) {
    ++changes_;
    std::uint64_t at = address;
    const std::uint64_t end = std::min<std::uint64_t>(at + data.size(), size_);
    const std::uint8_t* from = data.data();
    while (at < end) {
        const std::uint64_t blockEnd = (at / kBlockSize + 1) * kBlockSize;
        const auto n = static_cast<std::size_t>(std::min(end, blockEnd) - at);
        apply(writableBlock(static_cast<std::uint32_t>(at)) + at % kBlockSize, from, n);
        from += n;
        at += n;
    }
}

void ChipCells::store(std::uint32_t address, std::span<const std::uint8_t> data) {
    modify(address, data, [](std::uint8_t* cells, const std::uint8_t* bytes, std::size_t n) {
        std::memcpy(cells, bytes, n);
    });
}

void ChipCells::program(std::uint32_t address, std::span<const std::uint8_t> data) {
    modify(address, data, [](std::uint8_t* cells, const std::uint8_t* bytes, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            cells[i] &= bytes[i];
    });
}

std::vector<std::uint8_t> ChipCells::copy() const {
    std::vector<std::uint8_t> out(size_);
    read(0, size_, out.data());
    return out;
}

}  // namespace sim
