// SPDX-License-Identifier: GPL-3.0-or-later
// config.ini is a file users edit by hand: any bytes must read without harm,
// and a write must keep the value readable.
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "app/config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path =
        "/tmp/chipwright-fuzz-config-" + std::to_string(getpid()) + ".ini";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    app::readSetting(path, "Run", "DefaultLanguage");
    std::string caption = app::readSetting(path, "English", "Caption");
    if (caption.size() > 3 * app::kMaxSettingBytes)
        __builtin_trap();
    if (app::writeSetting(path, "Run", "DefaultChipName", "EN25T80") &&
        app::readSetting(path, "Run", "DefaultChipName") != "EN25T80") {
        __builtin_trap();
    }
    return 0;
}
