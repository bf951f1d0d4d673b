#include "ImagePlan.h"

#include "imaging/Codecs.h"
#include "imaging/Quantize.h"

#include "Deflate.h"

#include <cstring>
#include <optional>

namespace folimo::pdf {

namespace {

using Bytes = std::span<const std::uint8_t>;
using imaging::PngLayout;

enum ColorType { kGray = 0, kRgb = 2, kPalette = 3, kGrayAlpha = 4, kRgbAlpha = 6 };

[[noreturn]] void truncated() {
    throw ImageError("the PNG file is truncated");
}

[[noreturn]] void damaged(const std::string& why) {
    throw ImageError("the PNG file is damaged (" + why + ")");
}

std::uint32_t be16(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 8 | p[1];
}

int channelsOf(int colorType) {
    switch (colorType) {
    case kRgb:
        return 3;
    case kGrayAlpha:
        return 2;
    case kRgbAlpha:
        return 4;
    default:
        return 1;
    }
}

// Cheap checks on the compressed data, which is not inflated here: data that does not
// start like zlib data, or too little of it to hold the image even at deflate's best
// ratio (1032:1), would only fail in the viewer. The second check also stops a small
// damaged file from making the decoder allocate for a huge image.
void checkImageData(const PngLayout& layout) {
    std::uint8_t head[2];
    std::size_t have = 0;
    std::uint64_t total = 0;
    for (std::string_view part : layout.imageData) {
        total += part.size();
        for (std::size_t i = 0; i < part.size() && have < 2; ++i)
            head[have++] = std::uint8_t(part[i]);
    }
    if (have < 2)
        damaged("no image data");
    if ((head[0] & 0x0F) != 8 || (head[0] >> 4) > 7 || (head[0] * 256 + head[1]) % 31 != 0 ||
        (head[1] & 0x20))
        damaged("bad image data");
    const std::uint64_t rowBits =
        std::uint64_t(layout.width) * channelsOf(layout.colorType) * layout.bitDepth;
    std::uint64_t samples = 0;
    if (__builtin_mul_overflow((rowBits + 7) / 8, std::uint64_t(layout.height), &samples) ||
        samples / 1032 > total + 64)
        truncated();
}

// The plan's views must survive moves of the plan, which a short string kept in the
// object itself would not.
void setOwned(ImageStreamPlan& stream, std::string encoded) {
    stream.owned = std::move(encoded);
    if (stream.owned.capacity() < 32)
        stream.owned.reserve(32);
    stream.data.assign(1, stream.owned);
}

// Samples gathered row by row and deflated: in one call when the picture fits the
// memory budget, which is fastest, or as they come when it does not, so that a
// picture far larger decoded than in its file is never whole in memory.
class Samples {
public:
    Samples(bool streaming, std::size_t expected) {
        if (streaming)
            stream_.emplace();
        else
            whole_.reserve(expected);
    }
    void append(const std::uint8_t* p, std::size_t n) {
        if (stream_)
            stream_->write(std::string_view(reinterpret_cast<const char*>(p), n));
        else
            whole_.append(reinterpret_cast<const char*>(p), n);
    }
    std::string deflated() { return stream_ ? stream_->finish() : deflateBytes(whole_); }

private:
    std::optional<DeflateStream> stream_;
    std::string whole_;
};

std::string range(unsigned low, unsigned high) {
    return std::to_string(low) + " " + std::to_string(high);
}

// The file's layout, with what would only fail in a viewer refused here.
PngLayout readLayout(Bytes bytes) {
    PngLayout layout;
    try {
        layout = imaging::readPngLayout(bytes);
    } catch (const imaging::ImagingError& e) {
        throw ImageError(e.what());
    }
    checkImageData(layout);
    if (layout.colorType == kPalette && layout.palette.empty())
        throw ImageError("the PNG file has no palette for its colours");
    return layout;
}

// How the file's transparency reaches the PDF beside a colour-key mask: by expanding
// the palette to RGB with alpha, or by turning a colour key into alpha.
struct Transparency {
    bool expandPalette = false;
    bool keyToAlpha = false;
};

// A colour-key mask on an indexed image holds a single range of indices; any other set
// of transparent entries, or partial alpha, needs a soft mask.
void planPalette(const PngLayout& layout, ImageStreamPlan& image, Transparency& how) {
    // Indices past 2^depth cannot occur, so neither can their entries.
    const std::size_t entries =
        std::min<std::size_t>(layout.palette.size() / 3, 1u << layout.bitDepth);
    image.colorSpace.palette.assign(reinterpret_cast<const char*>(layout.palette.data()),
                                    entries * 3);
    if (!layout.transparency || layout.transparency->size() > entries)
        return;
    const Bytes alphas = *layout.transparency;
    int first = -1, last = -1;
    bool contiguous = true;
    for (std::size_t i = 0; i < alphas.size(); ++i) {
        if (alphas[i] == 0) {
            if (first < 0)
                first = int(i);
            else if (last != int(i) - 1)
                contiguous = false;
            last = int(i);
        } else if (alphas[i] != 255) {
            contiguous = false;
        }
    }
    if (!contiguous)
        how.expandPalette = true;
    else if (first >= 0)
        image.colorKeyMask = "[" + range(first, last) + "]";
}

Transparency planTransparency(const PngLayout& layout, ImageStreamPlan& image) {
    Transparency how;
    const unsigned maxSample = (1u << layout.bitDepth) - 1;
    const std::optional<Bytes>& key = layout.transparency;
    if (layout.colorType == kPalette) {
        planPalette(layout, image, how);
    } else if (layout.colorType == kGray && key && key->size() == 2) {
        const unsigned v = be16(key->data());
        if (v <= maxSample)
            image.colorKeyMask = "[" + range(v, v) + "]";
    } else if (layout.colorType == kRgb && key && key->size() == 6) {
        const unsigned r = be16(key->data()), g = be16(key->data() + 2), b = be16(key->data() + 4);
        if (r <= maxSample && g <= maxSample && b <= maxSample)
            image.colorKeyMask = "[" + range(r, r) + " " + range(g, g) + " " + range(b, b) + "]";
    }
    // Poppler compares colour keys with samples cut down to 8 bits, so a 16-bit key
    // never matches there; a soft mask shows the same everywhere.
    if (layout.bitDepth == 16 && !image.colorKeyMask.empty()) {
        image.colorKeyMask.clear();
        how.keyToAlpha = true;
    }
    return how;
}

// PDF does not allow an ICC profile under an indexed colour space's base, nor one of
// another colour space than the samples'.
void planProfile(const PngLayout& layout, bool gray, ImageStreamPlan& image) {
    if (layout.colorType == kPalette || !layout.iccChunk)
        return;
    std::string icc = imaging::inflatePngProfile(*layout.iccChunk);
    if (imaging::detail::iccProfileFits(icc, gray ? "GRAY" : "RGB "))
        image.colorSpace.icc = std::move(icc);
}

// Checked before the data passes through too: every viewer would have to decode it.
void checkPixelCount(const PngLayout& layout) {
    if (std::uint64_t(layout.width) * std::uint64_t(layout.height) > kMaxImagePixels)
        throw ImageError("the PNG image is too large to decode (" + std::to_string(layout.width) +
                         " x " + std::to_string(layout.height) + " pixels)");
}

void passThrough(const PngLayout& layout, ImageStreamPlan& image) {
    image.decodeParms = "<< /Predictor 15 /Colors " + std::to_string(channelsOf(layout.colorType)) +
                        " /BitsPerComponent " + std::to_string(layout.bitDepth) + " /Columns " +
                        std::to_string(layout.width) + " >>";
    image.data = layout.imageData;
    image.passthrough = true;
}

// The samples decoded and deflated anew, alpha split off into a soft mask when any
// pixel is less than opaque.
void decodeAndDeflate(Bytes bytes, const PngLayout& layout, Transparency how, ImagePlan& plan) {
    const std::uint64_t width = std::uint64_t(layout.width), height = std::uint64_t(layout.height);
    const bool toAlpha = how.expandPalette || how.keyToAlpha;
    const bool split = layout.colorType == kGrayAlpha || layout.colorType == kRgbAlpha || toAlpha;
    const int channels =
        how.expandPalette ? 4 : channelsOf(layout.colorType) + (how.keyToAlpha ? 1 : 0);
    const int depth = how.expandPalette ? 8 : layout.bitDepth;
    // Samples below 8 bits come only without alpha, packed as the file has them.
    const std::uint64_t rowBytes = (width * channels * depth + 7) / 8;
    const std::size_t colorRowBytes = split ? width * (depth / 8) * (channels - 1) : rowBytes;
    const std::uint64_t decodedBytes = rowBytes * height;
    const std::uint64_t budget = imaging::Limits{}.maxBytes;
    // An interlaced image is decoded whole first, so its samples are compressed as they
    // are split off rather than copied whole a second time.
    const bool streaming = decodedBytes > budget || layout.interlaced;
    if (decodedBytes > budget && layout.interlaced)
        throw ImageError("the interlaced PNG image of " + std::to_string(width) + " x " +
                         std::to_string(height) + " pixels needs " +
                         imaging::byteCount(decodedBytes) + " of memory, more than the " +
                         imaging::byteCount(budget) + " allowed for one image");

    Samples color(streaming, colorRowBytes * height);
    Samples alpha(streaming, split ? width * height : 0);
    bool translucent = false;
    try {
        translucent = imaging::decodePngStoredRows(
            bytes, {toAlpha, channels, depth}, [&](const std::uint8_t* row, const std::uint8_t* a) {
                if (a)
                    alpha.append(a, width);
                color.append(row, colorRowBytes);
            });
    } catch (const imaging::ImagingError& e) {
        throw ImageError(e.what());
    }
    ImageStreamPlan& image = plan.image;
    setOwned(image, color.deflated());
    if (how.expandPalette) {
        image.colorSpace.palette.clear();
        image.bitsPerComponent = 8;
    }
    if (translucent) {
        ImageStreamPlan& mask = plan.softMask.emplace();
        mask.width = image.width;
        mask.height = image.height;
        mask.bitsPerComponent = 8;
        mask.colorSpace.device = "/DeviceGray";
        mask.filter = "/FlateDecode";
        setOwned(mask, alpha.deflated());
    }
}

} // namespace

ImagePlan planPng(Bytes bytes) {
    PngLayout layout = readLayout(bytes);
    ImagePlan plan;
    plan.format = "png";
    ImageStreamPlan& image = plan.image;
    image.width = layout.width;
    image.height = layout.height;
    image.bitsPerComponent = layout.bitDepth;
    image.filter = "/FlateDecode";
    const bool gray = layout.colorType == kGray || layout.colorType == kGrayAlpha;
    image.colorSpace.device = gray ? "/DeviceGray" : "/DeviceRGB";
    const Transparency how = planTransparency(layout, image);
    // The imaging service's reading, so both paths agree on a page's size.
    plan.resx = layout.dpiX;
    plan.resy = layout.dpiY;
    planProfile(layout, gray, image);
    checkPixelCount(layout);

    const bool hasAlpha = layout.colorType == kGrayAlpha || layout.colorType == kRgbAlpha;
    if (!layout.interlaced && !hasAlpha && !how.expandPalette && !how.keyToAlpha)
        passThrough(layout, image);
    else
        decodeAndDeflate(bytes, layout, how, plan);
    return plan;
}

} // namespace folimo::pdf
