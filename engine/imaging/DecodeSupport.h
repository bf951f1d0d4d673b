// Private to the decoders: what more than one of them needs. A reader of file bytes
// that cannot run past the end, the dimension check that must come before a library
// allocates anything, the unit and colour conversions several formats share, and a
// deleter that ties a C library's handle to its release function.
//
// Everything here is header-only, stateless and safe from any thread.
#pragma once

#include "base/ByteOrder.h"
#include "imaging/Bitmap.h"
#include "imaging/Codecs.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace folimo::imaging::support {

// std::unique_ptr<TIFF, Release<TIFFClose>>: the handle's release function as the
// deleter type, so every handle is owned the same way.
template <auto Free>
struct Release {
    template <class T>
    void operator()(T* handle) const noexcept {
        if (handle)
            Free(handle);
    }
};

// The byte loads every decoder uses, under the names the decoders know them by.
using base::loadBe16;
using base::loadBe32;
using base::loadLe16;
using base::loadLe32;

// Sequential reading of a file's structures. Hostile files are the norm, so every
// read is checked; running past the end throws ImagingError(Damaged) naming `what`
// ("the BMP file ends too early"), which is what a truncated file deserves.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes, std::string what = "the file")
        : bytes_(bytes), what_(std::move(what)) {}

    std::size_t size() const { return bytes_.size(); }
    std::size_t position() const { return pos_; }
    std::size_t remaining() const { return bytes_.size() - pos_; }
    bool has(std::size_t count) const { return count <= remaining(); }

    void seek(std::size_t offset) {
        if (offset > bytes_.size())
            fail();
        pos_ = offset;
    }
    void skip(std::size_t count) {
        need(count);
        pos_ += count;
    }
    std::span<const std::uint8_t> bytes(std::size_t count) {
        need(count);
        auto s = bytes_.subspan(pos_, count);
        pos_ += count;
        return s;
    }
    std::uint8_t u8() { return bytes(1)[0]; }
    std::uint16_t u16be() { return loadBe16(bytes(2).data()); }
    std::uint16_t u16le() { return loadLe16(bytes(2).data()); }
    std::uint32_t u32be() { return loadBe32(bytes(4).data()); }
    std::uint32_t u32le() { return loadLe32(bytes(4).data()); }

    [[noreturn]] void fail() const {
        throw ImagingError(ImagingError::Damaged, what_ + " ends too early");
    }

private:
    void need(std::size_t count) const {
        if (count > remaining())
            fail();
    }

    std::span<const std::uint8_t> bytes_;
    std::string what_;
    std::size_t pos_ = 0;
};

// For a decoder to call with the header's dimensions before it, or its library,
// allocates anything: an empty image is damaged, one beyond `limits` (or beyond int)
// too large. Bitmap::create checks again; this is for the allocations before it.
inline void checkDimensions(std::uint64_t width, std::uint64_t height, const Limits& limits) {
    if (width == 0 || height == 0)
        throw ImagingError(ImagingError::Damaged, "the image has no pixels (" +
                                                      std::to_string(width) + " x " +
                                                      std::to_string(height) + ")");
    constexpr std::uint64_t intMax = 0x7FFFFFFF;
    if (width > intMax || height > intMax || width > limits.maxPixels / height)
        throw ImagingError(ImagingError::TooLarge, "the image is too large (" +
                                                       std::to_string(width) + " x " +
                                                       std::to_string(height) + " pixels)");
}

// a * b for buffer sizes taken from a file, TooLarge instead of wrapping around.
inline std::size_t checkedMul(std::size_t a, std::size_t b) {
    std::size_t r;
    if (__builtin_mul_overflow(a, b, &r))
        throw ImagingError(ImagingError::TooLarge, "the image is too large for memory");
    return r;
}

// Resolution stored as pixels per metre (PNG, BMP) or per centimetre (TIFF, JPEG) is
// an integer rounding of the dots per inch the user chose, often not even the
// nearest one (144 dpi is written as 5669 or as 5670 pixels per metre). A value
// within one unit's worth of a whole dpi is taken to be that whole dpi.
inline double dpiFromPixelsPerMetre(double perMetre) {
    if (!(perMetre > 0) || !std::isfinite(perMetre))
        return 0;
    double dpi = perMetre * 0.0254;
    double whole = std::round(dpi);
    return std::abs(dpi - whole) < 0.0254 ? whole : dpi;
}
inline double dpiFromPixelsPerCentimetre(double perCm) {
    return dpiFromPixelsPerMetre(perCm * 100.0);
}

