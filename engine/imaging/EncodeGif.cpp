#include "Codecs.h"
#include "Quantize.h"

#include <gif_lib.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <new>

namespace folimo::imaging {

namespace {

using detail::load16;
using detail::to8;

struct GifCloser {
    void operator()(GifFileType* gif) const noexcept {
        int error = 0;
        EGifCloseFile(gif, &error);
    }
};

struct ColorMapFreer {
    void operator()(ColorMapObject* map) const noexcept { GifFreeMapObject(map); }
};

int appendToString(GifFileType* gif, const GifByteType* data, int length) noexcept {
    try {
        static_cast<std::string*>(gif->UserData)
            ->append(reinterpret_cast<const char*>(data), std::size_t(length));
        return length;
    } catch (...) {
        return 0; // giflib reports a write error
    }
}

[[noreturn]] void gifFailed(int code) {
    if (code == E_GIF_ERR_NOT_ENOUGH_MEM)
        throw std::bad_alloc();
    const char* why = GifErrorString(code);
    throw ImagingError(ImagingError::Io, std::string("the GIF file could not be written (") +
                                             (why ? why : "unknown error") + ")");
}

struct GifPicture {
    std::vector<std::uint32_t> palette; // 0x..RRGGBB, at most 256
    int transparent = -1;
    std::function<void(int y, std::uint8_t* indices)> row;
};

std::string writeGif(const Bitmap& bitmap, const GifPicture& picture) {
    std::string out;
    int error = 0;
    std::unique_ptr<GifFileType, GifCloser> gif(EGifOpen(&out, appendToString, &error));
    if (!gif)
        gifFailed(error);
    EGifSetGifVersion(gif.get(), true);

    int bits = 1;
    while ((std::size_t(1) << bits) < picture.palette.size())
        ++bits;
    std::vector<GifColorType> colours(std::size_t(1) << bits, GifColorType{0, 0, 0});
    for (std::size_t i = 0; i < picture.palette.size(); ++i) {
        const std::uint32_t c = picture.palette[i];
        colours[i] = {GifByteType(c >> 16), GifByteType(c >> 8), GifByteType(c)};
    }
    std::unique_ptr<ColorMapObject, ColorMapFreer> map(
        GifMakeMapObject(int(colours.size()), colours.data()));
    if (!map)
        throw std::bad_alloc();
    // The pixel-shape byte stays 0: GIF has no field for the resolution.
    if (EGifPutScreenDesc(gif.get(), bitmap.width, bitmap.height, 8, 0, map.get()) == GIF_ERROR)
        gifFailed(gif->Error);
    if (picture.transparent >= 0) {
        GraphicsControlBlock control{}; // no disposal, no delay
        control.UserInputFlag = false;
        control.DelayTime = 0;
        control.TransparentColor = picture.transparent;
        GifByteType extension[4];
        const std::size_t length = EGifGCBToExtension(&control, extension);
        if (EGifPutExtension(gif.get(), GRAPHICS_EXT_FUNC_CODE, int(length), extension) ==
            GIF_ERROR)
            gifFailed(gif->Error);
    }
    if (EGifPutImageDesc(gif.get(), 0, 0, bitmap.width, bitmap.height, false, nullptr) == GIF_ERROR)
        gifFailed(gif->Error);
    // EGifPutLine masks the indices in place, so every row goes through this buffer.
    std::vector<GifPixelType> line(std::size_t(bitmap.width));
    for (int y = 0; y < bitmap.height; ++y) {
        picture.row(y, line.data());
        if (EGifPutLine(gif.get(), line.data(), bitmap.width) == GIF_ERROR)
            gifFailed(gif->Error);
    }
    if (EGifCloseFile(gif.release(), &error) == GIF_ERROR)
        gifFailed(error);
    return out;
}

GifPicture indexedPicture(const Bitmap& bitmap) {
    GifPicture picture;
    const auto used = detail::usedIndices(bitmap);
    const auto palette = detail::fullPalette(bitmap);
    std::size_t count = std::max<std::size_t>(bitmap.palette.size(), 1);
    for (std::size_t i = 0; i < 256; ++i)
        if (used[i])
            count = std::max(count, i + 1);
    // GIF has one transparent index: every entry mostly transparent becomes the first.
    std::array<std::uint8_t, 256> remap;
    for (std::size_t i = 0; i < 256; ++i) {
        remap[i] = std::uint8_t(i);
        if (i < count && palette[i] >> 24 < 128 && used[i]) {
            if (picture.transparent < 0)
                picture.transparent = int(i);
            remap[i] = std::uint8_t(picture.transparent);
        }
    }
    picture.palette.assign(palette.begin(), palette.begin() + std::ptrdiff_t(count));
    picture.row = [&bitmap, remap](int y, std::uint8_t* out) {
        detail::unpackIndices(bitmap, y, out);
        for (int x = 0; x < bitmap.width; ++x)
            out[x] = remap[out[x]];
    };
    return picture;
}

GifPicture greyPicture(const Bitmap& bitmap) {
    GifPicture picture;
    for (std::uint32_t i = 0; i < 256; ++i)
        picture.palette.push_back(i * 0x010101u);
    if (bitmap.format == PixelFormat::Gray8) {
        picture.row = [&bitmap](int y, std::uint8_t* out) {
            std::memcpy(out, bitmap.row(y), std::size_t(bitmap.width));
        };
    } else {
        picture.row = [&bitmap](int y, std::uint8_t* out) {
            const std::uint8_t* in = bitmap.row(y);
            for (int x = 0; x < bitmap.width; ++x)
                out[x] = to8(load16(in + 2 * std::size_t(x)));
        };
    }
    return picture;
}

// Row y as 8-bit R, G, B, A.
void rgbaRow(const Bitmap& bitmap, int y, std::uint8_t* out) {
    const std::uint8_t* in = bitmap.row(y);
    const std::size_t w = std::size_t(bitmap.width);
    switch (bitmap.format) {
    case PixelFormat::Rgb24:
        for (std::size_t x = 0; x < w; ++x) {
            out[4 * x] = in[3 * x];
            out[4 * x + 1] = in[3 * x + 1];
            out[4 * x + 2] = in[3 * x + 2];
            out[4 * x + 3] = 255;
        }
        break;
    case PixelFormat::Rgba32:
        std::memcpy(out, in, 4 * w);
        break;
    case PixelFormat::Rgb48:
        for (std::size_t x = 0; x < w; ++x) {
            for (std::size_t c = 0; c < 3; ++c)
                out[4 * x + c] = to8(load16(in + 6 * x + 2 * c));
            out[4 * x + 3] = 255;
        }
        break;
    case PixelFormat::Rgba64:
        for (std::size_t x = 0; x < 4 * w; ++x)
            out[x] = to8(load16(in + 2 * x));
        break;
    default:
        break;
    }
}

// The distinct colours of a picture while there are few enough for a palette: an
// open-addressing set that gives up past `limit`.
class ColourSet {
public:
    explicit ColourSet(std::size_t limit) : limit_(limit), slots_(1024, 0), index_(1024, 0) {}
    bool full() const { return overflow_; }
    void add(std::uint32_t rgb) {
        std::size_t s = find(rgb);
        if (slots_[s])
            return;
        if (colours_.size() == limit_) {
            overflow_ = true;
            return;
        }
        slots_[s] = rgb | kUsed;
        index_[s] = std::uint8_t(colours_.size());
        colours_.push_back(rgb);
    }
    std::uint8_t indexOf(std::uint32_t rgb) const { return index_[find(rgb)]; }
    const std::vector<std::uint32_t>& colours() const { return colours_; }

private:
    static constexpr std::uint32_t kUsed = 0x01000000u;
    std::size_t find(std::uint32_t rgb) const {
        std::size_t s = (rgb * 2654435761u) >> 22;
        while (slots_[s] && slots_[s] != (rgb | kUsed))
            s = (s + 1) & 1023;
        return s;
    }
    std::size_t limit_;
    bool overflow_ = false;
    std::vector<std::uint32_t> slots_;
    std::vector<std::uint8_t> index_;
    std::vector<std::uint32_t> colours_;
};

std::uint32_t rgbAt(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
}

std::string encodeTrueColour(const Bitmap& bitmap) {
    const std::size_t w = std::size_t(bitmap.width);
    std::vector<std::uint8_t> rgba(4 * w);
    // One pass gathers both the exact colours (for pictures that need no reduction)
    // and the histogram for the quantizer.
    auto exact = std::make_shared<ColourSet>(256);
    detail::WuHistogram histogram;
    bool transparent = false;
    for (int y = 0; y < bitmap.height; ++y) {
        rgbaRow(bitmap, y, rgba.data());
        for (std::size_t x = 0; x < w; ++x) {
            const std::uint8_t* p = &rgba[4 * x];
            if (p[3] < 128) {
                transparent = true;
                continue;
            }
            histogram.add(p[0], p[1], p[2]);
            if (!exact->full())
                exact->add(rgbAt(p));
        }
    }
    const std::size_t room = transparent ? 255 : 256;
    GifPicture picture;
    if (!exact->full() && exact->colours().size() <= room) {
        picture.palette = exact->colours();
        picture.row = [&bitmap, exact, rgba, w](int y, std::uint8_t* out) mutable {
            rgbaRow(bitmap, y, rgba.data());
            for (std::size_t x = 0; x < w; ++x)
                out[x] = rgba[4 * x + 3] < 128 ? std::uint8_t(exact->colours().size())
                                               : exact->indexOf(rgbAt(&rgba[4 * x]));
        };
    } else {
        picture.palette = histogram.palette(int(room));
        auto ditherer = std::make_shared<detail::Ditherer>(picture.palette, bitmap.width,
                                                           int(picture.palette.size()));
        picture.row = [&bitmap, ditherer, rgba](int y, std::uint8_t* out) mutable {
            rgbaRow(bitmap, y, rgba.data());
            ditherer->mapRow(rgba.data(), out);
        };
    }
    if (transparent) {
        picture.transparent = int(picture.palette.size());
        picture.palette.push_back(0xFFFFFFu); // white, for viewers that ignore transparency
    }
    if (picture.palette.empty())
        picture.palette.push_back(0);
    return writeGif(bitmap, picture);
}

} // namespace

std::string encodeGif(const Bitmap& bitmap) {
    detail::checkBitmap(bitmap);
    if (bitmap.width > 65535 || bitmap.height > 65535)
        throw ImagingError(ImagingError::Unsupported,
                           "a GIF image cannot be larger than 65535 x 65535 pixels");
    switch (bitmap.format) {
    case PixelFormat::Indexed1:
    case PixelFormat::Indexed4:
    case PixelFormat::Indexed8:
        return writeGif(bitmap, indexedPicture(bitmap));
    case PixelFormat::Gray8:
    case PixelFormat::Gray16:
        return writeGif(bitmap, greyPicture(bitmap));
    case PixelFormat::Rgb24:
    case PixelFormat::Rgba32:
    case PixelFormat::Rgb48:
    case PixelFormat::Rgba64:
        return encodeTrueColour(bitmap);
    }
    throw ImagingError(ImagingError::Unsupported, "unknown pixel format");
}

} // namespace folimo::imaging
