// WebP through libwebp: still images straight into our bitmap, animations through the
// demuxer's animation decoder, of which we keep the first frame.
#include "Codecs.h"
#include "DecodeSupport.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <memory>
#include <string>

namespace folimo::imaging {
namespace {

[[noreturn]] void fail(VP8StatusCode status) {
    switch (status) {
    case VP8_STATUS_UNSUPPORTED_FEATURE:
        throw ImagingError(ImagingError::Unsupported,
                           "the WebP file uses a feature that is not supported");
    case VP8_STATUS_OUT_OF_MEMORY:
        throw ImagingError(ImagingError::TooLarge, "the WebP image is too large for memory");
    case VP8_STATUS_NOT_ENOUGH_DATA:
        throw ImagingError(ImagingError::Damaged, "the WebP file is damaged: it ends early");
    default:
        throw ImagingError(ImagingError::Damaged, "the WebP file is damaged");
    }
}

[[noreturn]] void damaged() {
    throw ImagingError(ImagingError::Damaged, "the WebP file is damaged");
}

using DemuxPtr = std::unique_ptr<WebPDemuxer, support::Release<WebPDemuxDelete>>;
using AnimDecoderPtr = std::unique_ptr<WebPAnimDecoder, support::Release<WebPAnimDecoderDelete>>;

void checkLimits(int width, int height, unsigned bytesPerPixel, const Limits& limits) {
    const auto w = std::uint64_t(width);
    const auto h = std::uint64_t(height);
    if (w * h > limits.maxPixels || w * bytesPerPixel * h > limits.maxBytes)
        throw ImagingError(ImagingError::TooLarge, "the image is too large (" +
                                                       std::to_string(width) + " x " +
                                                       std::to_string(height) + " pixels)");
}

Bitmap firstFrame(const WebPData& data, const Limits& limits) {
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options))
        throw ImagingError(ImagingError::Unsupported, "the WebP library is of the wrong version");
    options.color_mode = MODE_RGBA;
    options.use_threads = 0;
    AnimDecoderPtr decoder(WebPAnimDecoderNew(&data, &options));
    if (!decoder)
        damaged();
    WebPAnimInfo info;
    if (!WebPAnimDecoderGetInfo(decoder.get(), &info))
        damaged();
    std::uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderHasMoreFrames(decoder.get()) ||
        !WebPAnimDecoderGetNext(decoder.get(), &canvas, &timestamp) || !canvas)
        damaged();

    const int width = int(info.canvas_width);
    const int height = int(info.canvas_height);
    const std::size_t pixels = std::size_t(width) * std::size_t(height);
    // The canvas starts transparent, so a first frame smaller than the canvas leaves
    // transparency even in a file that declares none; look at what came out.
    bool alpha = false;
    for (std::size_t i = 0; i < pixels && !alpha; ++i)
        alpha = canvas[4 * i + 3] != 255;
    Bitmap b =
        Bitmap::create(width, height, alpha ? PixelFormat::Rgba32 : PixelFormat::Rgb24, limits);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = canvas + std::size_t(y) * std::size_t(width) * 4;
        std::uint8_t* dst = b.row(y);
        for (int x = 0; x < width; ++x, src += 4) {
            *dst++ = src[0];
            *dst++ = src[1];
            *dst++ = src[2];
            if (alpha)
                *dst++ = src[3];
        }
    }
    return b;
}

// The features of the file, refused as decoding would refuse them. An animation's
// width and height are its canvas's, which is what its first frame is shown on.
WebPBitstreamFeatures readFeatures(std::span<const std::uint8_t> bytes, const Limits& limits) {
    WebPBitstreamFeatures features;
    const VP8StatusCode status = WebPGetFeatures(bytes.data(), bytes.size(), &features);
    if (status != VP8_STATUS_OK)
        fail(status);
    if (features.width <= 0 || features.height <= 0)
        damaged();
    // libwebp allocates for the whole canvas as soon as decoding starts.
    checkLimits(features.width, features.height,
                features.has_alpha || features.has_animation ? 4 : 3, limits);
    return features;
}

} // namespace

std::optional<PictureInfo> probeWebp(std::span<const std::uint8_t> bytes, const Limits& limits) {
    const WebPBitstreamFeatures features = readFeatures(bytes, limits);
    return PictureInfo{features.width, features.height, 0, 0}; // WebP has no resolution
}

Bitmap decodeWebp(std::span<const std::uint8_t> bytes, const Limits& limits) {
    const WebPBitstreamFeatures features = readFeatures(bytes, limits);

    const WebPData data{bytes.data(), bytes.size()};
    Bitmap b;
    if (features.has_animation) {
        b = firstFrame(data, limits);
    } else {
        b = Bitmap::create(features.width, features.height,
                           features.has_alpha ? PixelFormat::Rgba32 : PixelFormat::Rgb24, limits);
        const auto stride = int(b.stride);
        const std::uint8_t* done =
            features.has_alpha ? WebPDecodeRGBAInto(bytes.data(), bytes.size(), b.pixels.data(),
                                                    b.pixels.size(), stride)
                               : WebPDecodeRGBInto(bytes.data(), bytes.size(), b.pixels.data(),
                                                   b.pixels.size(), stride);
        if (!done)
            throw ImagingError(ImagingError::Damaged,
                               "the WebP file is damaged: its image data cannot be decoded");
    }

    DemuxPtr demux(WebPDemux(&data));
    if (demux && (WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS) & ICCP_FLAG)) {
        WebPChunkIterator chunk;
        if (WebPDemuxGetChunk(demux.get(), "ICCP", 1, &chunk)) {
            b.iccProfile.assign(reinterpret_cast<const char*>(chunk.chunk.bytes), chunk.chunk.size);
            WebPDemuxReleaseChunkIterator(&chunk);
        }
    }
    return b;
}

} // namespace folimo::imaging
