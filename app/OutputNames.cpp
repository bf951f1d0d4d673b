#include "OutputNames.h"

#include <folimo/OutputName.h>
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
    for (unsigned long n = 1;; ++n) {
        std::wstring candidate = numberedName(path, n);
        if (!pathExists(candidate))
            return candidate;
    }
}

} // namespace folimo
