// Private to the PNG readers: the walk over a file's chunks that both the decoder and
// the reading of a file's layout rest on, with the one guard against chunk lengths
// longer than the file.
#pragma once

#include "imaging/Codecs.h"

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace folimo::imaging::detail {

inline constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

inline std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           p[3];
}

constexpr std::uint32_t chunkType(const char (&name)[5]) {
    return std::uint32_t(std::uint8_t(name[0])) << 24 | std::uint32_t(std::uint8_t(name[1])) << 16 |
           std::uint32_t(std::uint8_t(name[2])) << 8 | std::uint8_t(name[3]);
}

inline constexpr std::uint32_t kIHDR = chunkType("IHDR"), kPLTE = chunkType("PLTE"),
                               kIDAT = chunkType("IDAT"), kIEND = chunkType("IEND"),
                               kTRNS = chunkType("tRNS"), kPHYS = chunkType("pHYs"),
                               kICCP = chunkType("iCCP");

inline std::string chunkName(std::uint32_t type) {
    return {char(type >> 24), char(type >> 16), char(type >> 8), char(type)};
}

[[noreturn]] inline void pngDamaged(const std::string& why) {
    throw ImagingError(ImagingError::Damaged, "the PNG file is damaged (" + why + ")");
}

struct Chunk {
    std::uint32_t type = 0;
    std::span<const std::uint8_t> data; // its checksum follows
};

inline bool checksumRight(const Chunk& c) {
    return crc32_z(0, c.data.data() - 4, c.data.size() + 4) == be32(c.data.data() + c.data.size());
}

// Where a walk over the chunks ended: after IEND, or at a chunk the file does not
// hold whole (`cut`). Of a cut chunk, the length and type are known when the file
// still holds them (`framed`: its first 8 bytes are there).
struct ChunkWalk {
    std::size_t end = 0;
    bool cut = false;
    bool framed = false;
    std::uint32_t length = 0;
    std::uint32_t type = 0;
};

// The one check of a chunk's declared length against what the file holds: a hostile
// length must neither read past the file nor make anyone allocate for it. `visit`
// sees each whole chunk from the first on, up to and including IEND.
template <typename Visit>
ChunkWalk walkChunks(std::span<const std::uint8_t> b, Visit&& visit) {
    ChunkWalk walk;
    std::size_t pos = sizeof kPngSignature;
    for (;;) {
        walk.end = pos;
        if (b.size() < pos + 8) {
            walk.cut = true;
            return walk;
        }
        walk.length = be32(&b[pos]);
        walk.type = be32(&b[pos + 4]);
        if (std::uint64_t(walk.length) + 12 > b.size() - pos) {
            walk.cut = walk.framed = true;
            return walk;
        }
        visit(Chunk{walk.type, b.subspan(pos + 8, walk.length)});
        pos += 12 + std::size_t(walk.length);
        if (walk.type == kIEND) {
            walk.end = pos;
            return walk;
        }
    }
}

} // namespace folimo::imaging::detail
