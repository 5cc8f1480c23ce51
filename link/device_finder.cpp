// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/device_finder.h"

#include "util/hex_digit.h"

namespace usblink {
namespace {

// Characters from the start of the letters to the first hex digit: three letters and
// one separator.
constexpr std::size_t kDigitsOffset = 4;
constexpr std::size_t kIdDigits = 4;
// Positions at which the letters may start lie below length - margin.
constexpr std::size_t kVendorMargin = 8;
constexpr std::size_t kProductMargin = 4;

std::uint16_t idAfter(std::string_view path, std::string_view lower, std::string_view upper,
                      std::size_t margin) {
    if (path.size() <= margin)
        return 0;
    const std::size_t limit = path.size() - margin;
    std::size_t found = std::string_view::npos;
    for (std::size_t p = 0; p < limit; ++p) {
        if (path.substr(p, 3) == lower || path.substr(p, 3) == upper) {
            found = p;
            break;
        }
    }
    if (found == std::string_view::npos)
        return 0;
    unsigned value = 0;
    for (std::size_t k = 0; k < kIdDigits; ++k) {
        const std::size_t at = found + kDigitsOffset + k;
        const int digit = at < path.size() ? util::hexDigitValue(path[at]) : util::kNotHexDigit;
        if (digit == util::kNotHexDigit)
            return 0;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace

std::uint16_t vendorIdFromPath(std::string_view path) {
    return idAfter(path, "vid", "VID", kVendorMargin);
}

std::uint16_t productIdFromPath(std::string_view path) {
    return idAfter(path, "pid", "PID", kProductMargin);
}

std::string devicePlace(std::string_view path) {
    const std::size_t hash = path.rfind('#');
    return std::string(hash == std::string_view::npos ? path : path.substr(hash + 1));
}

std::vector<std::string> DeviceFinder::listed() {
    std::vector<std::string> paths = bus_.devicePaths();
    if (!place_.empty())
        std::erase_if(paths, [&](const std::string& p) { return devicePlace(p) != place_; });
    return paths;
}

std::vector<std::string> DeviceFinder::devicePaths() {
    std::vector<std::string> paths = listed();
    if (paths.size() > static_cast<std::size_t>(kMaxInterfaces))
        paths.resize(kMaxInterfaces);
    return paths;
}

int DeviceFinder::countDevices() {
    return static_cast<int>(devicePaths().size());
}

std::string DeviceFinder::pathOf(int index) {
    const std::vector<std::string> paths = listed();
    if (index < 0 || static_cast<std::size_t>(index) >= paths.size())
        return {};
    return paths[static_cast<std::size_t>(index)];
}

std::uint16_t DeviceFinder::vendorIdOf(int index) {
    return vendorIdFromPath(pathOf(index));
}

std::uint16_t DeviceFinder::productIdOf(int index) {
    return productIdFromPath(pathOf(index));
}

std::unique_ptr<UsbDevice> DeviceFinder::openDevice(const std::string& path) {
    path_ = path;
    if (vendorIdFromPath(path) != kProgrammerVendorId ||
        productIdFromPath(path) != kProgrammerProductId) {
        return nullptr;
    }
    return bus_.openDevice(path_);
}

std::unique_ptr<UsbPipe> DeviceFinder::openPipe(UsbDevice& device, std::string_view name) {
    return device.openPipe(name);
}

}  // namespace usblink
