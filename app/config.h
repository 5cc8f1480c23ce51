// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// config.ini: where the program finds it and how one value is read or written.
//
// The file is a plain INI text in GBK: "[Section]" lines and "Key=Value" lines.
// Section and key names are compared without regard to case, white space around
// names and values is ignored, and a value is cut to its first 199 bytes as
// stored (GBK), before it is turned into UTF-8. An absent file, section or key
// reads as the empty text. Every function takes the file's path; only the
// program's main() asks where the program lives.

#include <cstddef>
#include <string>
#include <string_view>

namespace app {

// Longest value a setting can hold, in stored (GBK) bytes.
constexpr std::size_t kMaxSettingBytes = 199;

constexpr const char* kConfigFileName = "config.ini";

// Folder of the running executable, with its trailing '/', or "" if unknown.
std::string programDirectory();

// The value of `key` in `section` of the file at `iniPath`, as UTF-8.
std::string readSetting(const std::string& iniPath, std::string_view section, std::string_view key);

// Stores `value` (UTF-8) as `key` in `section`, creating the file, the section
// or the key as needed. Every other byte of the file stays as it was, and the
// file is replaced safely, so a crash or a full disk never truncates it. A file
// that exists but cannot be read whole is left alone and false is returned.
bool writeSetting(const std::string& iniPath, std::string_view section, std::string_view key,
                  std::string_view value);

// Remembers the chip in use as the one to select at the next start.
bool setDefaultChipName(const std::string& iniPath, std::string_view name);

}  // namespace app
