// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The cells of the simulated chip. Kept in blocks that exist only once something other
// than 0xFF was put in them: a freshly inserted or erased chip costs no memory and no
// time however large it is, and a read of its erased parts is a fill. A 16 MB chip that
// was only read therefore leaves the process no larger than the program's own buffer.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace sim {

class ChipCells {
  public:
    static constexpr std::uint8_t kErased = 0xFF;

    // `size` cells, all erased; 0 empties the socket.
    void reset(std::uint32_t size);
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

    // The block holding `address`, created erased when it does not exist yet.
    std::uint8_t* writableBlock(std::uint32_t address);
    template <typename Apply>
    void modify(std::uint32_t address, std::span<const std::uint8_t> data, Apply apply);

    std::uint32_t size_ = 0;
    std::uint64_t changes_ = 0;
    std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
};

}  // namespace sim
