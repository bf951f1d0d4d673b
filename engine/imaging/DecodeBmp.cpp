// Our own reader of Windows and OS/2 bitmaps: "BM" files, headerless DIBs (as the
// clipboard and some containers hold them) and the DIBs inside icons.
#include "BmpInternal.h"
#include "Codecs.h"
#include "DecodeSupport.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstring>
#include <string>

namespace folimo::imaging {
namespace {

using Bytes = std::span<const std::uint8_t>;

[[noreturn]] void damaged(const std::string& what) {
    throw ImagingError(ImagingError::Damaged, "the BMP file is damaged: " + what);
}

[[noreturn]] void unsupported(const std::string& what) {
    throw ImagingError(ImagingError::Unsupported,
                       "the BMP file uses " + what + ", which is not supported");
}

bool fits(Bytes b, std::uint64_t offset, std::uint64_t length) {
    return offset <= b.size() && length <= b.size() - offset;
}

using support::dpiFromPixelsPerMetre;
constexpr auto le16 = support::loadLe16;
constexpr auto le32 = support::loadLe32;

enum Compression : std::uint32_t {
    kRgb = 0,
    kRle8 = 1,
    kRle4 = 2,
    kBitfields = 3,
    kJpeg = 4,
    kPng = 5,
    kAlphaBitfields = 6,
};

constexpr std::uint32_t kEmbeddedProfile = 0x4D424544; // 'MBED'

struct Header {
    std::uint32_t size = 0;
    std::int64_t width = 0;
    std::int64_t height = 0; // negative: rows stored top-down
    unsigned bits = 0;
    std::uint32_t compression = kRgb;
    std::uint32_t colorsUsed = 0;
    std::int32_t xPixelsPerMetre = 0;
    std::int32_t yPixelsPerMetre = 0;
    std::array<std::uint32_t, 4> masks{}; // red, green, blue, alpha
    unsigned paletteEntrySize = 4;
    std::size_t masksAfterHeader = 0; // BITFIELDS masks that follow a 40-byte header
    std::uint32_t colorSpaceType = 0;
    std::uint32_t profileOffset = 0; // from the start of the header
    std::uint32_t profileSize = 0;
};

Header parseHeader(Bytes dib) {
    if (dib.size() < 4)
        damaged("it ends inside the header");
    Header h;
    h.size = le32(dib.data());
    const bool windows =
        h.size == 40 || h.size == 52 || h.size == 56 || h.size == 108 || h.size == 124;
    const bool os2 = !windows && h.size >= 16 && h.size <= 64;
    if (h.size != 12 && !windows && !os2)
        unsupported("a header of " + std::to_string(h.size) + " bytes");
    if (!fits(dib, 0, h.size))
        damaged("it ends inside the header");
    const std::uint8_t* p = dib.data();
    if (h.size == 12) {
        // OS/2 1.x core header: 16-bit sizes, 3-byte palette entries.
        h.width = le16(p + 4);
        h.height = le16(p + 6);
        h.bits = le16(p + 10);
        h.paletteEntrySize = 3;
        return h;
    }
    // OS/2 2.x headers may stop after any field; the missing ones are zero.
    auto field = [&](std::size_t offset) -> std::uint32_t {
        return offset + 4 <= h.size ? le32(p + offset) : 0;
    };
    h.width = std::int32_t(le32(p + 4));
    h.height = std::int32_t(le32(p + 8));
    h.bits = le16(p + 14);
    h.compression = field(16);
    h.xPixelsPerMetre = std::int32_t(field(24));
    h.yPixelsPerMetre = std::int32_t(field(28));
    h.colorsUsed = field(32);
    if (os2) {
        // OS/2 numbers its compression methods differently from 3 on.
        if (h.compression == 3)
            unsupported("Huffman 1D compression");
        if (h.compression == 4)
            unsupported("24-bit run-length compression");
        return h;
    }
    const bool bitfields = h.compression == kBitfields || h.compression == kAlphaBitfields;
    if (bitfields) {
        if (h.size == 40) {
            h.masksAfterHeader = h.compression == kAlphaBitfields ? 16 : 12;
            if (!fits(dib, 40, h.masksAfterHeader))
                damaged("it ends inside the colour masks");
            for (std::size_t i = 0; i < h.masksAfterHeader / 4; ++i)
                h.masks[i] = le32(p + 40 + 4 * i);
        } else {
            h.masks = {field(40), field(44), field(48), field(52)};
        }
    }
    h.colorSpaceType = field(56);
    h.profileOffset = field(112);
    h.profileSize = field(116);
    return h;
}

// One colour channel of a 16- or 32-bit pixel, as its mask places it.
struct Channel {
    std::uint32_t mask = 0;
    unsigned shift = 0;
    unsigned width = 0;

