#include "OutputNames.h"

#include <folimo/WideText.h>

#include <sys/stat.h>

namespace folimo {

bool pathExists(const std::wstring& path) {
    struct stat st {};
    return ::lstat(toUtf8(path).c_str(), &st) == 0;
}

std::wstring freeOutputName(const std::wstring& path) {
    if (!pathExists(path))
        return path;
    auto slash = path.find_last_of(L'/');
    auto dot = path.find_last_of(L'.');
    if (dot != std::wstring::npos && slash != std::wstring::npos && dot < slash)
        dot = std::wstring::npos;
    std::wstring stem = dot == std::wstring::npos ? path : path.substr(0, dot);
    std::wstring ext = dot == std::wstring::npos ? L"" : path.substr(dot);
    for (unsigned long n = 1;; ++n) {
        std::wstring candidate = stem + L" (" + std::to_wstring(n) + L")" + ext;
        if (!pathExists(candidate))
            return candidate;
    }
}

} // namespace folimo
