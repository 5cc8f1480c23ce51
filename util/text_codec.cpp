// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/text_codec.h"

#include <iconv.h>
#include <cerrno>

namespace util {
namespace {

// Bytes to skip at an unconvertible UTF-8 character: its lead byte and the
// continuation bytes behind it, so a character GBK lacks becomes one '?', and a
// cut-off sequence never swallows the byte that follows it.
std::size_t utf8SkipLength(const char* at, std::size_t left) {
    std::size_t n = 1;
    while (n < left && n < 4 && (static_cast<unsigned char>(at[n]) & 0xC0) == 0x80)
        ++n;
    return n;
}

std::size_t oneByte(const char*, std::size_t) {
    return 1;
}

class Converter {
  public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (valid())
            iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts `in`; at a byte that cannot be converted appends `replacement`
    // and skips `skip(at, left)` input bytes, and clears `*exact`. iconv reports
    // an error for the whole call even when it converted everything before the
    // bad byte, so the output it produced up to then is always kept.
    template <typename Skip>
    std::string run(std::string_view in, std::string_view replacement, Skip skip,
                    bool* exact = nullptr) {
        std::string out;
        if (!valid()) {
            if (exact)
                *exact = in.empty();
            return out;
        }
        out.reserve(in.size() * 3 / 2 + 8);
        char* src = const_cast<char*>(in.data());
        std::size_t srcLeft = in.size();
        char buffer[1024];
        while (srcLeft > 0) {
            char* dst = buffer;
            std::size_t dstLeft = sizeof buffer;
            std::size_t rc = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
            out.append(buffer, static_cast<std::size_t>(dst - buffer));
            if (rc != static_cast<std::size_t>(-1))
                continue;
            if (errno == E2BIG)
                continue;
            // EILSEQ: an invalid sequence; EINVAL: a sequence cut off at the end.
            out.append(replacement);
            if (exact)
                *exact = false;
            std::size_t n = skip(src, srcLeft);
            if (errno == EINVAL || n > srcLeft)
                n = srcLeft;
            src += n;
            srcLeft -= n;
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // reset shift state
        }
        return out;
    }

  private:
    iconv_t cd_;
};

bool isAscii(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80)
            return false;
    }
    return true;
}

}  // namespace

std::string gbkToUtf8(std::string_view gbk) {
    if (isAscii(gbk))
        return std::string(gbk);
    Converter converter("UTF-8", "GBK");
    return converter.run(gbk, "\xEF\xBF\xBD", oneByte);
}

std::string utf8ToGbk(std::string_view utf8, bool* exact) {
    if (exact)
        *exact = true;
    if (isAscii(utf8))
        return std::string(utf8);
    Converter converter("GBK", "UTF-8");
    return converter.run(utf8, "?", utf8SkipLength, exact);
}

std::string printableName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            out += c;
            continue;
        }
        switch (c) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default: {
                static constexpr char kDigits[] = "0123456789ABCDEF";
                out += "\\x";
                out += kDigits[byte >> 4];
                out += kDigits[byte & 0xF];
            }
        }
    }
    return out;
}

}  // namespace util
