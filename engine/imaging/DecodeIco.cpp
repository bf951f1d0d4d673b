// Windows icons and cursors: a directory of images of several sizes, each a DIB with a
// transparency mask or a whole PNG file. We show the largest.
#include "BmpInternal.h"
#include "Codecs.h"
#include "DecodeSupport.h"

#include <cstring>
#include <string>

namespace folimo::imaging {
namespace {

using Bytes = std::span<const std::uint8_t>;

[[noreturn]] void damaged(const std::string& what) {
    throw ImagingError(ImagingError::Damaged, "the icon file is damaged: " + what);
}

constexpr auto le16 = support::loadLe16;
constexpr auto le32 = support::loadLe32;
constexpr auto be32 = support::loadBe32;

constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

bool isPng(Bytes data) {
    return data.size() >= 8 && std::memcmp(data.data(), kPngSignature, 8) == 0;
}

struct Entry {
    Bytes data;
    std::uint64_t pixels = 0;
    unsigned bits = 0;
};

// The size and depth come from the image data itself: directory entries say 0 for
// 256 pixels, and cursors keep their hot spot where icons keep planes and depth.
Entry describe(Bytes data) {
    Entry e;
    e.data = data;
    if (isPng(data)) {
        if (data.size() < 8 + 8 + 13 || std::memcmp(data.data() + 12, "IHDR", 4) != 0)
            damaged("an embedded PNG image has no header");
        const std::uint8_t* ihdr = data.data() + 16;
        static constexpr unsigned kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
        const unsigned colorType = ihdr[9];
        e.pixels = std::uint64_t(be32(ihdr)) * be32(ihdr + 4);
        e.bits = ihdr[8] * (colorType < 7 ? kChannels[colorType] : 0);
        // A palette image is as deep as its palette's colours.
        if (colorType == 3)
            e.bits = 24;
        return e;
    }
    if (data.size() < 16)
        damaged("an image entry is too short for its header");
    const std::uint32_t headerSize = le32(data.data());
    if (headerSize == 12) {
        e.pixels = std::uint64_t(le16(data.data() + 4)) * (le16(data.data() + 6) / 2);
        e.bits = le16(data.data() + 10);
    } else {
        auto w = std::int32_t(le32(data.data() + 4));
        auto h = std::int32_t(le32(data.data() + 8));
        std::uint64_t absH = h < 0 ? std::uint64_t(-std::int64_t(h)) : std::uint64_t(h);
        e.pixels = w > 0 ? std::uint64_t(w) * (absH / 2) : 0;
        e.bits = le16(data.data() + 14);
    }
    return e;
}

// The image we show: the largest, the deepest of those.
Entry chooseEntry(Bytes bytes) {
    if (bytes.size() < 6)
        damaged("it ends inside the header");
    const unsigned type = le16(bytes.data() + 2);
    if (le16(bytes.data()) != 0 || (type != 1 && type != 2))
        damaged("it does not start like an icon or cursor");
    const unsigned count = le16(bytes.data() + 4);
    if (count == 0)
        damaged("it holds no images");
    if (bytes.size() < 6 + 16 * std::size_t(count))
        damaged("it ends inside the list of images");

    Entry best;
    for (unsigned i = 0; i < count; ++i) {
        const std::uint8_t* d = bytes.data() + 6 + 16 * std::size_t(i);
        const std::uint64_t size = le32(d + 8);
        const std::uint64_t offset = le32(d + 12);
        if (offset > bytes.size() || size > bytes.size() - offset)
            damaged("image " + std::to_string(i + 1) + " lies beyond the end of the file");
        Entry e = describe(bytes.subspan(std::size_t(offset), std::size_t(size)));
        if (best.data.empty() || e.pixels > best.pixels ||
            (e.pixels == best.pixels && e.bits > best.bits))
            best = e;
    }
    return best;
}

} // namespace

std::optional<PictureInfo> probeIco(std::span<const std::uint8_t> bytes, const Limits& limits) {
    const Entry best = chooseEntry(bytes);
    std::optional<PictureInfo> info =
        isPng(best.data) ? probePng(best.data, limits) : detail::probeIconDib(best.data, limits);
    // Whether transparency makes the decoder widen the image to four bytes a pixel shows
    // only in the pixels (or the palette); an icon that big is refused either way.
    if (info)
        Bitmap::checkSize(info->width, info->height, PixelFormat::Rgba32, limits);
    return info;
}

Bitmap decodeIco(std::span<const std::uint8_t> bytes, const Limits& limits) {
    const Entry best = chooseEntry(bytes);

    if (!isPng(best.data))
        return detail::decodeIconDib(best.data, limits);

    Bitmap b = decodePng(best.data, limits);
    if (isIndexed(b.format)) {
        for (std::uint32_t c : b.palette)
            if ((c >> 24) != 0xFF)
                return detail::expandToRgba32(b, limits);
    }
    return b;
}

} // namespace folimo::imaging
