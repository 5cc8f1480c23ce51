// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the benchmarks share: the median of repeated measurements, and a folder of their
// own holding copies of the runtime files built beside them, since a run writes its
// log and settings there.

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace benchsupport {

inline double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// A fresh temporary folder with copies of `files` from the benchmark's own folder;
// nothing when the folder cannot be made.
inline std::optional<std::filesystem::path> folderWithRuntimeFiles(
    std::initializer_list<const char*> files) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "chipwright-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        return std::nullopt;
    const std::filesystem::path folder = pattern;
    const auto bin = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    std::error_code error;
    for (const char* file : files)
        std::filesystem::copy_file(bin / file, folder / file, error);
    return folder;
}

}  // namespace benchsupport
