// TIFF pixels through libtiff, one directory (page) at a time.
//
// The common layouts (bilevel, grey, palette, RGB and CMYK at their usual depths,
// contiguous or planar, strips or tiles) are read sample by sample, so that 16-bit
// samples, palettes and bilevel scans keep what they are. Everything else (YCbCr
// outside JPEG, old-style JPEG, LogLuv, Lab, odd depths) goes through libtiff's
// TIFFRGBAImage, which knows them all but gives 8-bit RGBA. The Orientation tag is
// applied on both paths.
#include "Codecs.h"
#include "DecodeSupport.h"
#include "TiffReader.h"
#include "Transform.h"

#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace folimo::imaging {

namespace tiff {

namespace {

using detail::load16;
using detail::store16;

// Sample `index` of a row of samples of `bits` each (1, 2, 4, 8 or 16).
inline unsigned sampleAt(const std::uint8_t* row, std::size_t index, int bits) {
    if (bits == 8)
        return row[index];
    if (bits == 16)
        return load16(row + 2 * index);
    std::size_t bit = index * std::size_t(bits);
    return (row[bit / 8] >> (8 - bits - int(bit % 8))) & ((1u << bits) - 1);
}

inline unsigned unpremultiply(unsigned c, unsigned a, unsigned max) {
    if (a == 0)
        return 0;
    return std::min(max, (c * max + a / 2) / a);
}

// One output row from a row of interleaved samples as the file stores them.
void convertRow(const Layout& l, const std::uint8_t* src, std::uint8_t* dst) {
    const std::size_t w = l.width, n = std::size_t(l.samples);
    const int bits = l.bits;
    switch (l.format) {
    case PixelFormat::Indexed1:
    case PixelFormat::Indexed4:
        std::memcpy(dst, src, (w * std::size_t(bits) + 7) / 8);
        break;
    case PixelFormat::Indexed8:
        for (std::size_t x = 0; x < w; ++x)
            dst[x] = std::uint8_t(sampleAt(src, x * n, bits));
        break;
    case PixelFormat::Gray8: {
        const unsigned max = (1u << bits) - 1;
        for (std::size_t x = 0; x < w; ++x) {
            unsigned v = sampleAt(src, x * n, bits) * 255 / max;
            dst[x] = std::uint8_t(l.minIsWhite ? 255 - v : v);
        }
        break;
    }
    case PixelFormat::Gray16:
        for (std::size_t x = 0; x < w; ++x) {
            unsigned v = sampleAt(src, x * n, 16);
            store16(dst + 2 * x, std::uint16_t(l.minIsWhite ? 65535 - v : v));
        }
        break;
    case PixelFormat::Rgb24:
    case PixelFormat::Rgba32:
    case PixelFormat::Rgb48:
    case PixelFormat::Rgba64: {
        const bool wide = bits == 16;
        const unsigned max = wide ? 65535 : 255;
        const int outChannels = hasAlpha(l.format) ? 4 : 3;
        for (std::size_t x = 0; x < w; ++x) {
            const std::size_t s = x * n;
            unsigned c[4];
            if (l.model == Model::Grey) {
                unsigned v = sampleAt(src, s, bits);
                c[0] = c[1] = c[2] = l.minIsWhite ? max - v : v;
            } else if (l.model == Model::Cmyk) {
                unsigned k = max - sampleAt(src, s + 3, bits);
                for (int i = 0; i < 3; ++i)
                    c[i] = ((max - sampleAt(src, s + std::size_t(i), bits)) * k + max / 2) / max;
            } else {
                for (int i = 0; i < 3; ++i)
                    c[i] = sampleAt(src, s + std::size_t(i), bits);
            }
            if (outChannels == 4) {
                c[3] = sampleAt(src, s + std::size_t(l.colours), bits);
                if (l.associated)
                    for (int i = 0; i < 3; ++i)
                        c[i] = unpremultiply(c[i], c[3], max);
            }
            for (int i = 0; i < outChannels; ++i) {
                if (wide)
                    store16(dst + (x * std::size_t(outChannels) + std::size_t(i)) * 2,
                            std::uint16_t(c[i]));
                else
                    dst[x * std::size_t(outChannels) + std::size_t(i)] = std::uint8_t(c[i]);
            }
        }
        break;
    }
    }
}

} // namespace

Bitmap TiffReader::decode() {
    const Page p = page();
    Bitmap b = p.direct ? readDirect(p.layout) : readRgba(p.width, p.height, p.orientation);
    describe(b);
    return reorient(std::move(b), p.orientation, limits_);
}

bool TiffReader::decodeInBands(const TiffBands& onBand) {
    TIFF* tif = tif_.get();
    std::uint32_t width = 0, height = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    support::checkDimensions(width, height, limits_);
    std::uint16_t compression = COMPRESSION_NONE, orientation = ORIENTATION_TOPLEFT;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    Layout layout;
    if (!TIFFIsCODECConfigured(compression) || orientation != ORIENTATION_TOPLEFT ||
        !directLayout(width, height, compression, layout))
        return false;
    readDirect(layout, &onBand);
    return true;
}

void TiffReader::readPalette(const Layout& l, Bitmap& b) {
    if (l.model == Model::Grey) { // bilevel
        b.palette = l.minIsWhite ? std::vector<std::uint32_t>{0xFFFFFFFFu, 0xFF000000u}
                                 : std::vector<std::uint32_t>{0xFF000000u, 0xFFFFFFFFu};
        return;
    }
    std::uint16_t *r = nullptr, *g = nullptr, *bl = nullptr;
    if (!TIFFGetField(tif_.get(), TIFFTAG_COLORMAP, &r, &g, &bl) || !r || !g || !bl)
        damaged("the palette image has no colour map");
    const std::size_t n = std::size_t(1) << l.bits;
    // Old writers stored 8-bit values in the 16-bit map; libtiff's own reader
    // recognises them the same way.
    bool eightBit = true;
    for (std::size_t i = 0; i < n; ++i)
        eightBit = eightBit && r[i] < 256 && g[i] < 256 && bl[i] < 256;
    auto to8 = [eightBit](unsigned v) { return eightBit ? v : (v + 128) / 257; };
    for (std::size_t i = 0; i < n; ++i)
        b.palette.push_back(0xFF000000u | to8(r[i]) << 16 | to8(g[i]) << 8 | to8(bl[i]));
}

Bitmap TiffReader::readDirect(const Layout& l, const TiffBands* onBand) {
    TIFF* tif = tif_.get();

    const int planes = l.separate ? l.samples : 1;
    const std::size_t planeSamples = l.separate ? 1 : std::size_t(l.samples);
    const std::size_t planeRowBytes =
        (support::checkedMul(l.width, planeSamples * std::size_t(l.bits)) + 7) / 8;
    if (std::uint64_t(TIFFScanlineSize64(tif)) != planeRowBytes)
        damaged("the image's row size does not match its fields");

    const bool tiled = TIFFIsTiled(tif);
    std::uint32_t bandRows = 0, tileWidth = 0;
    if (tiled) {
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &bandRows);
        if (tileWidth == 0 || bandRows == 0 || tileWidth % 16 || bandRows % 16)
            damaged("the tile size is invalid");
    } else {
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &bandRows);
    }
    bandRows = std::clamp<std::uint32_t>(bandRows, 1, l.height);
    Bitmap b = Bitmap::create(int(l.width), int(onBand ? bandRows : l.height), l.format, limits_);
    if (isIndexed(l.format))
        readPalette(l, b);
    if (onBand)
        describe(b);
    const std::size_t bandBytes = support::checkedMul(planeRowBytes, bandRows);
    if (support::checkedMul(bandBytes, std::size_t(planes)) > limits_.maxBytes)
        throw ImagingError(ImagingError::TooLarge, "the TIFF file's strips are too large");

    std::vector<std::vector<std::uint8_t>> band(static_cast<std::size_t>(planes));
    for (auto& plane : band)
        plane.resize(bandBytes);
    std::vector<std::uint8_t> tile, interleaved;
    std::size_t tileRowBytes = 0;
    if (tiled) {
        tileRowBytes = (support::checkedMul(tileWidth, planeSamples * std::size_t(l.bits)) + 7) / 8;
        tmsize_t tileSize = TIFFTileSize(tif);
        if (tileSize <= 0 || std::uint64_t(tileSize) != std::uint64_t(tileRowBytes) * bandRows)
            damaged("the tile size is invalid");
        tile.resize(std::size_t(tileSize));
    }
    if (l.separate)
        interleaved.resize(std::size_t(l.width) * std::size_t(l.samples) * std::size_t(l.bits / 8));

    for (std::uint32_t y0 = 0; y0 < l.height; y0 += bandRows) {
        const std::uint32_t rows = std::min(bandRows, l.height - y0);
        for (int p = 0; p < planes; ++p) {
            std::uint8_t* dst = band[std::size_t(p)].data();
            if (!tiled) {
                std::uint32_t strip = TIFFComputeStrip(tif, y0, std::uint16_t(p));
                tmsize_t want = tmsize_t(planeRowBytes * rows);
                tmsize_t got = TIFFReadEncodedStrip(tif, strip, dst, want);
                if (got < want)
                    damaged("a strip could not be read");
                continue;
            }
            for (std::uint32_t x0 = 0; x0 < l.width; x0 += tileWidth) {
                std::uint32_t index = TIFFComputeTile(tif, x0, y0, 0, std::uint16_t(p));
                if (TIFFReadEncodedTile(tif, index, tile.data(), tmsize_t(tile.size())) < 0)
                    damaged("a tile could not be read");
                std::size_t offset = std::size_t(x0) * planeSamples * std::size_t(l.bits) / 8;
                std::size_t count = std::min(tileRowBytes, planeRowBytes - offset);
                for (std::uint32_t r = 0; r < rows; ++r)
                    std::memcpy(dst + r * planeRowBytes + offset, tile.data() + r * tileRowBytes,
                                count);
            }
        }
        for (std::uint32_t r = 0; r < rows; ++r) {
            const std::uint8_t* src = band[0].data() + r * planeRowBytes;
            if (l.separate) {
                const std::size_t sampleBytes = std::size_t(l.bits / 8);
                for (int p = 0; p < planes; ++p) {
                    const std::uint8_t* plane = band[std::size_t(p)].data() + r * planeRowBytes;
                    for (std::size_t x = 0; x < l.width; ++x)
                        std::memcpy(interleaved.data() +
                                        (x * std::size_t(l.samples) + std::size_t(p)) * sampleBytes,
                                    plane + x * sampleBytes, sampleBytes);
                }
                src = interleaved.data();
            }
            convertRow(l, src, b.row(int(onBand ? r : y0 + r)));
        }
        if (onBand)
            (*onBand)(b, int(rows), int(l.height));
    }
    return b;
}

