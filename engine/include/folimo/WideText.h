// Conversions between the interfaces' wide strings (UTF-32 here) and UTF-8, for file
// names and libraries. Done by hand rather than through the C locale, so non-ASCII
// paths work whatever locale the process runs in.
//
// Linux file names are bytes, not text: a name written on a Latin-1 system is not
// UTF-8. So the mapping is lossless both ways, as Python's surrogate escapes are: a
// byte that does not decode becomes U+DC80..U+DCFF (a lone low surrogate, which no
// valid text contains) and toUtf8 turns it back into that byte. Such a path opens the
// same file it came from; displayText gives the readable form for people.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace folimo {

// The code point that stands for a byte that is not part of valid UTF-8.
constexpr wchar_t escapedByte(unsigned char byte) {
    return static_cast<wchar_t>(0xDC00 + byte);
}
constexpr bool isEscapedByte(wchar_t c) {
    return c >= 0xDC80 && c <= 0xDCFF;
}

inline std::string toUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        unsigned long c = std::uint32_t(wc);
        if (isEscapedByte(wc)) {
            out += static_cast<char>(c & 0xFF);
            continue;
        }
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
        unsigned long c = 0;
        std::size_t extra = 0;
        if (b < 0x80) {
            out += static_cast<wchar_t>(b);
            ++i;
            continue;
        }
        if (b >= 0xC2 && b < 0xE0) {
            c = b & 0x1F;
            extra = 1;
        } else if (b >= 0xE0 && b < 0xF0) {
            c = b & 0x0F;
            extra = 2;
        } else if (b >= 0xF0 && b < 0xF5) {
            c = b & 0x07;
            extra = 3;
        }
        bool ok = extra > 0 && i + extra < text.size();
        for (std::size_t k = 1; ok && k <= extra; ++k) {
            auto cb = static_cast<unsigned char>(text[i + k]);
            ok = (cb & 0xC0) == 0x80;
            c = (c << 6) | (cb & 0x3F);
        }
        const unsigned long minimum[] = {0, 0x80, 0x800, 0x10000};
        if (ok && c >= minimum[extra] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF)) {
            out += static_cast<wchar_t>(c);
            i += extra + 1;
        } else {
            // Only the first byte is escaped: the next may start a valid sequence.
            out += escapedByte(b);
            ++i;
        }
    }
    return out;
}

// The text as people should see it: an escaped byte shows as the Latin-1 character of
// that byte (names that are not UTF-8 mostly come from Latin-1 systems), or as U+FFFD
// where that would be a control character.
inline std::wstring displayText(std::wstring_view text) {
    std::wstring out(text);
    for (auto& c : out) {
        if (isEscapedByte(c)) {
            wchar_t byte = c & 0xFF;
            c = byte >= 0xA0 ? byte : L'\xFFFD';
        } else if (static_cast<unsigned long>(c) > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            c = L'\xFFFD';
        }
    }
    return out;
}

} // namespace folimo
