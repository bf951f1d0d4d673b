// Conversions between the interfaces' wide strings (UTF-32 here) and UTF-8, for file
// names and libraries. Done by hand rather than through the C locale, so non-ASCII
// paths work whatever locale the process runs in. Invalid input becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace folimo {

inline std::string toUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        auto c = static_cast<unsigned long>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

inline std::wstring fromUtf8(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        auto b = static_cast<unsigned char>(text[i]);
        unsigned long c;
        int extra;
        if (b < 0x80) {
            c = b;
            extra = 0;
        } else if (b >= 0xC2 && b < 0xE0) {
            c = b & 0x1F;
            extra = 1;
        } else if (b >= 0xE0 && b < 0xF0) {
            c = b & 0x0F;
            extra = 2;
        } else if (b >= 0xF0 && b < 0xF5) {
            c = b & 0x07;
            extra = 3;
        } else {
            out += L'\xFFFD';
            ++i;
            continue;
        }
        if (i + static_cast<std::size_t>(extra) >= text.size() && extra > 0) {
            out += L'\xFFFD';
            break;
        }
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            auto cb = static_cast<unsigned char>(text[i + k]);
            if ((cb & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (cb & 0x3F);
        }
        const unsigned long minimum[] = {0, 0x80, 0x800, 0x10000};
        if (!ok || c < minimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += L'\xFFFD';
            ++i;
            continue;
        }
        out += static_cast<wchar_t>(c);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

} // namespace folimo