    std::uint8_t get(std::uint32_t pixel) const {
        if (width == 0)
            return 0;
        std::uint32_t v = (pixel & mask) >> shift;
        if (width >= 8)
            return std::uint8_t(v >> (width - 8));
        const std::uint32_t max = (1u << width) - 1;
        return std::uint8_t((v * 255 + max / 2) / max);
    }
};

Channel makeChannel(std::uint32_t mask, unsigned bits) {
    Channel c;
    if (mask == 0)
        return c;
    if (bits == 16 && mask > 0xFFFF)
        damaged("a colour mask reaches beyond the 16-bit pixel");
    c.mask = mask;
    c.shift = unsigned(std::countr_zero(mask));
    std::uint32_t v = mask >> c.shift;
    if ((v & (v + 1)) != 0)
        unsupported("colour masks with gaps");
    c.width = unsigned(std::popcount(v));
    return c;
}

std::uint32_t pixelAt(const std::uint8_t* row, int x, unsigned bits) {
    return bits == 16 ? le16(row + 2 * std::size_t(x)) : le32(row + 4 * std::size_t(x));
}

// Same arithmetic as Bitmap::create, so that a claimed size is refused before the file
// is checked for holding that many pixels.
void checkLimits(int width, int height, PixelFormat format, const Limits& limits) {
    auto w = std::uint64_t(width);
    auto h = std::uint64_t(height);
    if (w * h > limits.maxPixels ||
        (w * std::uint64_t(bitsPerPixel(format)) + 7) / 8 * h > limits.maxBytes)
        throw ImagingError(ImagingError::TooLarge, "the image is too large (" +
                                                       std::to_string(width) + " x " +
                                                       std::to_string(height) + " pixels)");
}

void setNibble(std::uint8_t* row, int x, unsigned value) {
    std::uint8_t& b = row[x / 2];
    if (x % 2 == 0)
        b = std::uint8_t((b & 0x0F) | value << 4);
    else
        b = std::uint8_t((b & 0xF0) | (value & 0x0F));
}

// Pixels that the runs never reach (skipped by a delta or by an early end of line or
// of bitmap) keep index 0: the image stays indexed, and the few writers that leave
// gaps do not agree on what they mean anyway.
void decodeRle(Bytes data, Bitmap& out, bool rle4, bool topDown) {
    const int w = out.width;
    const int h = out.height;
    std::size_t p = 0;
    int x = 0;
    int y = 0;
    auto put = [&](unsigned value) {
        if (x >= w)
            return;
        std::uint8_t* row = out.row(topDown ? y : h - 1 - y);
        if (rle4)
            setNibble(row, x, value);
        else
            row[x] = std::uint8_t(value);
        ++x;
    };
    for (;;) {
        if (y >= h)
            return;
        if (data.size() - p < 2) {
            // Some writers stop after the last row without an end-of-bitmap code.
            if (y == h - 1 && x >= w)
                return;
            damaged("the compressed pixel data ends early");
        }
        const unsigned count = data[p];
        const unsigned value = data[p + 1];
        p += 2;
        if (count > 0) {
            for (unsigned i = 0; i < count && x < w; ++i)
                put(rle4 ? (i % 2 ? value & 15 : value >> 4) : value);
            continue;
        }
        if (value == 0) { // end of line
            x = 0;
            ++y;
        } else if (value == 1) { // end of bitmap
            return;
        } else if (value == 2) { // delta
            if (data.size() - p < 2)
                damaged("the compressed pixel data ends early");
            x = int(std::min<std::int64_t>(w, std::int64_t(x) + data[p]));
            y = int(std::min<std::int64_t>(h, std::int64_t(y) + data[p + 1]));
            p += 2;
        } else { // a literal run, padded to a 16-bit boundary
            const std::size_t bytes = rle4 ? (value + 1) / 2 : value;
            if (data.size() - p < bytes)
                damaged("the compressed pixel data ends early");
            for (unsigned i = 0; i < value && x < w; ++i)
                put(rle4 ? (data[p + i / 2] >> (i % 2 ? 0 : 4)) & 15 : data[p + i]);
            p += std::min(data.size() - p, bytes + (bytes & 1));
        }
    }
}

// Writers sometimes store fewer colours than the pixels use; the extra indices show
// black rather than reaching past the palette.
void completePalette(Bitmap& b) {
    const int bits = bitsPerPixel(b.format);
    if (b.palette.size() >= (std::size_t(1) << bits))
        return;
    unsigned maxIndex = 0;
    for (int y = 0; y < b.height; ++y) {
        const std::uint8_t* row = b.row(y);
        for (int x = 0; x < b.width; ++x) {
            unsigned v = bits == 8   ? row[x]
                         : bits == 4 ? (row[x / 2] >> (x % 2 ? 0 : 4)) & 15
                                     : (row[x / 8] >> (7 - x % 8)) & 1;
            maxIndex = std::max(maxIndex, v);
        }
    }
    if (maxIndex >= b.palette.size())
        b.palette.resize(maxIndex + 1, 0xFF000000);
}

// What the headers and colour table say: everything a decode needs before the pixels,
// checked as far as it can be without them.
struct DibLayout {
    Header h;
    int width = 0;
    int height = 0;
    bool topDown = false;
    bool rle = false;
    std::array<Channel, 4> channels{};
    PixelFormat format = PixelFormat::Rgb24;
    std::uint64_t dataOffset = 0;
    std::vector<std::uint32_t> palette;
};

DibLayout readLayout(Bytes file, std::size_t dibOffset, std::uint32_t fileHeaderPixelOffset,
                     bool icon, const Limits& limits) {
    const Bytes dib = file.subspan(dibOffset);
    DibLayout l;
    l.h = parseHeader(dib);
    const Header& h = l.h;

    if (h.compression == kJpeg)
        unsupported("embedded JPEG data");
    if (h.compression == kPng)
        unsupported("embedded PNG data");
    if (h.compression > kAlphaBitfields)
        unsupported("compression method " + std::to_string(h.compression));
    switch (h.bits) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
        break;
    default:
        unsupported(std::to_string(h.bits) + " bits per pixel");
    }
    l.rle = h.compression == kRle8 || h.compression == kRle4;
    const bool bitfields = h.compression == kBitfields || h.compression == kAlphaBitfields;
    if ((h.compression == kRle8 && h.bits != 8) || (h.compression == kRle4 && h.bits != 4))
        damaged("its run-length compression does not match its " + std::to_string(h.bits) +
                " bits per pixel");
    if (bitfields && h.bits != 16 && h.bits != 32)
        damaged("colour masks given for " + std::to_string(h.bits) + " bits per pixel");
    if (icon && l.rle)
        unsupported("a compressed icon image");

