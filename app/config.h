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

// The file the install step puts beside an installed program. Its folder belongs to
// the system and is not its users' to write, so an installed program keeps the two
// settings it writes, and its log, in the user's own folders instead (see
// userConfigDirectory and userStateDirectory). Run from the build folder, everything
// stays beside the program.
constexpr const char* kInstalledMarkerName = "installed";

// Folder of the running executable, with its trailing '/', or "" if unknown.
std::string programDirectory();

// Whether the program in `programDir` (ending with '/') is an installed one.
bool isInstalledProgram(const std::string& programDir);

// The user's settings folder for the installed program, with its trailing '/':
// $XDG_CONFIG_HOME/chipwright/, else ~/.config/chipwright/; "" when neither
// $XDG_CONFIG_HOME nor $HOME names an absolute folder.
std::string userConfigDirectory();

// The user's folder for the installed program's log, with its trailing '/':
// $XDG_STATE_HOME/chipwright/, else ~/.local/state/chipwright/; "" as above.
std::string userStateDirectory();

// The user's folder for the files the program keeps for them, with its trailing '/':
// $XDG_DATA_HOME/chipwright/, else ~/.local/share/chipwright/; "" as above.
std::string userDataDirectory();

// Creates `folder` and any missing parents, for the user alone (0700). True when it
// exists as a folder afterwards.
bool makeUserFolder(const std::string& folder);

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
