// Which input files a watermark applies to: wildcard patterns separated by ";" ("*"
// any run of characters, "?" one character), matched against the whole path without
// regard to case. An empty filter matches every file.
#pragma once

#include <string_view>

bool matchesFileFilter(std::wstring_view filter, std::wstring_view path);

bool wildcardMatch(std::wstring_view pattern, std::wstring_view text);