    if (h.width <= 0 || h.height == 0 || h.height == INT32_MIN)
        damaged("it gives a size of " + std::to_string(h.width) + " x " + std::to_string(h.height) +
                " pixels");
    l.topDown = h.height < 0;
    std::int64_t rows = l.topDown ? -h.height : h.height;
    if (icon) {
        // The header counts the colour bitmap and the mask below it.
        rows /= 2;
        if (rows == 0)
            damaged("the icon image has no rows");
    }
    l.width = int(h.width);
    l.height = int(rows);

    // Colour masks, and whether the fourth byte of a pixel may be alpha.
    if (h.bits == 16 || h.bits == 32) {
        std::array<std::uint32_t, 4> masks = h.masks;
        if (!bitfields) {
            if (h.bits == 16)
                masks = {0x7C00, 0x03E0, 0x001F, 0};
            else
                masks = {0xFF0000, 0xFF00, 0xFF, icon ? 0xFF000000u : 0u};
        }
        for (std::size_t i = 0; i < 4; ++i)
            l.channels[i] = makeChannel(masks[i], h.bits);
    }

    if (h.bits == 1)
        l.format = PixelFormat::Indexed1;
    else if (h.bits <= 4)
        l.format = PixelFormat::Indexed4;
    else if (h.bits == 8)
        l.format = PixelFormat::Indexed8;
    checkLimits(l.width, l.height,
                l.format == PixelFormat::Rgb24 && l.channels[3].width ? PixelFormat::Rgba32
                                                                      : l.format,
                limits);

