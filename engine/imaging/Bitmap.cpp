#include "Bitmap.h"

#include "base/ByteCount.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace folimo::imaging {

std::uint64_t decodedImageBudget() {
    static const std::uint64_t budget = [] {
        constexpr std::uint64_t kDefault = 1ull << 30;
        const char* text = std::getenv("FOLIMO_MAX_MEMORY");
        if (!text || !*text)
            return kDefault;
        char* end = nullptr;
        const double number = std::strtod(text, &end);
        double scale = 1;
        switch (*end) {
        case 'k':
        case 'K':
            scale = 1 << 10;
            break;
        case 'm':
        case 'M':
            scale = 1 << 20;
            break;
        case 'g':
        case 'G':
            scale = 1 << 30;
            break;
        default:
            break;
        }
        const double bytes = number * scale;
        return bytes >= 1 && bytes < 1e18 ? static_cast<std::uint64_t>(bytes) : kDefault;
    }();
    return budget;
}

std::string byteCount(std::uint64_t bytes) {
    return base::byteCount(bytes);
}

void refuseMemory(int width, int height, std::uint64_t bytes, const Limits& limits) {
    throw ImagingError(ImagingError::TooLarge,
                       "the image of " + std::to_string(width) + " x " + std::to_string(height) +
                           " pixels needs " + byteCount(bytes) + " of memory, more than the " +
                           byteCount(limits.maxBytes) + " allowed for one image");
}

int bitsPerPixel(PixelFormat format) {
    switch (format) {
    case PixelFormat::Indexed1:
        return 1;
    case PixelFormat::Indexed4:
        return 4;
    case PixelFormat::Indexed8:
    case PixelFormat::Gray8:
        return 8;
    case PixelFormat::Rgb24:
        return 24;
    case PixelFormat::Rgba32:
        return 32;
    case PixelFormat::Gray16:
        return 16;
    case PixelFormat::Rgb48:
        return 48;
    case PixelFormat::Rgba64:
        return 64;
    }
    return 0;
}

bool hasAlpha(PixelFormat format) {
    return format == PixelFormat::Rgba32 || format == PixelFormat::Rgba64;
}

bool isIndexed(PixelFormat format) {
    return format == PixelFormat::Indexed1 || format == PixelFormat::Indexed4 ||
           format == PixelFormat::Indexed8;
}

void Bitmap::checkSize(int width, int height, PixelFormat format, const Limits& limits) {
    if (width <= 0 || height <= 0)
        throw ImagingError(ImagingError::Damaged, "the image has no pixels (" +
                                                      std::to_string(width) + " x " +
                                                      std::to_string(height) + ")");
    auto w = static_cast<std::uint64_t>(width);
    auto h = static_cast<std::uint64_t>(height);
    if (w * h > limits.maxPixels)
        throw ImagingError(ImagingError::TooLarge, "the image is too large (" +
                                                       std::to_string(width) + " x " +
                                                       std::to_string(height) + " pixels)");
    std::uint64_t stride = (w * static_cast<std::uint64_t>(bitsPerPixel(format)) + 7) / 8;
    if (stride * h > limits.maxBytes)
        refuseMemory(width, height, stride * h, limits);
}

Bitmap Bitmap::create(int width, int height, PixelFormat format, const Limits& limits) {
    checkSize(width, height, format, limits);
    const std::uint64_t stride =
        (static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(bitsPerPixel(format)) + 7) /
        8;
    const auto h = static_cast<std::uint64_t>(height);
    Bitmap b;
    b.width = width;
    b.height = height;
    b.format = format;
    b.stride = static_cast<std::size_t>(stride);
    b.pixels.assign(static_cast<std::size_t>(stride * h), 0);
    return b;
}

} // namespace folimo::imaging
