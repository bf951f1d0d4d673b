// The layout of a PNG file whose data a writer carries as it stands, read from its
// chunks past the same guard against chunks longer than the file that the decoder
// stands behind, and judged as libpng would judge it, so that the two agree.
#include "Codecs.h"
#include "DecodeSupport.h"
#include "PngChunks.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string>

namespace folimo::imaging {

namespace {

using namespace detail;
using Bytes = std::span<const std::uint8_t>;

// ICC profiles of real devices stay well below this; a larger one is not worth
// inflating on a hostile file's say-so.
constexpr std::size_t kMaxIccSize = 32u << 20;

bool validDepth(int colorType, int depth) {
    // By colour type, the depths allowed: bit n stands for depth 2^n.
    constexpr unsigned kDepths[7] = {0x1F, 0, 0x18, 0x0F, 0x18, 0, 0x18};
    return colorType >= 0 && colorType < 7 && std::has_single_bit(unsigned(depth)) &&
           (kDepths[colorType] >> std::countr_zero(unsigned(depth)) & 1);
}

void readLayoutHeader(Bytes data, PngLayout& layout) {
    if (data.size() != 13)
        pngDamaged("bad header length");
    const std::uint32_t width = be32(&data[0]), height = be32(&data[4]);
    if (width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF)
        pngDamaged("bad image size");
    layout.width = int(width);
    layout.height = int(height);
    layout.bitDepth = data[8];
    layout.colorType = data[9];
    if (!validDepth(layout.colorType, layout.bitDepth))
        pngDamaged("bit depth " + std::to_string(layout.bitDepth) + " with colour type " +
                   std::to_string(layout.colorType));
    if (data[10] != 0 || data[11] != 0 || data[12] > 1)
        pngDamaged("unknown compression, filter or interlace method");
    layout.interlaced = data[12] == 1;
}

struct EndInflate {
    void operator()(z_stream* z) const noexcept { inflateEnd(z); }
};

// An unreadable profile costs only colour fidelity, so it is dropped, never fatal.
std::string inflateIcc(Bytes chunk) {
    std::size_t nameEnd = 0;
    while (nameEnd < chunk.size() && nameEnd < 80 && chunk[nameEnd] != 0)
        ++nameEnd;
    if (nameEnd == 0 || nameEnd >= 80 || nameEnd + 2 > chunk.size() || chunk[nameEnd + 1] != 0)
        return {};
    const Bytes packed = chunk.subspan(nameEnd + 2);

    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return {};
    std::unique_ptr<z_stream, EndInflate> owner(&z);
    z.next_in = const_cast<Bytef*>(packed.data());
    z.avail_in = uInt(packed.size());
    std::string out;
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (out.size() >= kMaxIccSize)
            return {};
        const std::size_t had = out.size();
        out.resize(std::min(kMaxIccSize, std::max<std::size_t>(4096, had * 2)));
        z.next_out = reinterpret_cast<Bytef*>(out.data() + had);
        z.avail_out = uInt(out.size() - had);
        rc = inflate(&z, Z_NO_FLUSH);
        out.resize(out.size() - z.avail_out);
        if (rc == Z_BUF_ERROR && z.avail_out == 0)
            rc = Z_OK; // only the output was full
    }
    if (rc != Z_STREAM_END)
        return {};
    return out;
}

struct LayoutReading {
    bool first = true;
    bool haveResolution = false;
};

// What the layout takes from one chunk with a right checksum. Ancillary chunks after
// the image data are ignored as libpng ignores them, so that a writer passing the data
// through and one decoding it agree.
void readLayoutChunk(const Chunk& c, LayoutReading& reading, PngLayout& layout) {
    const bool beforeData = layout.imageData.empty();
    switch (c.type) {
    case kIHDR:
        readLayoutHeader(c.data, layout);
        break;
    case kPLTE:
        // Only a palette image uses it; elsewhere it is a hint that libpng ignores.
        if (layout.colorType != PNG_COLOR_TYPE_PALETTE)
            break;
        if (!layout.palette.empty() || !beforeData)
            pngDamaged("misplaced palette");
        if (c.data.empty() || c.data.size() % 3 != 0 || c.data.size() > 3u * 256)
            pngDamaged("bad palette length");
        layout.palette = c.data;
        break;
    case kIDAT:
        layout.imageData.emplace_back(reinterpret_cast<const char*>(c.data.data()), c.data.size());
        break;
    case kTRNS:
        // For a palette image, libpng only takes the alphas after the palette.
        if (beforeData && !layout.transparency &&
            (layout.colorType != PNG_COLOR_TYPE_PALETTE || !layout.palette.empty()))
            layout.transparency = c.data;
        break;
    case kPHYS:
        if (beforeData && !reading.haveResolution) {
            reading.haveResolution = true;
            // Metres only; either figure 0 makes the pair meaningless.
            if (c.data.size() == 9 && c.data[8] == 1 && be32(&c.data[0]) && be32(&c.data[4])) {
                layout.dpiX = support::dpiFromPixelsPerMetre(be32(&c.data[0]));
                layout.dpiY = support::dpiFromPixelsPerMetre(be32(&c.data[4]));
            }
        }
        break;
    case kICCP:
        if (beforeData && !layout.iccChunk)
            layout.iccChunk = c.data;
        break;
    case kIEND:
        break;
    default:
        if (!(c.type & 0x20000000))
            throw ImagingError(ImagingError::Unsupported,
                               "the PNG file uses an unknown critical chunk " + chunkName(c.type));
        break;
    }
}

} // namespace

PngLayout readPngLayout(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < sizeof kPngSignature || std::memcmp(bytes.data(), kPngSignature, 8) != 0)
        throw ImagingError(ImagingError::Damaged, "not a PNG file");
    PngLayout layout;
    LayoutReading reading;
    const ChunkWalk walk = walkChunks(bytes, [&](const Chunk& c) {
        for (int shift = 0; shift < 32; shift += 8) {
            const std::uint8_t ch = std::uint8_t(c.type >> shift);
            if (!((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z')))
                pngDamaged("bad chunk name");
        }
        if (!checksumRight(c)) {
            if (!(c.type & 0x20000000))
                pngDamaged("checksum mismatch in " + chunkName(c.type));
            return; // as libpng does: a damaged ancillary chunk is dropped
        }
        if (reading.first != (c.type == kIHDR))
            pngDamaged(reading.first ? "no header" : "second header");
        reading.first = false;
        readLayoutChunk(c, reading, layout);
    });
    if (walk.cut) {
        if (walk.framed && walk.length > 0x7FFFFFFF)
            pngDamaged("bad chunk length");
        throw ImagingError(ImagingError::Damaged, "the PNG file is truncated");
    }
    return layout;
}

std::string inflatePngProfile(std::span<const std::uint8_t> iccChunk) {
    return inflateIcc(iccChunk);
}

} // namespace folimo::imaging
