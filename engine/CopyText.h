// The engine's one way of handing a text to a caller's buffer: at most size - 1
// characters and a terminator; the result is the size that would hold it whole.
#pragma once

#include <cwchar>
#include <string>

inline int copyTextToBuffer(const std::wstring& text, wchar_t* buffer, unsigned size) {
    if (buffer && size > 0) {
        std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
        std::wmemcpy(buffer, text.data(), n);
        buffer[n] = L'\0';
    }
    return static_cast<int>(text.size()) + 1;
}

// The watermarks' form: *length is the buffer size going in and, when the text fitted,
// the size it used coming out.
inline int copyTextOut(const std::wstring& text, wchar_t* buffer, int* length) {
    int size = length ? *length : 0;
    int needed = copyTextToBuffer(text, buffer, size > 0 ? static_cast<unsigned>(size) : 0);
    if (length && needed < size)
        *length = needed;
    return needed;
}