    // The colour table: clrUsed entries, or all that the depth can index.
    const std::uint64_t paletteOffset = dibOffset + std::uint64_t(h.size) + h.masksAfterHeader;
    std::uint64_t tableEntries = h.bits <= 8 ? (1u << h.bits) : 0;
    if (h.colorsUsed != 0 && h.size != 12)
        tableEntries = h.colorsUsed;
    l.dataOffset = paletteOffset + tableEntries * h.paletteEntrySize;
    if (fileHeaderPixelOffset != 0 && fileHeaderPixelOffset >= paletteOffset)
        l.dataOffset = fileHeaderPixelOffset;
    if (l.dataOffset > file.size())
        damaged("its pixel data lies beyond the end of the file");

    if (h.bits <= 8) {
        std::uint64_t entries = std::min<std::uint64_t>(tableEntries, 1u << h.bits);
        entries = std::min(entries, (l.dataOffset - std::min(l.dataOffset, paletteOffset)) /
                                        h.paletteEntrySize);
        if (entries == 0)
            damaged("it has no colour table");
        for (std::uint64_t i = 0; i < entries; ++i) {
            const std::uint8_t* e = file.data() + paletteOffset + i * h.paletteEntrySize;
            l.palette.push_back(0xFF000000u | std::uint32_t(e[2]) << 16 | std::uint32_t(e[1]) << 8 |
                                e[0]);
        }
    }
    return l;
}

void setResolution(const Header& h, double& dpiX, double& dpiY) {
    if (h.xPixelsPerMetre > 0 && h.yPixelsPerMetre > 0) {
        dpiX = dpiFromPixelsPerMetre(h.xPixelsPerMetre);
        dpiY = dpiFromPixelsPerMetre(h.yPixelsPerMetre);
    }
}

PictureInfo probeDib(Bytes file, std::size_t dibOffset, std::uint32_t fileHeaderPixelOffset,
                     bool icon, const Limits& limits) {
    const DibLayout l = readLayout(file, dibOffset, fileHeaderPixelOffset, icon, limits);
    PictureInfo info{l.width, l.height, 0, 0, bitsPerPixel(l.format)};
    setResolution(l.h, info.dpiX, info.dpiY);
    return info;
}

// One row of an uncompressed DIB into the bitmap's layout: palette indices as they
// are (2-bit ones widened to 4), 24-bit BGR turned to RGB, masked pixels unpacked.
void convertRow(const DibLayout& l, const std::uint8_t* src, std::uint8_t* dst, std::size_t lastRow,
                bool alpha) {
    const int width = l.width;
    const unsigned bits = l.h.bits;
    switch (bits) {
    case 1:
    case 4:
    case 8:
        std::memcpy(dst, src, lastRow);
        if (bits == 1 && width % 8)
            dst[lastRow - 1] &= std::uint8_t(0xFF << (8 - width % 8));
        if (bits == 4 && width % 2)
            dst[lastRow - 1] &= 0xF0;
        break;
    case 2:
        for (int x = 0; x < width; ++x)
            setNibble(dst, x, (src[x / 4] >> (6 - 2 * (x % 4))) & 3);
        break;
    case 24:
        for (int x = 0; x < width; ++x, src += 3, dst += 3) {
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
        }
        break;
    default:
        for (int x = 0; x < width; ++x) {
            const std::uint32_t px = pixelAt(src, x, bits);
            *dst++ = l.channels[0].get(px);
            *dst++ = l.channels[1].get(px);
            *dst++ = l.channels[2].get(px);
            if (alpha)
                *dst++ = l.channels[3].get(px);
        }
        break;
    }
}

// An icon without alpha carries its transparency as a 1-bit mask after the colour
// rows; where any pixel is masked the picture becomes RGBA, taking the palette.
void applyIconMask(DibLayout& l, Bytes mask, Bitmap& out, const Limits& limits) {
    const int width = l.width;
    const int height = l.height;
    const std::uint64_t maskStride = (std::uint64_t(width) + 31) / 32 * 4;
    if (!fits(mask, 0, maskStride * std::uint64_t(height - 1) + (width + 7) / 8))
        damaged("the icon ends inside its transparency mask");
    bool transparent = false;
    for (int y = 0; y < height && !transparent; ++y)
        for (int x = 0; x < width && !transparent; ++x)
            transparent = (mask[std::size_t(maskStride) * y + x / 8] >> (7 - x % 8)) & 1;
    if (!transparent)
        return;
    if (isIndexed(out.format)) {
        out.palette = std::move(l.palette);
        completePalette(out);
    }
    out = detail::expandToRgba32(out, limits);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* m = mask.data() + std::size_t(maskStride) * y;
        std::uint8_t* dst = out.row(l.topDown ? y : height - 1 - y);
        for (int x = 0; x < width; ++x)
            if ((m[x / 8] >> (7 - x % 8)) & 1)
                dst[4 * std::size_t(x) + 3] = 0;
    }
}

