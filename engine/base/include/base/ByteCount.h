// "1.6 GB" and the like, for messages about memory and file sizes, in the units that
// FOLIMO_MAX_MEMORY takes: 1G is 2^30 bytes and reads "1.0 GB".
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

namespace folimo::base {

inline std::string byteCount(std::uint64_t bytes) {
    char text[32];
    if (bytes >= 1ull << 30)
        std::snprintf(text, sizeof text, "%.1f GB", double(bytes) / (1ull << 30));
    else
        std::snprintf(text, sizeof text, "%.0f MB", std::max(1.0, double(bytes) / (1 << 20)));
    return text;
}

} // namespace folimo::base
