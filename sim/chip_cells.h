// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The cells of the simulated chip. Kept in blocks that exist only once something other
// than 0xFF was put in them: a freshly inserted or erased chip costs no memory and no
// time however large it is, and a read of its erased parts is a fill. A 16 MB chip that
// was only read therefore leaves the process no larger than the program's own buffer.
//
// The cells may also stand on a file (backWithFile): a block nobody changed reads the
// file's bytes straight into the reader's memory, and only a block that changes gets a
// copy of its own, taken from the file first. The file itself is never written here.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace sim {

class ChipCells {
  public:
    static constexpr std::uint8_t kErased = 0xFF;

    ChipCells() = default;
    ~ChipCells();
    ChipCells(const ChipCells&) = delete;
    ChipCells& operator=(const ChipCells&) = delete;

    // `size` cells, all erased; 0 empties the socket. Lets go of a backing file.
    void reset(std::uint32_t size);
    // The cells become the first `fileBytes` bytes of the open file `fd` (cut to the
    // chip's size; cells beyond read erased), whatever was stored before. Takes over the
    // descriptor, which is closed when the cells are reset or erased, or go. Where the
    // file turns out shorter than `fileBytes` when read, the missing cells read erased.
    void backWithFile(int fd, std::uint64_t fileBytes);
    void eraseAll();
    std::uint32_t size() const { return size_; }

    // Copies `count` cells from `address` to `out`; cells beyond the chip read erased.
    void read(std::uint32_t address, std::uint32_t count, std::uint8_t* out) const;
    // Stores `data` from `address` on, as an EEPROM does (or as a programmer elsewhere
    // would); cells beyond the chip are dropped.
    void store(std::uint32_t address, std::span<const std::uint8_t> data);
    // Programs `data` from `address` on, as SPI flash does: only bits that are 1 can
    // become 0 (new = old AND data); cells beyond the chip are dropped.
    void program(std::uint32_t address, std::span<const std::uint8_t> data);

    std::vector<std::uint8_t> copy() const;
    // Counts every reset, erase, store and program: equal counts at two moments mean
    // the cells were left alone in between.
    std::uint64_t changes() const { return changes_; }

  private:
    static constexpr std::uint32_t kBlockBits = 16;
    static constexpr std::uint32_t kBlockSize = 1u << kBlockBits;

    // The block holding `address`, created when it does not exist yet: from the backing
    // file where it has bytes there, erased elsewhere.
    std::uint8_t* writableBlock(std::uint32_t address);
    // Copies `count` cells from `address` of the unchanged chip to `out`: the backing
    // file's bytes, erased past them.
    void readUnchanged(std::uint64_t address, std::size_t count, std::uint8_t* out) const;
    void closeFile();
    template <typename Apply>
    void modify(std::uint32_t address, std::span<const std::uint8_t> data, Apply apply);

    std::uint32_t size_ = 0;
    std::uint64_t changes_ = 0;
    int file_ = -1;
    std::uint64_t fileBytes_ = 0;
    std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
};

}  // namespace sim