// The pixels of a DIB stored without compression, bottom row first unless top-down.
Bitmap decodeRows(DibLayout& l, Bytes data, bool icon, const Limits& limits) {
    const int width = l.width;
    const int height = l.height;
    const unsigned bits = l.h.bits;
    const std::uint64_t stride = (std::uint64_t(width) * bits + 31) / 32 * 4;
    const std::uint64_t lastRow = (std::uint64_t(width) * bits + 7) / 8;
    // An icon's mask follows the colour rows, so those must be complete; a plain
    // bitmap may lack the padding of its last row.
    const std::uint64_t needed =
        icon ? stride * std::uint64_t(height) : stride * std::uint64_t(height - 1) + lastRow;
    if (!fits(data, 0, needed))
        damaged("it ends inside the pixel data");
    auto fileRow = [&](int y) { return data.data() + std::size_t(stride) * std::size_t(y); };

    bool alpha = false;
    if (l.channels[3].width != 0) {
        // A declared alpha channel that is zero everywhere is a writer's slip, not an
        // invisible picture.
        for (int y = 0; y < height && !alpha; ++y)
            for (int x = 0; x < width && !alpha; ++x)
                alpha = l.channels[3].get(pixelAt(fileRow(y), x, bits)) != 0;
    }
    Bitmap out = Bitmap::create(width, height, alpha ? PixelFormat::Rgba32 : l.format, limits);
    for (int y = 0; y < height; ++y)
        convertRow(l, fileRow(y), out.row(l.topDown ? y : height - 1 - y), std::size_t(lastRow),
                   alpha);
    if (icon && !alpha)
        applyIconMask(l, data.subspan(std::size_t(needed)), out, limits);
    return out;
}

