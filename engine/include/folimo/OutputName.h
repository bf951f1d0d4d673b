// The rule by which a document that must not overwrite a file is renamed, shared by
// the program, which picks a free name before a run, and the engine, which takes the
// next one when another run took the name meanwhile: "a.pdf", "a (1).pdf", ...
#pragma once

#include <string>

namespace folimo {

// path with " (n)" before the extension: before the last "." of the file name (a "."
// in a folder name is not an extension), or at the end when the name has none.
inline std::wstring numberedName(const std::wstring& path, unsigned long n) {
    const auto slash = path.find_last_of(L'/');
    auto dot = path.find_last_of(L'.');
    if (dot != std::wstring::npos && slash != std::wstring::npos && dot < slash)
        dot = std::wstring::npos;
    const std::wstring counter = L" (" + std::to_wstring(n) + L")";
    if (dot == std::wstring::npos)
        return path + counter;
    return path.substr(0, dot) + counter + path.substr(dot);
}

} // namespace folimo