Bitmap TiffReader::readRgba(std::uint32_t width, std::uint32_t height, std::uint16_t orientation) {
    TIFF* tif = tif_.get();
    char message[1024] = {};
    if (!TIFFRGBAImageOK(tif, message))
        throw ImagingError(ImagingError::Unsupported,
                           std::string("this kind of TIFF image is not supported: ") + message);
    Bitmap b = Bitmap::create(int(width), int(height), PixelFormat::Rgba32, limits_);
    // The pixel memory comes from operator new, aligned for uint32_t.
    auto* raster = reinterpret_cast<std::uint32_t*>(b.pixels.data());
    if (!TIFFReadRGBAImageOriented(tif, width, height, raster, orientation, 1))
        damaged("the image could not be read");

    std::uint16_t photometric = 0;
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    // TIFFRGBAImage premultiplies colour, except for grey with alpha.
    const bool premultiplied =
        photometric != PHOTOMETRIC_MINISBLACK && photometric != PHOTOMETRIC_MINISWHITE;
    bool opaque = true;
    std::uint8_t* p = b.pixels.data();
    const std::size_t count = std::size_t(width) * height;
    for (std::size_t i = 0; i < count; ++i, p += 4) {
        std::uint32_t abgr;
        std::memcpy(&abgr, p, 4);
        unsigned r = TIFFGetR(abgr), g = TIFFGetG(abgr), bl = TIFFGetB(abgr), a = TIFFGetA(abgr);
        if (a != 255 && premultiplied) {
            r = unpremultiply(r, a, 255);
            g = unpremultiply(g, a, 255);
            bl = unpremultiply(bl, a, 255);
        }
        opaque = opaque && a == 255;
        p[0] = std::uint8_t(r);
        p[1] = std::uint8_t(g);
        p[2] = std::uint8_t(bl);
        p[3] = std::uint8_t(a);
    }
    if (opaque) {
        // Compacted in place: rows are contiguous and each RGB pixel lands before
        // the RGBA pixel it came from.
        std::uint8_t* s = b.pixels.data();
        for (std::size_t i = 0; i < count; ++i)
            std::memmove(s + 3 * i, s + 4 * i, 3);
        b.format = PixelFormat::Rgb24;
        b.stride = std::size_t(width) * 3;
        b.pixels.resize(b.stride * height);
    }
    return b;
}

} // namespace tiff

using tiff::TiffReader;

Bitmap decodeTiff(std::span<const std::uint8_t> bytes, const Limits& limits, int page) {
    TiffReader reader(bytes, limits, page);
    return reader.decode();
}

bool decodeTiffInBands(std::span<const std::uint8_t> bytes, int page, const TiffBands& onBand,
                       const Limits& limits) {
    TiffReader reader(bytes, limits, page);
    return reader.decodeInBands(onBand);
}

} // namespace folimo::imaging
