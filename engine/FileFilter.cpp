#include "FileFilter.h"

#include <clocale>
#include <cwctype>

namespace {

// Case folds for every letter, as people expect of a file name pattern ("*ÉTÉ*" finds
// "été.jpg"). towlower alone folds only ASCII in the C locale most processes run in,
// so the fold uses a UTF-8 character table of its own (built into the C library; it
// needs no locale files).
locale_t unicodeCtype() {
    static const locale_t ctype = [] {
        locale_t l = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        return l ? l : ::newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    }();
    return ctype;
}

wchar_t fold(wchar_t c) {
    if (c < 0x80)
        return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    return static_cast<wchar_t>(::towlower_l(static_cast<wint_t>(c), unicodeCtype()));
}

} // namespace

bool wildcardMatch(std::wstring_view pattern, std::wstring_view text) {
    // Greedy match with one backtrack point: linear for patterns with several "*".
    std::size_t p = 0, t = 0, star = std::wstring_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == L'?' || fold(pattern[p]) == fold(text[t]))) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = t;
        } else if (star != std::wstring_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*')
        ++p;
    return p == pattern.size();
}

bool matchesFileFilter(std::wstring_view filter, std::wstring_view path) {
    if (filter.empty())
        return true;
    std::size_t start = 0;
    while (start <= filter.size()) {
        std::size_t end = filter.find(L';', start);
        if (end == std::wstring_view::npos)
            end = filter.size();
        std::wstring_view pattern = filter.substr(start, end - start);
        while (!pattern.empty() && pattern.front() == L' ')
            pattern.remove_prefix(1);
        while (!pattern.empty() && pattern.back() == L' ')
            pattern.remove_suffix(1);
        if (!pattern.empty() && wildcardMatch(pattern, path))
            return true;
        start = end + 1;
    }
    return false;
}