// What the ISO base media file type box ('ftyp') at the start of a file declares by its
// major and compatible brands: HEIF with HEVC (heic, heix, hevc, heim, heis, hevm, hevs
// and their sequence kin) gives Heif, AVIF (avif, avis) gives Avif, and a plain HEIF
// structure (mif1, msf1, mif2) takes the codec brand beside it, Heif when there is none.
// The major brand decides between the two when both appear. Anything else that is an
// ISO file (MP4, QuickTime, Canon's CR3) gives Unknown.
inline ImageFormat heifBrand(std::span<const std::uint8_t> b) {
    if (b.size() < 16 || b[4] != 'f' || b[5] != 't' || b[6] != 'y' || b[7] != 'p')
        return ImageFormat::Unknown;
    const std::uint32_t size = loadBe32(b.data());
    if (size != 0 && size < 16) // 0: the box runs to the end of the file
        return ImageFormat::Unknown;
    const std::size_t end = std::min<std::size_t>({size ? size : b.size(), b.size(), 4096});
    auto kind = [](const std::uint8_t* p) {
        static constexpr const char* hevc[] = {"heic", "heix", "hevc", "hevx",
                                               "heim", "heis", "hevm", "hevs"};
        for (const char* brand : hevc)
            if (std::equal(p, p + 4, brand))
                return ImageFormat::Heif;
        if (std::equal(p, p + 4, "avif") || std::equal(p, p + 4, "avis"))
            return ImageFormat::Avif;
        return ImageFormat::Unknown;
    };
    auto generic = [](const std::uint8_t* p) {
        return std::equal(p, p + 4, "mif1") || std::equal(p, p + 4, "msf1") ||
               std::equal(p, p + 4, "mif2");
    };
    if (ImageFormat major = kind(b.data() + 8); major != ImageFormat::Unknown)
        return major;
    bool heif = generic(b.data() + 8);
    ImageFormat found = ImageFormat::Unknown;
    for (std::size_t at = 16; at + 4 <= end; at += 4) { // after the minor version
        heif = heif || generic(b.data() + at);
        if (found == ImageFormat::Unknown)
            found = kind(b.data() + at);
    }
    if (found != ImageFormat::Unknown)
        return found;
    return heif ? ImageFormat::Heif : ImageFormat::Unknown;
}

// CMYK to RGB by the naive complement, the conversion other viewers use when the file
// has no profile to go by. `inverted` is Adobe's convention (255 = no ink), which
// files with an Adobe APP14 segment follow; otherwise 0 is no ink. `rgb` may be the
// same memory as `cmyk` (the output trails the input).
inline void cmykToRgb(const std::uint8_t* cmyk, std::uint8_t* rgb, std::size_t pixels,
                      bool inverted) {
    for (std::size_t i = 0; i < pixels; ++i, cmyk += 4, rgb += 3) {
        unsigned c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        rgb[0] = std::uint8_t((c * k + 127) / 255);
        rgb[1] = std::uint8_t((m * k + 127) / 255);
        rgb[2] = std::uint8_t((y * k + 127) / 255);
    }
}

// One entry of a TIFF-structured directory (TIFF files, EXIF blocks, camera raw).
struct TiffField {
    std::uint16_t tag;
    std::uint16_t type;
    std::uint32_t count;
    double value; // the first value; a RATIONAL as numerator / denominator (0 when / 0)
};

// The entries of the first directory of a classic (not Big) TIFF structure starting at
// `tiff[0]` with "II*\0" or "MM\0*". Empty when it is not one or is cut short: callers
// use it to learn a few tags, never to decode.
inline std::vector<TiffField> readFirstTiffDirectory(std::span<const std::uint8_t> tiff) {
    std::vector<TiffField> fields;
    if (tiff.size() < 8)
        return fields;
    const std::uint8_t* p = tiff.data();
    bool le;
    if (p[0] == 'I' && p[1] == 'I' && p[2] == 42 && p[3] == 0)
        le = true;
    else if (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && p[3] == 42)
        le = false;
    else
        return fields;
    auto u16 = [&](std::size_t o) { return le ? loadLe16(p + o) : loadBe16(p + o); };
    auto u32 = [&](std::size_t o) { return le ? loadLe32(p + o) : loadBe32(p + o); };
    std::size_t ifd = u32(4);
    if (ifd > tiff.size() - 2)
        return fields;
    std::size_t n = u16(ifd);
    if (n > (tiff.size() - ifd - 2) / 12)
        return fields;
    static constexpr unsigned typeSizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t e = ifd + 2 + 12 * i;
        TiffField f{u16(e), u16(e + 2), u32(e + 4), 0};
        unsigned size = f.type < 13 ? typeSizes[f.type] : 0;
        if (size == 0 || f.count == 0) {
            fields.push_back(f);
            continue;
        }
        std::size_t at = e + 8;
        if (std::uint64_t(size) * f.count > 4) {
            at = u32(e + 8);
            if (at > tiff.size() || tiff.size() - at < size) {
                fields.push_back(f);
                continue;
            }
        }
        switch (f.type) {
        case 1: // BYTE
        case 7: // UNDEFINED
            f.value = p[at];
            break;
        case 6: // SBYTE
            f.value = std::int8_t(p[at]);
            break;
        case 3: // SHORT
            f.value = u16(at);
            break;
        case 8: // SSHORT
            f.value = std::int16_t(u16(at));
            break;
        case 4: // LONG
            f.value = u32(at);
            break;
        case 9: // SLONG
            f.value = std::int32_t(u32(at));
            break;
        case 5: // RATIONAL
            f.value = u32(at + 4) ? double(u32(at)) / u32(at + 4) : 0;
            break;
        case 10: // SRATIONAL
            f.value = u32(at + 4) ? double(std::int32_t(u32(at))) / std::int32_t(u32(at + 4)) : 0;
            break;
        default: // ASCII, FLOAT, DOUBLE: not needed as numbers
            break;
        }
        fields.push_back(f);
    }
    return fields;
}

} // namespace folimo::imaging::support
