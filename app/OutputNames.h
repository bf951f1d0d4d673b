// Output names that never overwrite: "a.pdf", then "a (1).pdf", "a (2).pdf", ...
#pragma once

#include <string>

namespace folimo {

// The first of path, path with " (1)", " (2)", ... before the extension (numberedName),
// at which no file or folder exists.
std::wstring freeOutputName(const std::wstring& path);

// True when a file, folder or dangling link exists at the path.
bool pathExists(const std::wstring& path);

} // namespace folimo
