// GIF through giflib's record-level interface: only the first image is read, and the
// size is checked before anything is allocated for it (DGifSlurp would allocate every
// frame of an animation, whatever its header claims).
#include "Codecs.h"
#include "DecodeSupport.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace folimo::imaging {

namespace {

struct MemorySource {
    std::span<const std::uint8_t> bytes;
    std::size_t position = 0;
};

int readMemory(GifFileType* gif, GifByteType* out, int count) {
    auto* src = static_cast<MemorySource*>(gif->UserData);
    std::size_t n =
        std::min<std::size_t>(std::size_t(std::max(count, 0)), src->bytes.size() - src->position);
    std::memcpy(out, src->bytes.data() + src->position, n);
    src->position += n;
    return int(n);
}

struct GifCloser {
    void operator()(GifFileType* gif) const noexcept {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};

[[noreturn]] void fail(int error) {
    const char* text = GifErrorString(error);
    throw ImagingError(ImagingError::Damaged,
                       std::string("the GIF file is damaged: ") + (text ? text : "unknown error"));
}

[[noreturn]] void fail(GifFileType* gif) {
    fail(gif->Error);
}

std::uint32_t opaque(const GifColorType& c) {
    return 0xFF000000u | std::uint32_t(c.Red) << 16 | std::uint32_t(c.Green) << 8 | c.Blue;
}

// Rows of an interlaced image arrive in four passes: every 8th row from 0, every 8th
// from 4, every 4th from 2, every 2nd from 1.
int interlacedRow(int index, int height) {
    static constexpr int starts[] = {0, 4, 2, 1};
    static constexpr int steps[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass) {
        int rows =
            starts[pass] < height ? (height - starts[pass] + steps[pass] - 1) / steps[pass] : 0;
        if (index < rows)
            return starts[pass] + index * steps[pass];
        index -= rows;
    }
    return -1;
}

} // namespace

namespace {

// The file opened and read up to its first image's descriptor.
struct FirstImage {
    explicit FirstImage(std::span<const std::uint8_t> bytes) : source{bytes} {}
    MemorySource source;
    std::unique_ptr<GifFileType, GifCloser> gif;
    int transparent = NO_TRANSPARENT_COLOR;
    int width = 0; // of the canvas the image is shown on
    int height = 0;
};

void openFirstImage(FirstImage& f, const Limits& limits) {
    int error = 0;
    f.gif.reset(DGifOpen(&f.source, readMemory, &error));
    if (!f.gif)
        fail(error);
    GifFileType* gif = f.gif.get();
    for (;;) {
        GifRecordType record = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &record) != GIF_OK)
            fail(gif);
        if (record == IMAGE_DESC_RECORD_TYPE)
            break;
        if (record == TERMINATE_RECORD_TYPE)
            throw ImagingError(ImagingError::Damaged, "the GIF file holds no image");
        if (record != EXTENSION_RECORD_TYPE)
            fail(D_GIF_ERR_WRONG_RECORD);
        int code = 0;
        GifByteType* block = nullptr;
        if (DGifGetExtension(gif, &code, &block) != GIF_OK)
            fail(gif);
        if (code == GRAPHICS_EXT_FUNC_CODE && block) {
            // Only the control block right before the image applies to it.
            GraphicsControlBlock gcb{};
            if (DGifExtensionToGCB(block[0], block + 1, &gcb) == GIF_OK)
                f.transparent = gcb.TransparentColor;
        }
        while (block) {
            if (DGifGetExtensionNext(gif, &block) != GIF_OK)
                fail(gif);
        }
    }
    if (DGifGetImageDesc(gif) != GIF_OK)
        fail(gif);

    const GifImageDesc& frame = gif->Image;
    if (frame.Width <= 0 || frame.Height <= 0 || frame.Left < 0 || frame.Top < 0)
        throw ImagingError(ImagingError::Damaged, "the GIF file's first image has no pixels");
    // Some writers give a logical screen smaller than the image (or none); the canvas
    // then grows to hold the image.
    std::int64_t width =
        std::max<std::int64_t>(gif->SWidth, std::int64_t(frame.Left) + frame.Width);
    std::int64_t height =
        std::max<std::int64_t>(gif->SHeight, std::int64_t(frame.Top) + frame.Height);
    support::checkDimensions(std::uint64_t(width), std::uint64_t(height), limits);
    Bitmap::checkSize(int(width), int(height), PixelFormat::Indexed8, limits);
    f.width = int(width);
    f.height = int(height);
}

} // namespace

std::optional<PictureInfo> probeGif(std::span<const std::uint8_t> bytes, const Limits& limits) {
    FirstImage f(bytes);
    openFirstImage(f, limits);
    // GIF has no resolution; its frames are composed on an indexed screen.
    return PictureInfo{f.width, f.height, 0, 0, bitsPerPixel(PixelFormat::Indexed8)};
}

Bitmap decodeGif(std::span<const std::uint8_t> bytes, const Limits& limits) {
    FirstImage f(bytes);
    openFirstImage(f, limits);
    GifFileType* gif = f.gif.get();
    const GifImageDesc& frame = gif->Image;
    const int width = f.width, height = f.height;
    int transparent = f.transparent;
    Bitmap b = Bitmap::create(width, height, PixelFormat::Indexed8, limits);

    const ColorMapObject* map = frame.ColorMap ? frame.ColorMap : gif->SColorMap;
    if (map && map->Colors) {
        for (int i = 0; i < std::min(map->ColorCount, 256); ++i)
            b.palette.push_back(opaque(map->Colors[i]));
    } else {
        for (unsigned i = 0; i < 256; ++i) // no colour table at all: show the indices
            b.palette.push_back(0xFF000000u | i << 16 | i << 8 | i);
    }
    if (transparent >= 256)
        transparent = NO_TRANSPARENT_COLOR;

    // What the image does not cover shows through, as a viewer shows the page behind.
    bool covers =
        frame.Left == 0 && frame.Top == 0 && frame.Width == width && frame.Height == height;
    if (!covers) {
        int fill = transparent;
        if (fill == NO_TRANSPARENT_COLOR && b.palette.size() < 256) {
            fill = int(b.palette.size());
            b.palette.push_back(0);
        } else if (fill == NO_TRANSPARENT_COLOR) {
            fill = gif->SBackGroundColor;
        }
        std::fill(b.pixels.begin(), b.pixels.end(), std::uint8_t(fill));
    }

    for (int i = 0; i < frame.Height; ++i) {
        int y = frame.Interlace ? interlacedRow(i, frame.Height) : i;
        if (DGifGetLine(gif, b.row(frame.Top + y) + frame.Left, frame.Width) != GIF_OK)
            fail(gif);
    }

    // Indices past the colour table, and a transparent index past it, still need
    // entries (black, as other viewers show them).
    std::uint8_t highest = 0;
    for (int y = 0; y < b.height; ++y) {
        const std::uint8_t* row = b.row(y);
        highest = std::max(highest, *std::max_element(row, row + b.width));
    }
    std::size_t needed = std::size_t(highest) + 1;
    if (transparent != NO_TRANSPARENT_COLOR)
        needed = std::max(needed, std::size_t(transparent) + 1);
    if (b.palette.size() < needed)
        b.palette.resize(needed, 0xFF000000u);
    if (transparent != NO_TRANSPARENT_COLOR)
        b.palette[std::size_t(transparent)] &= 0x00FFFFFFu;
    return b;
}

} // namespace folimo::imaging
