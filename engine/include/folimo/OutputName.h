// The rule by which a document that must not overwrite a file is renamed, shared by
// the program, which picks a free name before a run, and the engine, which takes the
// next one when another run took the name meanwhile: "a.pdf", "a (1).pdf", ...
#pragma once

#include <folimo/WideText.h>

#include <cstddef>
#include <string>

namespace folimo {

// The longest file name (one component) that Linux file systems take, in bytes.
inline constexpr std::size_t kMaxFileNameBytes = 255;

// path with " (n)" before the extension: before the last "." of the file name (a "."
// in a folder name is not an extension), or at the end when the name has none. A name
// that the counter would make longer than kMaxFileNameBytes loses characters at the end
// of its base (whole characters, so its UTF-8 stays valid) and keeps its extension.
inline std::wstring numberedName(const std::wstring& path, unsigned long n) {
    const auto slash = path.find_last_of(L'/');
    const std::size_t nameStart = slash == std::wstring::npos ? 0 : slash + 1;
    auto dot = path.find_last_of(L'.');
    if (dot == std::wstring::npos || dot < nameStart)
        dot = path.size();
    const std::wstring counter = L" (" + std::to_wstring(n) + L")";
    const std::wstring extension = path.substr(dot);
    std::wstring base = path.substr(nameStart, dot - nameStart);
    const std::size_t fixedBytes = toUtf8(counter).size() + toUtf8(extension).size();
    while (!base.empty() && toUtf8(base).size() + fixedBytes > kMaxFileNameBytes)
        base.pop_back();
    return path.substr(0, nameStart) + base + counter + extension;
}

} // namespace folimo
