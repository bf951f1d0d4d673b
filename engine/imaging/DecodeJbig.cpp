// JBIG (JBIG1, ITU-T T.82) through jbigkit: bi-level images, or grey ones split into up
// to eight bit planes.
#include "Codecs.h"
#include "DecodeSupport.h"

extern "C" {
#include <jbig.h>
}

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace folimo::imaging {
namespace {

[[noreturn]] void damaged(const std::string& what) {
    throw ImagingError(ImagingError::Damaged, "the JBIG file is damaged: " + what);
}

constexpr auto be32 = support::loadBe32;

struct DecoderDeleter {
    void operator()(jbg_dec_state* s) const {
        jbg_dec_free(s);
        delete s;
    }
};

struct MergeTarget {
    Bitmap* bitmap;
    std::size_t written;
};

// jbg_dec_merge_planes hands over one byte a pixel (eight planes at most), row after row.
void mergeOut(unsigned char* start, std::size_t length, void* target) {
    auto* t = static_cast<MergeTarget*>(target);
    Bitmap& b = *t->bitmap;
    const auto width = std::size_t(b.width);
    const std::size_t total = width * std::size_t(b.height);
    for (std::size_t i = 0; i < length && t->written < total; ++i, ++t->written)
        b.row(int(t->written / width))[t->written % width] = start[i];
}

// The header's fields, refused as jbigkit would refuse them or as too large for us:
// its layers and planes first, then its size, once a final height given later in the
// file has been written in.
void checkLayers(std::span<const std::uint8_t> data) {
    const unsigned lowestLayer = data[0];
    const unsigned highestLayer = data[1];
    const unsigned planes = data[2];
    if (lowestLayer != 0)
        throw ImagingError(ImagingError::Unsupported,
                           "the JBIG file continues another one (it lacks the lowest "
                           "resolution layer)");
    if (highestLayer > 31)
        damaged("it claims " + std::to_string(highestLayer) + " resolution layers");
    if (planes == 0)
        damaged("it has no bit planes");
    if (planes > 8)
        throw ImagingError(ImagingError::Unsupported, "the JBIG file has " +
                                                          std::to_string(planes) +
                                                          " bit planes; at most 8 are supported");
}

void checkSize(std::span<const std::uint8_t> data, const Limits& limits) {
    const unsigned planes = data[2];
    const std::uint32_t width = be32(data.data() + 4);
    const std::uint32_t height = be32(data.data() + 8);
    if (width == 0 || height == 0 || height == 0xFFFFFFFF)
        damaged("it gives a size of " + std::to_string(width) + " x " + std::to_string(height) +
                " pixels");
    // Per plane, jbigkit keeps the image and a half-size one.
    const std::uint64_t planeBytes = (std::uint64_t(width) + 7) / 8 * height;
    const std::uint64_t pixels = std::uint64_t(width) * height;
    if (pixels > limits.maxPixels || planeBytes * planes * 5 / 4 > limits.maxBytes ||
        (planes > 1 && pixels > limits.maxBytes))
        throw ImagingError(ImagingError::TooLarge, "the image is too large (" +
                                                       std::to_string(width) + " x " +
                                                       std::to_string(height) + " pixels)");
}

} // namespace

std::optional<PictureInfo> probeJbig(std::span<const std::uint8_t> bytes, const Limits& limits) {
    if (bytes.size() < 20)
        damaged("it ends inside the header");
    checkLayers(bytes);
    // A writer that did not know the height gives it in a marker among the data; only
    // the decoder finds it there.
    if ((bytes[19] & JBG_VLENGTH) != 0)
        return std::nullopt;
    checkSize(bytes, limits);
    return PictureInfo{int(be32(bytes.data() + 4)), int(be32(bytes.data() + 8)), 0, 0};
}

Bitmap decodeJbig(std::span<const std::uint8_t> bytes, const Limits& limits) {
    // jbigkit allocates every plane as soon as it has read the header, and ends the
    // process when that fails, so the header is checked here first.
    if (bytes.size() < 20)
        damaged("it ends inside the header");
    // A copy: jbigkit takes writable data, and a final height announced by a NEWLEN
    // marker is written into the header before decoding.
    std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
    const unsigned planes = data[2];
    checkLayers(data);
    if ((data[19] & JBG_VLENGTH) != 0) {
        const int rc = jbg_newlen(data.data(), data.size());
        if (rc == JBG_EABORT)
            damaged("it was aborted by its writer");
    }
    checkSize(data, limits);
    const std::uint32_t width = be32(data.data() + 4);
    const std::uint32_t height = be32(data.data() + 8);

    std::unique_ptr<jbg_dec_state, DecoderDeleter> decoder(new jbg_dec_state{});
    jbg_dec_init(decoder.get());
    std::size_t used = 0;
    const int rc = jbg_dec_in(decoder.get(), data.data(), data.size(), &used);
    if (rc == JBG_EAGAIN)
        damaged("it ends early");
    if (rc != JBG_EOK)
        damaged(jbg_strerror(rc));
    if (jbg_dec_getwidth(decoder.get()) != width || jbg_dec_getheight(decoder.get()) > height)
        damaged("its image does not have the size its header gives");
    const auto finalHeight = int(jbg_dec_getheight(decoder.get()));
    if (finalHeight == 0)
        damaged("its image has no rows");

    if (planes == 1) {
        Bitmap b = Bitmap::create(int(width), finalHeight, PixelFormat::Indexed1, limits);
        // JBIG's 1 is black, as in PBM.
        b.palette = {0xFFFFFFFF, 0xFF000000};
        const unsigned char* image = jbg_dec_getimage(decoder.get(), 0);
        const std::size_t rowBytes = (std::size_t(width) + 7) / 8;
        if (!image || jbg_dec_getsize(decoder.get()) < rowBytes * std::size_t(finalHeight))
            damaged("its image could not be decoded");
        for (int y = 0; y < finalHeight; ++y) {
            std::uint8_t* row = b.row(y);
            std::copy_n(image + rowBytes * std::size_t(y), rowBytes, row);
            if (width % 8)
                row[rowBytes - 1] &= std::uint8_t(0xFF << (8 - width % 8));
        }
        return b;
    }

    // Several planes are the bits of a grey level, Gray-coded as pgmtojbg writes them,
    // with 0 black as in PGM.
    Bitmap b = Bitmap::create(int(width), finalHeight, PixelFormat::Gray8, limits);
    MergeTarget target{&b, 0};
    jbg_dec_merge_planes(decoder.get(), 1, mergeOut, &target);
    if (target.written != std::size_t(width) * std::size_t(finalHeight))
        damaged("its image could not be decoded");
    const unsigned maxValue = (1u << planes) - 1;
    if (maxValue != 255)
        for (int y = 0; y < finalHeight; ++y) {
            std::uint8_t* row = b.row(y);
            for (std::uint32_t x = 0; x < width; ++x)
                row[x] = std::uint8_t((row[x] * 255u + maxValue / 2) / maxValue);
        }
    return b;
}

} // namespace folimo::imaging
