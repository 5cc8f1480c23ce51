// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one chip image the whole program works on, with its changed-byte map.
//
// `image` holds a whole 16 MB chip plus 64 spare bytes, because a chip read asks
// the programmer for 64 bytes more than the chip holds and they land right after
// the data in use. `changedMap` has one bit per image byte (bit b % 8, counted
// from the least significant, of map byte b / 8); a set bit means the user
// changed that byte (typing in the hex view, a fill) since the image last came
// from a file, the chip or a byte swap, and the hex view shows it in red.
// `dataLength` is the selected chip's capacity: the bytes shown, saved, filled
// and compared. Choosing another chip changes only `dataLength`, so bytes beyond
// it keep their values for when a larger chip is chosen again.
//
// Both blocks are allocated once and never move, grow or get freed while the
// program runs: the hex view borrows the raw pointers, and a chip read writes
// into `image` straight from the transfer worker.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace buffer {

// Largest chip the image holds.
constexpr std::uint32_t kImageSize = 0x1000000;
// Bytes after a 16 MB chip's data that take the extra bytes of a chip read.
constexpr std::uint32_t kSpareBytes = 64;
constexpr std::uint32_t kChangedMapSize = kImageSize / 8;
// What an erased memory chip reads; an empty buffer looks like an erased chip.
constexpr unsigned char kErasedByte = 0xFF;

// The changed-byte map's bit rule, for code that holds only the map (the hex
// view borrows it). `index` must be inside the image.
inline bool isChangedIn(const unsigned char* changedMap, std::uint32_t index) {
    return ((changedMap[index / 8] >> (index % 8)) & 1u) != 0;
}
inline void markChangedIn(unsigned char* changedMap, std::uint32_t index) {
    changedMap[index / 8] = static_cast<unsigned char>(changedMap[index / 8] | (1u << (index % 8)));
}

// Hands out a block of `size` bytes, or nullptr when there is no memory. The
// block is released with std::free. Start-up asks for huge pages; tests pass one
// that fails, since a real 16 MB allocation practically never does.
using BlockAllocator = std::function<void*(std::size_t size)>;

class DataBuffer {
  public:
    // Both blocks, the image erased to kErasedByte (spare bytes too) and the map
    // cleared, with a data length of 0; nullptr when either block cannot be had
    // (start-up then shows message 17 and ends).
    static std::unique_ptr<DataBuffer> create(const BlockAllocator& allocate = {});

    ~DataBuffer();
    DataBuffer(const DataBuffer&) = delete;
    DataBuffer& operator=(const DataBuffer&) = delete;

    unsigned char* image() { return image_; }
    const unsigned char* image() const { return image_; }
    unsigned char* changedMap() { return changedMap_; }
    const unsigned char* changedMap() const { return changedMap_; }
    std::uint32_t dataLength() const { return dataLength_; }
    // The selected chip's capacity; larger values are cut to kImageSize.
    void setDataLength(std::uint32_t capacity);

    // Image bytes 0 … count − 1 become kErasedByte (count is cut to the image).
    void blank(std::uint32_t count);
    // Clears the bits of the first dataLength / 8 map bytes. With a data length
    // that is no multiple of 8 the last, partial map byte keeps its bits.
    void clearMarks();
    // Bytes outside the image have no bit; marking them does nothing.
    void markChanged(std::uint32_t index);
    bool isChanged(std::uint32_t index) const;
    // Sets count bytes from start to value, cut at the data length, and marks
    // them changed. False, with nothing changed, when start is not inside the
    // data; a count of 0 changes nothing and still succeeds.
    bool fillRange(std::uint32_t start, std::uint32_t count, unsigned char value);
    // Exchanges bytes 0 and 1, 2 and 3, … over the data length (an odd length
    // takes in the byte just past the data), then clears the marks. Applying it
    // twice restores the image.
    void swapBytes();

    // Unsaved work. Every change to the image counts one generation: the mutators
    // above count themselves; whoever writes through image() directly (typing in the
    // hex view, a chip read) calls noteChanged. A load or save records the generation
    // it left the image at, so closing the program can tell whether anything would be
    // lost. Counting, not a flag, lets a save taken at one generation stay correct
    // when an edit slips in while it runs.
    std::uint64_t generation() const { return generation_; }
    void noteChanged() { ++generation_; }
    void markSaved(std::uint64_t generation) { savedGeneration_ = generation; }
    bool hasUnsavedChanges() const { return generation_ != savedGeneration_; }

  private:
    DataBuffer(unsigned char* image, unsigned char* changedMap);

    unsigned char* image_;
    unsigned char* changedMap_;
    std::uint32_t dataLength_ = 0;
    std::uint64_t generation_ = 0;
    std::uint64_t savedGeneration_ = 0;
};

}  // namespace buffer
