#include "PdfSyntax.h"

#include <folimo/WideText.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace folimo::pdf {

std::string pdfReal(double value, int decimals) {
    if (!std::isfinite(value))
        return "0";
    // to_chars, unlike printf, never writes a decimal comma whatever the locale.
    char buf[64];
    auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    std::string s(buf, result.ptr);
    s.erase(s.find_last_not_of('0') + 1);
    if (s.back() == '.')
        s.pop_back();
    if (s == "-0")
        s = "0";
    return s;
}

Matrix multiply(const Matrix& first, const Matrix& second) {
    const auto& [a, b, c, d, e, f] = first;
    const auto& [a2, b2, c2, d2, e2, f2] = second;
    return {a * a2 + b * c2, a * b2 + b * d2,      c * a2 + d * c2,
            c * b2 + d * d2, e * a2 + f * c2 + e2, e * b2 + f * d2 + f2};
}

std::string matrixOperator(const Matrix& m, int decimals) {
    return pdfReal(m[0], decimals) + " " + pdfReal(m[1], decimals) + " " + pdfReal(m[2], decimals) +
           " " + pdfReal(m[3], decimals) + " " + pdfReal(m[4]) + " " + pdfReal(m[5]) + " cm";
}

std::string pdfLiteralString(std::string_view bytes) {
    std::string out = "(";
    for (char c : bytes) {
        if (c == '(' || c == ')' || c == '\\')
            out += '\\';
        if (c == '\r') {
            out += "\\r";
            continue;
        }
        out += c;
    }
    out += ')';
    return out;
}

std::string pdfHexString(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out = "<";
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    out += '>';
    return out;
}

std::string pdfTextString(std::wstring_view raw) {
    // File names that are not UTF-8 reach titles through the file name placeholder.
    const std::wstring text = displayText(raw);
    bool ascii = true;
    for (wchar_t c : text)
        if (c < 0x20 || c > 0x7e)
            ascii = false;
    if (ascii) {
        std::string bytes(text.begin(), text.end());
        return pdfLiteralString(bytes);
    }
    std::string utf16 = "\xFE\xFF";
    auto unit = [&utf16](unsigned u) {
        utf16 += static_cast<char>(u >> 8);
        utf16 += static_cast<char>(u & 0xFF);
    };
    for (wchar_t wc : text) {
        unsigned long c = std::uint32_t(wc);
        if (c >= 0x10000) {
            c -= 0x10000;
            unit(0xD800 + static_cast<unsigned>(c >> 10));
            unit(0xDC00 + static_cast<unsigned>(c & 0x3FF));
        } else {
            unit(static_cast<unsigned>(c));
        }
    }
    return pdfHexString(utf16);
}

std::string pdfName(std::string_view name) {
    std::string out = "/";
    for (unsigned char c : name) {
        bool regular = c > 0x20 && c < 0x7f && c != '#' && c != '/' && c != '(' && c != ')' &&
                       c != '<' && c != '>' && c != '[' && c != ']' && c != '{' && c != '}' &&
                       c != '%';
        if (regular) {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "#%02X", c);
            out += buf;
        }
    }
    return out;
}

} // namespace folimo::pdf
