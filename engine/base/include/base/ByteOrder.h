// Big- and little-endian loads of the integers file formats store, from memory the
// caller has already bounds-checked. Shared by the decoders and by the engine's own
// peeks at file headers, so both read bytes the same way.
#pragma once

#include <cstdint>

namespace folimo::base {

inline std::uint16_t loadBe16(const std::uint8_t* p) {
    return std::uint16_t(p[0] << 8 | p[1]);
}
inline std::uint16_t loadLe16(const std::uint8_t* p) {
    return std::uint16_t(p[1] << 8 | p[0]);
}
inline std::uint32_t loadBe32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
inline std::uint32_t loadLe32(const std::uint8_t* p) {
    return std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
}

} // namespace folimo::base
