// SPDX-License-Identifier: GPL-3.0-or-later
#include "buffer/data_buffer.h"

#include <sys/mman.h>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace buffer {

namespace {

constexpr std::size_t kImageBlockSize = std::size_t{kImageSize} + kSpareBytes;
// The size of a transparent huge page on x86-64 and arm64 alike.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// The image block: 16 MB that every read, load and fill walks from end to end. Asked
// for in huge pages where the kernel grants them, which spares the thousands of page
// faults of its first touch (the largest part of a quick whole-chip read's time).
void* allocateImage() {
    constexpr std::size_t size = (kImageBlockSize + kHugePage - 1) / kHugePage * kHugePage;
    void* block = std::aligned_alloc(kHugePage, size);
    if (block != nullptr)
        ::madvise(block, kImageSize / kHugePage * kHugePage, MADV_HUGEPAGE);
    return block;
}

}  // namespace

std::unique_ptr<DataBuffer> DataBuffer::create(const BlockAllocator& allocate) {
    auto* image =
        static_cast<unsigned char*>(allocate ? allocate(kImageBlockSize) : allocateImage());
    if (image == nullptr)
        return nullptr;
    // A fresh map is all zero; calloc gives that without touching its pages.
    auto* map = static_cast<unsigned char*>(allocate ? allocate(kChangedMapSize)
                                                     : std::calloc(1, kChangedMapSize));
    if (map == nullptr) {
        std::free(image);
        return nullptr;
    }
    std::unique_ptr<DataBuffer> buffer(new (std::nothrow) DataBuffer(image, map));
    if (!buffer) {
        std::free(image);
        std::free(map);
        return nullptr;
    }
    std::memset(image, kErasedByte, kImageBlockSize);
    if (allocate)
        std::memset(map, 0, kChangedMapSize);
    return buffer;
}

DataBuffer::DataBuffer(unsigned char* image, unsigned char* changedMap)
    : image_(image), changedMap_(changedMap) {}

DataBuffer::~DataBuffer() {
    std::free(image_);
    std::free(changedMap_);
}

void DataBuffer::setDataLength(std::uint32_t capacity) {
    dataLength_ = capacity < kImageSize ? capacity : kImageSize;
}

void DataBuffer::blank(std::uint32_t count) {
    std::size_t n = count < kImageSize + kSpareBytes ? count : kImageSize + kSpareBytes;
    std::memset(image_, kErasedByte, n);
    noteChanged();
}

void DataBuffer::clearMarks() {
    std::memset(changedMap_, 0, dataLength_ / 8);
}

void DataBuffer::markChanged(std::uint32_t index) {
    if (index >= kImageSize)
        return;
    markChangedIn(changedMap_, index);
    noteChanged();
}

bool DataBuffer::isChanged(std::uint32_t index) const {
    if (index >= kImageSize)
        return false;
    return isChangedIn(changedMap_, index);
}

bool DataBuffer::fillRange(std::uint32_t start, std::uint32_t count, unsigned char value) {
    if (start >= dataLength_)
        return false;
    // Compared as a remainder, not as start + count, which could wrap past 4 GB
    // and turn a huge count into a small one.
    if (count > dataLength_ - start)
        count = dataLength_ - start;
    if (count == 0)
        return true;
    std::memset(image_ + start, value, count);
    noteChanged();

    std::uint32_t first = start;
    const std::uint32_t end = start + count;
    // Single bits up to a whole map byte, whole map bytes, then the tail's bits.
    while (first < end && first % 8 != 0)
        markChanged(first++);
    const std::uint32_t wholeBytes = (end - first) / 8;
    std::memset(changedMap_ + first / 8, 0xFF, wholeBytes);
    first += wholeBytes * 8;
    while (first < end)
        markChanged(first++);
    return true;
}

void DataBuffer::swapBytes() {
    // dataLength_ never exceeds kImageSize, which is even, so the partner of the
    // last byte of an odd length is still inside the image.
    for (std::uint32_t i = 0; i < dataLength_; i += 2)
        std::swap(image_[i], image_[i + 1]);
    clearMarks();
    noteChanged();
}

}  // namespace buffer
