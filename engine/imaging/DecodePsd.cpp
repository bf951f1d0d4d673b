// Photoshop documents (PSD, and PSB with its wider lengths): only the flattened composite
// that ends the file, which is what other programs show; layers are never read.
#include "Codecs.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace folimo::imaging {
namespace {

using Bytes = std::span<const std::uint8_t>;

[[noreturn]] void damaged(const std::string& what) {
    throw ImagingError(ImagingError::Damaged, "the Photoshop file is damaged: " + what);
}

[[noreturn]] void unsupported(const std::string& what) {
    throw ImagingError(ImagingError::Unsupported,
                       "the Photoshop file uses " + what + ", which is not supported");
}

enum Mode {
    kBitmap = 0,
    kGrayscale = 1,
    kIndexed = 2,
    kRgb = 3,
    kCmyk = 4,
    kMultichannel = 7,
    kDuotone = 8,
    kLab = 9,
};

// A bounds-checked big-endian reader over the whole file.
class Reader {
public:
    explicit Reader(Bytes bytes) : bytes_(bytes) {}

    std::uint64_t pos() const { return pos_; }
    std::uint64_t remaining() const { return bytes_.size() - pos_; }
    void seek(std::uint64_t pos) {
        if (pos > bytes_.size())
            damaged("it ends early");
        pos_ = pos;
    }
    void skip(std::uint64_t n) {
        if (n > remaining())
            damaged("it ends early");
        pos_ += n;
    }
    const std::uint8_t* take(std::uint64_t n) {
        if (n > remaining())
            damaged("it ends early");
        const std::uint8_t* p = bytes_.data() + pos_;
        pos_ += n;
        return p;
    }
    std::uint64_t be(int n) {
        const std::uint8_t* p = take(std::uint64_t(n));
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v = v << 8 | p[i];
        return v;
    }

private:
    Bytes bytes_;
    std::uint64_t pos_ = 0;
};

double roundDpi(double dpi) {
    double whole = std::round(dpi);
    if (std::fabs(dpi - whole) <= 0.0254 + 1e-9)
        return whole;
    return std::round(dpi * 100) / 100;
}

struct Resources {
    double dpiX = 0;
    double dpiY = 0;
    std::string icc;
    int transparentIndex = -1;
};

// Image resources are metadata: one that does not parse ends the list rather than the
// whole file.
Resources readResources(Bytes section) {
    Resources r;
    std::uint64_t p = 0;
    auto be = [&](std::uint64_t at, int n) {
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v = v << 8 | section[at + i];
        return v;
    };
    while (section.size() - p >= 4 + 2 + 2 + 4) {
        const std::uint32_t id = std::uint32_t(be(p + 4, 2));
        const std::uint64_t nameLength = (1 + std::uint64_t(section[p + 6]) + 1) & ~1ull;
        std::uint64_t at = p + 6 + nameLength;
        if (at + 4 > section.size())
            break;
        const std::uint64_t size = be(at, 4);
        at += 4;
        if (size > section.size() - at)
            break;
        const std::uint8_t* data = section.data() + at;
        if (id == 0x03ED && size >= 16) {
            // Always stored in pixels per inch; the unit fields only say how to show it.
            const double h = double(be(at, 4)) / 65536.0;
            const double v = double(be(at + 8, 4)) / 65536.0;
            if (h > 0 && v > 0) {
                r.dpiX = roundDpi(h);
                r.dpiY = roundDpi(v);
            }
        } else if (id == 0x040F && size > 0) {
            r.icc.assign(reinterpret_cast<const char*>(data), std::size_t(size));
        } else if (id == 0x0417 && size >= 2) {
            r.transparentIndex = int(be(at, 2));
        }
        p = at + size + (size & 1);
        if (p > section.size())
            break;
    }
    return r;
}

// The number of layers, whose sign tells whether the first extra channel of the
// composite holds its transparency. 16- and 32-bit documents keep their layers in an
// "Lr16"/"Lr32" block after the global mask instead.
int layerCount(Bytes section, bool big) {
    const int lengthSize = big ? 8 : 4;
    auto be = [&](std::uint64_t at, int n) {
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v = v << 8 | section[at + i];
        return v;
    };
    if (section.size() < std::uint64_t(lengthSize))
        return 0;
    const std::uint64_t infoLength = be(0, lengthSize);
    if (infoLength >= 2 && section.size() - lengthSize >= 2)
        return std::int16_t(be(lengthSize, 2));
    if (infoLength > section.size() - lengthSize)
        return 0;
    std::uint64_t p = lengthSize + infoLength;
    if (section.size() - p < 4)
        return 0;
    const std::uint64_t maskLength = be(p, 4);
    if (maskLength > section.size() - p - 4)
        return 0;
    p += 4 + maskLength;
    while (section.size() - p >= 12) {
        const std::uint8_t* sig = section.data() + p;
        if (std::memcmp(sig, "8BIM", 4) != 0 && std::memcmp(sig, "8B64", 4) != 0)
            return 0;
        const std::uint8_t* key = sig + 4;
        const bool layers = std::memcmp(key, "Lr16", 4) == 0 || std::memcmp(key, "Lr32", 4) == 0 ||
                            std::memcmp(key, "Layr", 4) == 0;
        int size = 4;
        if (big) {
            static constexpr const char* kLongKeys[] = {"LMsk", "Lr16", "Lr32", "Layr", "Mt16",
                                                        "Mt32", "Mtrn", "Alph", "FMsk", "lnk2",
                                                        "FEid", "FXid", "PxSD"};
            for (const char* k : kLongKeys)
                if (std::memcmp(key, k, 4) == 0)
                    size = 8;
        }
        p += 8;
        if (section.size() - p < std::uint64_t(size))
            return 0;
        const std::uint64_t length = be(p, size);
        p += std::uint64_t(size);
        if (length > section.size() - p)
            return 0;
        if (layers)
            return length >= 2 ? std::int16_t(be(p, 2)) : 0;
        p += length + (length & 1);
        if (p > section.size())
            return 0;
    }
    return 0;
}

// PackBits: a row must decode to exactly its length; bytes beyond are dropped.
void unpackBits(const std::uint8_t* in, std::uint64_t inLength, std::uint8_t* out,
                std::size_t outLength) {
    std::uint64_t p = 0;
    std::size_t o = 0;
    while (o < outLength) {
        if (p >= inLength)
            damaged("a compressed row is too short");
        // The count byte is signed: 0 to 127 copy, -127 to -1 repeat, -128 does nothing.
        const int n = in[p] < 128 ? in[p] : in[p] - 256;
        ++p;
        if (n >= 0) {
            const std::size_t count = std::size_t(n) + 1;
            if (inLength - p < count)
                damaged("a compressed row is too short");
            const std::size_t copy = std::min(count, outLength - o);
            std::memcpy(out + o, in + p, copy);
            o += copy;
            p += count;
        } else if (n != -128) {
            if (p >= inLength)
                damaged("a compressed row is too short");
            const std::size_t count = std::min<std::size_t>(std::size_t(1 - n), outLength - o);
            std::memset(out + o, in[p++], count);
            o += count;
        }
    }
}

void checkLimits(std::uint32_t width, std::uint32_t height, PixelFormat format,
                 const Limits& limits) {
    const std::uint64_t w = width;
    const std::uint64_t h = height;
    if (w * h > limits.maxPixels ||
        (w * std::uint64_t(bitsPerPixel(format)) + 7) / 8 * h > limits.maxBytes)
        throw ImagingError(ImagingError::TooLarge, "the image is too large (" +
                                                       std::to_string(width) + " x " +
                                                       std::to_string(height) + " pixels)");
}

void store16(std::uint8_t* p, unsigned v) {
    const std::uint16_t s = std::uint16_t(v);
    std::memcpy(p, &s, 2);
}

// The header, colour data, resources and layer count: everything before the image
// data, read as the decoder reads it and left with `in` at the image data.
struct Document {
    bool big = false;
    unsigned channels = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    unsigned depth = 0;
    unsigned mode = 0;
    unsigned colorChannels = 1;
    std::uint64_t colorDataLength = 0;
    const std::uint8_t* colorData = nullptr;
    Resources res;
    bool alpha = false;
    PixelFormat format = PixelFormat::Gray8;
};

Document readDocument(Reader& in, Bytes bytes, const Limits& limits) {
    Document d;
    if (bytes.size() < 26 || std::memcmp(bytes.data(), "8BPS", 4) != 0)
        damaged("it does not start like a Photoshop document");
    in.skip(4);
    const unsigned version = unsigned(in.be(2));
    if (version != 1 && version != 2)
        unsupported("format version " + std::to_string(version));
    d.big = version == 2;
    in.skip(6);
    d.channels = unsigned(in.be(2));
    d.height = std::uint32_t(in.be(4));
    d.width = std::uint32_t(in.be(4));
    d.depth = unsigned(in.be(2));
    d.mode = unsigned(in.be(2));
    const unsigned channels = d.channels, depth = d.depth, mode = d.mode;
    const std::uint32_t width = d.width, height = d.height;
    const std::uint32_t maxSide = d.big ? 300000 : 30000;
    if (channels < 1 || channels > 56)
        damaged("it claims " + std::to_string(channels) + " channels");
    if (width == 0 || height == 0 || width > maxSide || height > maxSide)
        damaged("it gives a size of " + std::to_string(width) + " x " + std::to_string(height) +
                " pixels");

    unsigned& colorChannels = d.colorChannels;
    switch (mode) {
    case kBitmap:
        if (depth != 1)
            damaged("a bitmap-mode document must have 1 bit per pixel");
        break;
    case kGrayscale:
    case kMultichannel:
    case kDuotone:
        break;
    case kIndexed:
        if (depth != 8)
            damaged("an indexed document must have 8 bits per pixel");
        break;
    case kRgb:
        colorChannels = 3;
        break;
    case kCmyk:
        colorChannels = 4;
        break;
    case kLab:
        unsupported("the Lab colour mode");
    default:
        unsupported("colour mode " + std::to_string(mode));
    }
    if (depth == 32)
        unsupported("32-bit floating-point samples");
    if (depth != 8 && depth != 16 && !(depth == 1 && mode == kBitmap))
        damaged("it claims " + std::to_string(depth) + " bits per sample");
    if (channels < colorChannels)
        damaged("it has fewer channels than its colour mode needs");

    d.colorDataLength = in.be(4);
    d.colorData = in.take(d.colorDataLength);
    const std::uint64_t resourcesLength = in.be(4);
    d.res = readResources({in.take(resourcesLength), std::size_t(resourcesLength)});
    const std::uint64_t layersLength = in.be(d.big ? 8 : 4);
    const int layers = layerCount({in.take(layersLength), std::size_t(layersLength)}, d.big);

    // A negative layer count says the first extra channel is the composite's
    // transparency; otherwise extra channels are saved selections or spot colours.
    d.alpha = layers < 0 && channels > colorChannels &&
              (mode == kGrayscale || mode == kRgb || mode == kCmyk);
    const bool wide = depth == 16;
    if (mode == kBitmap)
        d.format = PixelFormat::Indexed1;
    else if (mode == kIndexed)
        d.format = PixelFormat::Indexed8;
    else if (d.alpha)
        d.format = wide ? PixelFormat::Rgba64 : PixelFormat::Rgba32;
    else if (mode == kRgb || mode == kCmyk)
        d.format = wide ? PixelFormat::Rgb48 : PixelFormat::Rgb24;
    else
        d.format = wide ? PixelFormat::Gray16 : PixelFormat::Gray8;
    checkLimits(width, height, d.format, limits);
    if (mode == kIndexed && d.colorDataLength < 768)
        damaged("its colour table is missing");
    return d;
}

// The colour table of an indexed document, its transparent entry cleared.
std::vector<std::uint32_t> indexedPalette(const Document& d) {
    if (d.colorDataLength < 768)
        damaged("its colour table is missing");
    const std::uint8_t* table = d.colorData;
    std::vector<std::uint32_t> palette(256);
    for (std::size_t i = 0; i < 256; ++i)
        palette[i] = 0xFF000000u | std::uint32_t(table[i]) << 16 |
                     std::uint32_t(table[256 + i]) << 8 | table[512 + i];
    if (d.res.transparentIndex >= 0 && d.res.transparentIndex < 256)
        palette[std::size_t(d.res.transparentIndex)] &= 0x00FFFFFF;
    return palette;
}

// Where every row of every channel the composite uses starts, and how long it is in
// the file: channel by channel, each channel's rows top to bottom.
struct RowIndex {
    unsigned compression = 0;
    std::size_t rowBytes = 0; // one unpacked row of one channel
    unsigned used = 0;        // the channels read: colour, and transparency if any
    std::vector<std::uint64_t> offset;
    std::vector<std::uint64_t> length;
};

RowIndex locateRows(Reader& in, const Document& d) {
    RowIndex rows;
    rows.compression = unsigned(in.be(2));
    if (rows.compression == 2 || rows.compression == 3)
        unsupported("ZIP compression");
    if (rows.compression > 1)
        damaged("it names compression method " + std::to_string(rows.compression));
    const std::uint64_t rowBytes = (std::uint64_t(d.width) * d.depth + 7) / 8;
    rows.rowBytes = std::size_t(rowBytes);
    rows.used = d.colorChannels + (d.alpha ? 1 : 0);
    const std::uint64_t rowCount = std::uint64_t(rows.used) * d.height;
    rows.offset.resize(rowCount);
    rows.length.resize(rowCount);
    if (rows.compression == 0) {
        const std::uint64_t start = in.pos();
        if (in.remaining() / rowBytes < rowCount)
            damaged("it ends inside the image data");
        for (std::uint64_t i = 0; i < rowCount; ++i) {
            rows.offset[i] = start + i * rowBytes;
            rows.length[i] = rowBytes;
        }
        return rows;
    }
    const int countSize = d.big ? 4 : 2;
    const std::uint64_t allRows = std::uint64_t(d.channels) * d.height;
    const std::uint8_t* counts = in.take(allRows * std::uint64_t(countSize));
    std::uint64_t at = in.pos();
    for (std::uint64_t i = 0; i < rowCount; ++i) {
        std::uint64_t n = 0;
        for (int k = 0; k < countSize; ++k)
            n = n << 8 | counts[i * std::uint64_t(countSize) + std::uint64_t(k)];
        rows.offset[i] = at;
        rows.length[i] = n;
        at += n;
    }
    in.seek(at); // every row we need lies inside the file
    return rows;
}

// One output row of a grey, RGB or CMYK composite from its channels' unpacked rows,
// which lie one after the other in `channelRows`, each `rowSize` bytes.
void convertRow(const Document& d, const std::uint8_t* channelRows, std::size_t rowSize,
                std::uint8_t* dst) {
    const bool wide = d.depth == 16;
    const std::size_t sampleBytes = wide ? 2 : 1;
    const std::size_t outChannels = std::size_t(bitsPerPixel(d.format)) / 8 / sampleBytes;
    const unsigned maxSample = wide ? 65535 : 255;
    auto sample = [&](unsigned c, std::size_t x) -> unsigned {
        const std::uint8_t* r = channelRows + c * rowSize;
        return wide ? unsigned(r[2 * x] << 8 | r[2 * x + 1]) : r[x];
    };
    auto put = [&](std::size_t x, std::size_t k, unsigned v) {
        if (wide)
            store16(dst + (x * outChannels + k) * 2, v);
        else
            dst[x * outChannels + k] = std::uint8_t(v);
    };
    for (std::size_t x = 0; x < d.width; ++x) {
        const unsigned a = d.alpha ? sample(d.colorChannels, x) : maxSample;
        // Photoshop stores a transparent composite already flattened onto white (in
        // every mode: the maximum sample is white, or no ink), with the transparency
        // beside it; the white is taken back out, as other readers of these files
        // do, so that soft edges keep their colour. Where a pixel is fully
        // transparent nothing can be recovered and the sample stays.
        auto colour = [&](unsigned k) -> std::uint64_t {
            const unsigned v = sample(k, x);
            if (a == 0 || a == maxSample)
                return v;
            const std::uint64_t taken = (std::uint64_t(maxSample - v) * maxSample + a / 2) / a;
            return taken >= maxSample ? 0 : maxSample - taken;
        };
        if (d.mode == kCmyk) {
            // Stored inverted (maximum = no ink), so each colour is its sample times
            // the black sample.
            const std::uint64_t black = colour(3);
            for (unsigned k = 0; k < 3; ++k)
                put(x, k, unsigned((colour(k) * black + maxSample / 2) / maxSample));
        } else if (d.mode == kRgb) {
            for (unsigned k = 0; k < 3; ++k)
                put(x, k, unsigned(colour(k)));
        } else {
            const auto grey = unsigned(colour(0));
            put(x, 0, grey);
            if (d.alpha) {
                put(x, 1, grey);
                put(x, 2, grey);
            }
        }
        if (d.alpha)
            put(x, 3, a);
    }
}

} // namespace

