// Images the PDF cannot take as they stand (GIF, TIFF, BMP) arrive decoded; their
// samples are written as Flate data in the bitmap's own depth and colour model.
#include "Deflate.h"
#include "ImagePlan.h"

#include "imaging/Bitmap.h"
#include "imaging/Codecs.h"
#include "imaging/Quantize.h"

#include <cstring>

namespace folimo::pdf {

namespace {

using imaging::Bitmap;
using imaging::PixelFormat;

void packBigEndian16(const std::uint8_t* row, std::size_t samples, std::string& out) {
    const auto* s = reinterpret_cast<const std::uint16_t*>(row);
    for (std::size_t i = 0; i < samples; ++i) {
        std::uint16_t v;
        std::memcpy(&v, s + i, 2);
        out += static_cast<char>(v >> 8);
        out += static_cast<char>(v & 0xFF);
    }
}

ImageStreamPlan flateStream(int width, int height, int bits, std::string device,
                            const std::string& samples) {
    ImageStreamPlan p;
    p.width = width;
    p.height = height;
    p.bitsPerComponent = bits;
    p.colorSpace.device = std::move(device);
    p.filter = "/FlateDecode";
    p.owned = deflateBytes(samples);
    // Bytes on the heap stay where they are when the plan moves; a short string's
    // would move with it and leave the view behind.
    p.owned.reserve(64);
    p.data = {std::string_view(p.owned)};
    return p;
}

} // namespace

ImagePlan planBitmap(const Bitmap& b) {
    ImagePlan plan;
    plan.format = "bitmap";
    plan.resx = b.dpiX;
    plan.resy = b.dpiY;
    const auto w = static_cast<std::size_t>(b.width);
    std::string colour, alpha;
    bool translucent = false;
    int bits = 8;
    std::string device = "/DeviceRGB";
    std::string palette;

    switch (b.format) {
    case PixelFormat::Indexed1:
    case PixelFormat::Indexed4:
    case PixelFormat::Indexed8: {
        bits = imaging::bitsPerPixel(b.format);
        std::size_t rowBytes = (w * static_cast<std::size_t>(bits) + 7) / 8;
        for (int y = 0; y < b.height; ++y)
            colour.append(reinterpret_cast<const char*>(b.row(y)), rowBytes);
        for (std::uint32_t entry : b.palette) {
            palette += static_cast<char>((entry >> 16) & 0xFF);
            palette += static_cast<char>((entry >> 8) & 0xFF);
            palette += static_cast<char>(entry & 0xFF);
            translucent = translucent || (entry >> 24) != 0xFF;
        }
        if (palette.empty())
            palette.assign(3, '\0');
        if (translucent) {
            alpha.reserve(w * static_cast<std::size_t>(b.height));
            for (int y = 0; y < b.height; ++y) {
                const std::uint8_t* row = b.row(y);
                for (std::size_t x = 0; x < w; ++x) {
                    std::size_t index;
                    if (bits == 8)
                        index = row[x];
                    else if (bits == 4)
                        index = (row[x / 2] >> (x % 2 ? 0 : 4)) & 0x0F;
                    else
                        index = (row[x / 8] >> (7 - x % 8)) & 1;
                    std::uint32_t entry = index < b.palette.size() ? b.palette[index] : 0xFF000000;
                    alpha += static_cast<char>(entry >> 24);
                }
            }
        }
        break;
    }
    case PixelFormat::Gray8:
    case PixelFormat::Rgb24:
        device = b.format == PixelFormat::Gray8 ? "/DeviceGray" : "/DeviceRGB";
        for (int y = 0; y < b.height; ++y)
            colour.append(reinterpret_cast<const char*>(b.row(y)),
                          w * (b.format == PixelFormat::Gray8 ? 1 : 3));
        break;
    case PixelFormat::Rgba32:
        colour.reserve(w * 3 * static_cast<std::size_t>(b.height));
        alpha.reserve(w * static_cast<std::size_t>(b.height));
        for (int y = 0; y < b.height; ++y) {
            const std::uint8_t* p = b.row(y);
            for (std::size_t x = 0; x < w; ++x, p += 4) {
                colour.append(reinterpret_cast<const char*>(p), 3);
                alpha += static_cast<char>(p[3]);
                translucent = translucent || p[3] != 0xFF;
            }
        }
        break;
    case PixelFormat::Gray16:
    case PixelFormat::Rgb48:
    case PixelFormat::Rgba64: {
        bits = 16;
        int channels = b.format == PixelFormat::Gray16 ? 1 : 3;
        device = channels == 1 ? "/DeviceGray" : "/DeviceRGB";
        for (int y = 0; y < b.height; ++y) {
            const std::uint8_t* row = b.row(y);
            if (b.format != PixelFormat::Rgba64) {
                packBigEndian16(row, w * static_cast<std::size_t>(channels), colour);
                continue;
            }
            for (std::size_t x = 0; x < w; ++x) {
                packBigEndian16(row + x * 8, 3, colour);
                std::uint16_t a;
                std::memcpy(&a, row + x * 8 + 6, 2);
                // Masks of 8 bits are what viewers draw best.
                alpha += static_cast<char>((a + 128) / 257);
                translucent = translucent || a != 0xFFFF;
            }
        }
        break;
    }
    }

    plan.image = flateStream(b.width, b.height, bits, device, colour);
    plan.image.colorSpace.palette = std::move(palette);
    // An embedded profile describes colour samples, not palette indexes.
    if (!imaging::isIndexed(b.format) &&
        imaging::detail::iccProfileFits(b.iccProfile, device == "/DeviceGray" ? "GRAY" : "RGB "))
        plan.image.colorSpace.icc = b.iccProfile;
    if (translucent)
        plan.softMask = flateStream(b.width, b.height, 8, "/DeviceGray", alpha);
    return plan;
}

ImagePlan planDecoded(std::span<const std::uint8_t> bytes, imaging::ImageFormat format, int page) {
    if (const auto info = imaging::probe(bytes, format, {}, page)) {
        // An indexed picture with a translucent palette adds a mask and its stream.
        const std::uint64_t masks =
            info->bitsPerPixel <= 8 ? 2 * std::uint64_t(info->width) * std::uint64_t(info->height)
                                    : 0;
        const std::uint64_t peak = bytes.size() + 3 * imaging::pictureBytes(*info) + masks;
        if (peak > imaging::Limits{}.maxBytes)
            imaging::refuseMemory(info->width, info->height, peak);
    }
    return planBitmap(imaging::decode(bytes, format, {}, page));
}

} // namespace folimo::pdf
