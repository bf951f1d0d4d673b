// Flate compression of whole buffers (libdeflate: one call, no streaming state).
#pragma once

#include <string>
#include <string_view>

namespace folimo::pdf {

// zlib-wrapped data, as /FlateDecode expects. Level 1 (fastest) to 12.
std::string deflateBytes(std::string_view data, int level = 6);

} // namespace folimo::pdf