std::optional<PictureInfo> probePsd(std::span<const std::uint8_t> bytes, const Limits& limits) {
    Reader in(bytes);
    const Document d = readDocument(in, bytes, limits);
    return PictureInfo{int(d.width), int(d.height), d.res.dpiX, d.res.dpiY};
}

Bitmap decodePsd(std::span<const std::uint8_t> bytes, const Limits& limits) {
    Reader in(bytes);
    const Document d = readDocument(in, bytes, limits);
    std::vector<std::uint32_t> palette;
    if (d.mode == kIndexed)
        palette = indexedPalette(d);
    const RowIndex index = locateRows(in, d);

    Bitmap out = Bitmap::create(int(d.width), int(d.height), d.format, limits);
    out.palette = std::move(palette);
    if (d.mode == kBitmap)
        out.palette = {0xFFFFFFFF, 0xFF000000};
    out.dpiX = d.res.dpiX;
    out.dpiY = d.res.dpiY;
    // A CMYK profile does not describe the RGB we make of it.
    if (d.mode != kCmyk && d.mode != kBitmap)
        out.iccProfile = d.res.icc;

    const std::size_t rowSize = index.rowBytes;
    std::vector<std::uint8_t> rows(rowSize * index.used);
    for (std::uint32_t y = 0; y < d.height; ++y) {
        for (unsigned c = 0; c < index.used; ++c) {
            const std::uint64_t i = std::uint64_t(c) * d.height + y;
            std::uint8_t* r = rows.data() + c * rowSize;
            if (index.compression == 0)
                std::memcpy(r, bytes.data() + index.offset[i], rowSize);
            else
                unpackBits(bytes.data() + index.offset[i], index.length[i], r, rowSize);
        }
        std::uint8_t* dst = out.row(int(y));
        if (d.mode == kBitmap || d.mode == kIndexed) {
            std::memcpy(dst, rows.data(), rowSize);
            if (d.mode == kBitmap && d.width % 8)
                dst[rowSize - 1] &= std::uint8_t(0xFF << (8 - d.width % 8));
            continue;
        }
        convertRow(d, rows.data(), rowSize, dst);
    }
    return out;
}

} // namespace folimo::imaging