Bitmap decodeDib(Bytes file, std::size_t dibOffset, std::uint32_t fileHeaderPixelOffset, bool icon,
                 const Limits& limits) {
    const Bytes dib = file.subspan(dibOffset);
    DibLayout l = readLayout(file, dibOffset, fileHeaderPixelOffset, icon, limits);
    const Header& h = l.h;
    const Bytes data = file.subspan(std::size_t(l.dataOffset));
    Bitmap out;
    if (l.rle) {
        out = Bitmap::create(l.width, l.height, l.format, limits);
        decodeRle(data, out, h.compression == kRle4, l.topDown);
    } else {
        out = decodeRows(l, data, icon, limits);
    }
    if (isIndexed(out.format)) {
        out.palette = std::move(l.palette);
        completePalette(out);
    }

    setResolution(h, out.dpiX, out.dpiY);
    if (h.colorSpaceType == kEmbeddedProfile && h.profileSize > 0 &&
        fits(dib, h.profileOffset, h.profileSize))
        out.iccProfile.assign(reinterpret_cast<const char*>(dib.data()) + h.profileOffset,
                              h.profileSize);
    return out;
}

} // namespace

namespace detail {

Bitmap decodeIconDib(std::span<const std::uint8_t> dib, const Limits& limits) {
    return decodeDib(dib, 0, 0, true, limits);
}

Bitmap expandToRgba32(const Bitmap& source, const Limits& limits) {
    if (source.format == PixelFormat::Rgba32)
        return source;
    Bitmap out = Bitmap::create(source.width, source.height, PixelFormat::Rgba32, limits);
    const int bits = bitsPerPixel(source.format);
    for (int y = 0; y < source.height; ++y) {
        const std::uint8_t* src = source.row(y);
        std::uint8_t* dst = out.row(y);
        for (int x = 0; x < source.width; ++x, dst += 4) {
            switch (source.format) {
            case PixelFormat::Indexed1:
            case PixelFormat::Indexed4:
            case PixelFormat::Indexed8: {
                unsigned i = bits == 8   ? src[x]
                             : bits == 4 ? (src[x / 2] >> (x % 2 ? 0 : 4)) & 15
                                         : (src[x / 8] >> (7 - x % 8)) & 1;
                std::uint32_t c = i < source.palette.size() ? source.palette[i] : 0xFF000000;
                dst[0] = std::uint8_t(c >> 16);
                dst[1] = std::uint8_t(c >> 8);
                dst[2] = std::uint8_t(c);
                dst[3] = std::uint8_t(c >> 24);
                break;
            }
            case PixelFormat::Gray8:
                dst[0] = dst[1] = dst[2] = src[x];
                dst[3] = 255;
                break;
            case PixelFormat::Rgb24:
                std::memcpy(dst, src + 3 * std::size_t(x), 3);
                dst[3] = 255;
                break;
            default:
                throw ImagingError(ImagingError::Unsupported,
                                   "this pixel format cannot be given transparency");
            }
        }
    }
    out.dpiX = source.dpiX;
    out.dpiY = source.dpiY;
    out.iccProfile = source.iccProfile;
    return out;
}

PictureInfo probeIconDib(std::span<const std::uint8_t> dib, const Limits& limits) {
    return probeDib(dib, 0, 0, true, limits);
}

} // namespace detail

std::optional<PictureInfo> probeBmp(std::span<const std::uint8_t> bytes, const Limits& limits) {
    if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') {
        if (bytes.size() < 14 + 4)
            damaged("it ends inside the header");
        return probeDib(bytes, 14, le32(bytes.data() + 10), false, limits);
    }
    return probeDib(bytes, 0, 0, false, limits);
}

Bitmap decodeBmp(std::span<const std::uint8_t> bytes, const Limits& limits) {
    if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') {
        if (bytes.size() < 14 + 4)
            damaged("it ends inside the header");
        return decodeDib(bytes, 14, le32(bytes.data() + 10), false, limits);
    }
    return decodeDib(bytes, 0, 0, false, limits);
}

} // namespace folimo::imaging
