// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "util/text_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    std::string utf8 = util::gbkToUtf8(in);
    std::string gbk = util::utf8ToGbk(utf8);
    // Whatever came in, what the program holds converts back to the same text.
    if (util::gbkToUtf8(gbk) != utf8 && utf8.find("\xEF\xBF\xBD") == std::string::npos)
        __builtin_trap();
    util::utf8ToGbk(in);
    return 0;
}
